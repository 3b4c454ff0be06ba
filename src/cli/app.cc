#include "cli/app.h"

#include <cstdio>

#include "cli/version.h"

// Placeholder until the front end lands.
int app_main(int, char**) {
  printf("%s %s (build %s)\n", PROGRAM_NAME, PROGRAM_VERSION, PROGRAM_BUILD);
  return 2;
}
