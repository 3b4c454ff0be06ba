// The program's entry: start-up, sub-command dispatch, reporting and the exit
// status. Nothing below this calls exit().
#pragma once

// Returns the exit status: 0 success, 1 the job failed, 2 usage error
// (partials: whatever its operation returns).
int app_main(int argc, char** argv);
