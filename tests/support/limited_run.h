// Running the built program as an operator would, under a time limit, and
// acting as a second local user, for the tests of what a command may touch.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace test {

// Seconds a single run may take before it counts as hung.
constexpr int RUN_LIMIT_SECONDS = 20;
// Exit status of timeout(1) when it had to stop the program.
constexpr int TIMED_OUT = 124;

// Runs program with args under timeout(1): a run that hangs ends with
// TIMED_OUT instead of blocking the suite.
inline RunResult run_limited(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-k", "5", std::to_string(RUN_LIMIT_SECONDS), program};
  all.insert(all.end(), args.begin(), args.end());
  return run("/usr/bin/timeout", all);
}

// The built zuv_maintenance, as run_zuv runs it, under the time limit.
inline RunResult run_zuv_limited(std::vector<std::string> args) {
  args.push_back("--no-syslog");
  args.push_back("--no-log");
  return run_limited(program_path(), args);
}

// The second local user: uid and gid 65534 without supplementary groups.
constexpr uid_t OTHER_UID = 65534;
constexpr gid_t OTHER_GID = 65534;

// Only root can act as another user; tests that need it skip otherwise.
inline bool can_act_as_other_user() {
  return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0;
}

// Runs a shell command as the second local user, under the time limit.
inline RunResult run_as_other_user(const std::string& shell_command) {
  return run_limited("/usr/bin/setpriv", {"--reuid=" + std::to_string(OTHER_UID),
                                          "--regid=" + std::to_string(OTHER_GID), "--clear-groups",
                                          "/bin/sh", "-c", shell_command});
}

// Quotes text for /bin/sh.
inline std::string shell_quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

}  // namespace test
