#include "cli/options.h"

#include <cstring>

// Minimal lookups until the front end lands.
int opt_flag(int argc, char** argv, const char* long_name, const char* alias) {
  for (int i = 1; i < argc; i++) {
    if (long_name && strcmp(argv[i], long_name) == 0) return 1;
    if (alias && strcmp(argv[i], alias) == 0) return 1;
  }
  return 0;
}
