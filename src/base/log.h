// The diagnostic log: one time-stamped, level-tagged line per call, on
// standard error only. The run log (cli/runlog.h) is a separate service.
#pragma once

#include <cstdint>

enum : uint32_t {
  LOG_DEBUG_LEVEL = 0,
  LOG_INFO_LEVEL = 1,
  LOG_WARN_LEVEL = 2,
  LOG_ERROR_LEVEL = 3,
};

// Sets the program name shown in brackets (cut to 63 characters) and the
// minimum level; creates the line lock on the first call.
void log_init(const char* program_name, uint32_t min_level);

// Writes "<UTC time> [<program>] <LEVEL> <text>\n" to standard error unless
// the level is below the minimum. Lines never interleave between threads.
void log_write(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
