// The program's entry: start-up, sub-command dispatch, reporting and the exit
// status. Nothing below this calls exit().
#pragma once

#include <cstddef>

#include "cli/options.h"

struct command_spec {
  const char* name;
  const option_spec* options;  // ends with a null long_name
};

// The sub-commands in the order their names are compared, each with its
// option table. The man page and the shell completion are checked against
// this table so they cannot drift from what the program accepts.
const command_spec* app_commands(size_t* count);

// Returns the exit status: 0 success, 1 the job failed, 2 usage error
// (partials: whatever its operation returns).
int app_main(int argc, char** argv);
