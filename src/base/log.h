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

// A status line on a terminal: one line kept below the log lines (the
// progress of a long run). Log lines and the status line share one lock and
// one discipline: log_write clears the status line, writes its line, and
// draws the status line again under it, so a log line is always whole on
// its own row, whatever thread writes it. The caller decides that standard
// error is a terminal; nothing is drawn until log_status_show is called, so
// without it every line is written exactly as before.

// Draws (or redraws) the status line: "\r", the text (cut to 255 bytes, no
// line feed), and "\033[K" to clear what a longer text left.
void log_status_show(const char* text);
// Removes the status line ("\r\033[K"), if one is shown.
void log_status_clear();
