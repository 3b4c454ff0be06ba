#include "cli/runlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "cli/options.h"
#include "cli_test_util.h"

namespace {

using test::TempDir;

// ---- the run log in a child process (it is set up once per process) ----

struct Entry {
  long pid;
  std::string text;
};

// The entries of a run-log file; fails the test on a line of another form.
std::vector<Entry> entries_of(const std::string& path) {
  static const std::regex line(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[zuv_maintenance\] pid=(\d+) (.*))");
  std::vector<Entry> out;
  if (!test::file_exists(path)) return out;
  for (const auto& l : test::lines_of(test::read_text(path))) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(l, m, line)) << l;
    if (!m.empty()) out.push_back({std::stol(m[1]), m[2]});
  }
  return out;
}

std::vector<std::string> texts_of(const std::vector<Entry>& entries) {
  std::vector<std::string> t;
  for (const auto& e : entries) t.push_back(e.text);
  return t;
}

TEST(RunLogTest, CategoryMaskSelectsEntriesAndLongTextIsCut) {
  TempDir dir;
  int status = test::run_in_child([&] {
    test::Args a({"scrub", "--no-syslog", "--log-path", dir.path(), "--log", "0x3"});
    runlog_init(opt_runlog_settings(a.argc(), a.argv()), "zuv_maintenance");
    runlog_write(2, "category %d", 2);
    runlog_write(4, "category 4 is not selected");
    runlog_write(1, "%s", std::string(600, 'x').c_str());
    return 5;
  });
  EXPECT_EQ(status, 5);
  EXPECT_EQ(
      texts_of(entries_of(dir.file("maintenance.log"))),
      (std::vector<std::string>{"started", "category 2", std::string(511, 'x'), "stopped exit=5"}));
}

TEST(RunLogTest, NegativeExitStatusEndsWithAPlainStoppedEntry) {
  TempDir dir;
  int status = test::run_in_child([&] {
    test::Args a({"--no-syslog", "--log-path", dir.path()});
    runlog_init(opt_runlog_settings(a.argc(), a.argv()), "zuv_maintenance");
    return -1;
  });
  EXPECT_EQ(status, 255);
  EXPECT_EQ(texts_of(entries_of(dir.file("maintenance.log"))),
            (std::vector<std::string>{"started", "stopped"}));
}

TEST(RunLogTest, ValidationKnowsTheRunLogOptionsOnceItIsSetUp) {
  int warnings = test::run_in_child([] {
    test::Args a({"scrub", "--no-syslog", "--no-log", "--syslog", "3", "--log=0", "--log-path",
                  "/nonexistent"});
    runlog_init(opt_runlog_settings(a.argc(), a.argv()), "zuv_maintenance");
    if (!runlog_active()) return 99;
    const option_spec none[] = {{}};
    return static_cast<int>(opt_validate(a.argc(), a.argv(), none, 1));
  });
  EXPECT_EQ(warnings, 0);
}

// ---- the run log of the program ----

// Runs the program with its run log in log_dir and syslog off.
test::RunResult run_logged(std::vector<std::string> args, const std::string& log_dir) {
  args.insert(args.end(), {"--no-syslog", "--log-path", log_dir});
  return test::run(test::program_path(), args);
}

TEST(RunLogCliTest, EachRunLogsStartAndEndWithItsPidAndExitStatus) {
  TempDir dir;
  std::string log = dir.file("maintenance.log");
  EXPECT_EQ(run_logged({"--help"}, dir.path()).exit_status, 0);
  EXPECT_EQ(run_logged({"scrub", "--backup-dir", dir.file("none")}, dir.path()).exit_status, 1);
  EXPECT_EQ(run_logged({"bogus"}, dir.path()).exit_status, 2);
  auto e = entries_of(log);
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(texts_of(e), (std::vector<std::string>{"started", "stopped exit=0", "started",
                                                   "stopped exit=1", "started", "stopped exit=2"}));
  for (size_t i = 0; i < 6; i += 2) {
    EXPECT_EQ(e[i].pid, e[i + 1].pid);
    EXPECT_GT(e[i].pid, 0);
  }
  EXPECT_NE(e[0].pid, e[2].pid);
}

TEST(RunLogCliTest, LogPathWithOrWithoutTrailingSlashAndMissingParents) {
  TempDir dir;
  std::string sub = dir.file("var/log/zuv");
  EXPECT_EQ(run_logged({"--help"}, sub).exit_status, 0);
  EXPECT_EQ(run_logged({"--help"}, sub + "/").exit_status, 0);
  EXPECT_EQ(test::list_dir(sub), std::vector<std::string>{"maintenance.log"});
  EXPECT_EQ(entries_of(sub + "/maintenance.log").size(), 4u);
}

TEST(RunLogCliTest, MaskValuesSelectEntriesOrFallBackToOneWithAWarning) {
  struct Case {
    std::vector<std::string> args;
    size_t entries;
    std::string err;
  } cases[] = {
      {{"--log", "0"}, 0, ""},
      {{"--log", "3"}, 2, ""},
      {{"--log", "0x3"}, 2, ""},
      {{"--log="}, 2, ""},
      {{"--log", "08"}, 2, "warning: zuv_runlog: invalid --log value '08' -- using default 1\n"},
      {{"--log", "abc"}, 2, "warning: zuv_runlog: invalid --log value 'abc' -- using default 1\n"},
      {{"--syslog", "1x"},
       2,
       "warning: zuv_runlog: invalid --syslog value '1x' -- using default 1\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {"--help"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run_logged(args, dir.path());
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.exit_status, 0) << what;
    EXPECT_EQ(r.err, c.err) << what;
    // Even a mask of 0 creates the file; it just receives nothing.
    EXPECT_TRUE(test::file_exists(dir.file("maintenance.log"))) << what;
    EXPECT_EQ(entries_of(dir.file("maintenance.log")).size(), c.entries) << what;
  }
}

TEST(RunLogCliTest, NoLogCreatesNothingButStillChecksTheMask) {
  TempDir dir;
  std::string sub = dir.file("logs");
  auto r = run_logged({"--help", "--no-log", "--log", "3"}, sub);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  r = run_logged({"--help", "--no-log", "--log", "abc"}, sub);
  EXPECT_EQ(r.err, "warning: zuv_runlog: invalid --log value 'abc' -- using default 1\n");
  EXPECT_FALSE(test::file_exists(sub));
}

TEST(RunLogCliTest, UnusableLogPlaceGivesAWarningAndTheRunGoesOn) {
  TempDir dir;
  test::write_text(dir.file("plain"), "x");
  auto r = run_logged({"--help"}, dir.file("plain"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "warning: zuv_runlog: could not create log directory '" + dir.file("plain") +
                       "' -- continuing without logfile\n");
  EXPECT_EQ(test::read_text(dir.file("plain")), "x");

  ASSERT_EQ(mkdir(dir.file("maintenance.log").c_str(), 0755), 0);
  r = run_logged({"--help"}, dir.path() + "/");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "warning: zuv_runlog: could not open logfile '" + dir.file("maintenance.log") +
                       "' -- continuing without logfile\n");
}

TEST(RunLogCliTest, OptionWarningIsFiledBetweenTheEntries) {
  TempDir dir;
  auto r = run_logged({"scrub", "--backup-dir", dir.file("none"), "--bogus"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(
      texts_of(entries_of(dir.file("maintenance.log"))),
      (std::vector<std::string>{"started", "unknown option '--bogus' ignored", "stopped exit=1"}));
}

TEST(RunLogCliTest, VersionAndSelftestLeaveNoTrace) {
  TempDir dir;
  std::string sub = dir.file("logs");
  run_logged({"--version"}, sub);
  run_logged({"scrub", "--backup-dir", "d", "--selftest"}, sub);
  EXPECT_FALSE(test::file_exists(sub));
}

// The default place, /var/log/zuv/, seen through a private mount namespace in
// which a temporary directory stands in for /var/log: the host's logs are
// never touched. Run without arguments, which no test can otherwise do since
// every logging option is an argument.
TEST(RunLogCliTest, NoArgumentsPrintUsageAndLogToTheDefaultDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to stand a directory in for /var/log";
  TempDir dir;
  std::string var_log = dir.file("var-log"), blank = dir.file("blank");
  ASSERT_EQ(mkdir(var_log.c_str(), 0755), 0);
  test::write_text(blank, "");
  std::string out = dir.file("stdout"), err = dir.file("stderr");
  std::string program = test::program_path();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0) _exit(100);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(101);
    if (mount(var_log.c_str(), "/var/log", nullptr, MS_BIND, nullptr) != 0) _exit(102);
    // Should a syslog daemon listen, a plain file over its socket keeps the
    // start and end entries from reaching it.
    struct stat st;
    if (lstat("/dev/log", &st) == 0 && mount(blank.c_str(), "/dev/log", nullptr, MS_BIND, nullptr))
      _exit(103);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(104);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(105);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) >= 100)
    GTEST_SKIP() << "no private mount namespace here (step " << WEXITSTATUS(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(test::read_text(out), test::read_text(ZUV_SOURCE_DIR "/tests/cli/data/usage.txt"));
  EXPECT_EQ(test::read_text(err), "");
  EXPECT_EQ(texts_of(entries_of(var_log + "/zuv/maintenance.log")),
            (std::vector<std::string>{"started", "stopped exit=2"}));
}

}  // namespace
