// Helpers of the front-end tests: argument lists for in-process calls,
// standard error captured around a call, and code run in a child process
// (for process-wide state such as the run log, which is set up once and
// registers an end handler).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace test {

// An argv for in-process calls; index 0 is the program path.
struct Args {
  explicit Args(std::vector<std::string> words) : text(std::move(words)) {
    text.insert(text.begin(), "zuv_maintenance");
    for (auto& w : text) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(text.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> text;
  std::vector<char*> ptrs;
};

// Runs fn with standard error sent to a temporary file; returns what it wrote.
inline std::string capture_stderr(const std::function<void()>& fn) {
  fflush(stderr);
  FILE* tmp = tmpfile();
  int saved = dup(2);
  dup2(fileno(tmp), 2);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string out;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

// Runs fn in a forked child that then ends with exit(fn()) (so end handlers
// run); returns the child's exit status, or 128 + signal.
inline int run_in_child(const std::function<int()>& fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) exit(fn());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the program with "--no-syslog --no-log" put right after the
// sub-command, so that the caller's last argument stays the last one.
inline RunResult run_cmd(std::vector<std::string> args) {
  args.insert(args.begin() + (args.empty() ? 0 : 1), {"--no-syslog", "--no-log"});
  return run(program_path(), args);
}

// Lines of a text, without their newlines.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace test
