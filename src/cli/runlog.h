// The run log: a "started" entry when the program starts and a "stopped
// exit=N" entry when it ends, in its own log file and in syslog, chosen per
// run by two category bitmasks. Separate from the diagnostic log on stderr.
#pragma once

#include <cstdint>

#include "base/status.h"

void runlog_init(int argc, char** argv, const char* program_name);
void runlog_write(uint32_t category_mask, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int runlog_active();
void runlog_at_exit(int exit_status, void* unused);
// Creates a directory and its missing parents. 0, -5 when it exists and is
// not a directory, or the mapped status.
[[nodiscard]] status_t make_dirs(const char* path);
