// The run log: a "started" entry when the program starts and a "stopped
// exit=N" entry when it ends, in its own log file and in syslog, chosen per
// run by two category bitmasks. Separate from the diagnostic log on stderr.
#pragma once

#include <cstdint>

// What the command line asks of the run log, as the front end read it
// (opt_runlog_settings); the run log itself never looks at the arguments.
struct runlog_settings {
  bool syslog = true;                     // false with --no-syslog
  bool file = true;                       // false with --no-log
  const char* syslog_mask = nullptr;      // --syslog as given, or null
  const char* file_mask = nullptr;        // --log as given, or null
  const char* log_dir = "/var/log/zuv/";  // --log-path
};

// Opens syslog and the log file as the settings say and writes the "started"
// entry; a mask that is not a number is warned about and taken as 1.
void runlog_init(const runlog_settings& settings, const char* program_name);
void runlog_write(uint32_t category_mask, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int runlog_active();
void runlog_at_exit(int exit_status, void* unused);
