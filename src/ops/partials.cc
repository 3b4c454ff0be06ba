#include "ops/partials.h"

// Not built yet: an honest failure rather than a pretend success.
#include <cstdio>

#include "cli/log.h"

int list_partials(const char*, int32_t, int64_t) {
  log_write(LOG_ERROR_LEVEL, "zuv_maintenance partials failed: not supported (status=-6)");
  return 1;
}
