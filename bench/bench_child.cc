#include "bench_child.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace {

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "benchmark: %s\n", what.c_str());
  exit(1);
}

double timeval_seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

bench_child bench_run(const std::vector<std::string>& args, int cpu) {
  // The child inherits the mask it is started with; ours is put back at once.
  cpu_set_t mask;
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) fail("sched_getaffinity failed");
  if (cpu >= 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
      fail("cannot run on cpu " + std::to_string(cpu));
  }
  std::vector<std::string> all = args;
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  const int rc = posix_spawn(&pid, all[0].c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (cpu >= 0) (void)sched_setaffinity(0, sizeof mask, &mask);
  if (rc != 0) fail("cannot start " + all[0]);
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) fail("wait4 failed");
  bench_child r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu_seconds = timeval_seconds(ru.ru_utime) + timeval_seconds(ru.ru_stime);
  r.max_rss_kib = ru.ru_maxrss;
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}
