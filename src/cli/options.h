// Option lookup on the raw argument list. Nothing is parsed into a structure:
// each reader asks for what it needs (opt_value, opt_flag), and opt_validate
// separately warns about every argument no option table explains.
#pragma once

#include <cstdint>

#include "cli/runlog.h"

struct option_spec {
  const char* long_name;  // null ends a table
  const char* alias;      // or null
  int32_t takes_value;    // 1 = followed by a value, 0 = flag
};

// The value of an option: "--name=value", or the argument after "--name" (or
// its alias), whatever it looks like; the first occurrence wins. The default
// when absent or when the option is the last argument.
const char* opt_value(int argc, char** argv, const char* long_name, const char* alias,
                      const char* fallback);
// 1 when an argument equals the long name or the alias exactly.
int opt_flag(int argc, char** argv, const char* long_name, const char* alias);
// The entry of table that explains one argument, or null; *inline_value gets
// the text after "=" when there is one.
const option_spec* opt_find(const option_spec* table, const char* arg, const char** inline_value);
// Warns (log and run log) about every argument that no table explains;
// returns the number of warnings.
int32_t opt_validate(int argc, char** argv, const option_spec* table, int32_t positional_allowed);

// The run log's options (RUNLOG_OPTIONS) read from the arguments.
runlog_settings opt_runlog_settings(int argc, char** argv);

extern const option_spec COMMON_OPTIONS[];
extern const option_spec RUNLOG_OPTIONS[];
