// Runs one program for a benchmark and measures it: wall time from start to
// exit, CPU time and peak RSS from wait4. Its standard output and error go to
// /dev/null, so that a run that logs much is not timed writing a terminal.
#pragma once

#include <string>
#include <vector>

struct bench_child {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system
  long max_rss_kib = 0;
  int exit_status = -1;  // 128 + signal when killed
};

// argv[0] is the program's path. The child runs on `cpu` alone (-1: on every
// CPU the caller may use). A child that cannot be started or waited for
// ends the benchmark with a message.
bench_child bench_run(const std::vector<std::string>& argv, int cpu = -1);
