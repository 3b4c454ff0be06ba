#include "base/log.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

// Every test leaves the log as the program sets it up, since other suites
// compare lines tagged [zuv_maintenance].
class LogTest : public testing::Test {
 protected:
  void TearDown() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }
};

TEST_F(LogTest, LineIsTimeProgramPaddedLevelTextAndNewline) {
  log_init("zuv_maintenance", LOG_INFO_LEVEL);
  std::string err = test::capture_stderr([] {
    log_write(LOG_WARN_LEVEL, "disk %s at %d%%", "sda", 93);
    log_write(LOG_ERROR_LEVEL, "x");
    log_write(LOG_INFO_LEVEL, "y");
  });
  EXPECT_TRUE(std::regex_match(err, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ )"
                                               R"(\[zuv_maintenance\] WARN  disk sda at 93%\n)"
                                               R"(\S+ \[zuv_maintenance\] ERROR x\n)"
                                               R"(\S+ \[zuv_maintenance\] INFO  y\n)")))
      << err;
}

TEST_F(LogTest, LinesBelowTheMinimumLevelAreDropped) {
  log_init("zuv_maintenance", LOG_INFO_LEVEL);
  EXPECT_EQ(test::capture_stderr([] { log_write(LOG_DEBUG_LEVEL, "hidden"); }), "");
  log_init("zuv_maintenance", LOG_ERROR_LEVEL);
  EXPECT_EQ(test::capture_stderr([] { log_write(LOG_WARN_LEVEL, "hidden"); }), "");
  EXPECT_NE(test::capture_stderr([] { log_write(LOG_ERROR_LEVEL, "shown"); }), "");
}

TEST_F(LogTest, LongProgramNameIsCutTo63Characters) {
  std::string name(70, 'n');
  log_init(name.c_str(), LOG_INFO_LEVEL);
  std::string err = test::capture_stderr([] { log_write(LOG_INFO_LEVEL, "t"); });
  EXPECT_NE(err.find("[" + std::string(63, 'n') + "] INFO  t\n"), std::string::npos) << err;
}

TEST_F(LogTest, UnknownLevelIsLabelledWithAQuestionMark) {
  log_init("p", LOG_INFO_LEVEL);
  std::string err = test::capture_stderr([] { log_write(7, "odd"); });
  EXPECT_NE(err.find(" [p] ?     odd\n"), std::string::npos) << err;
}

TEST_F(LogTest, ALineLongerThanAnyBufferIsWrittenWhole) {
  log_init("zuv_maintenance", LOG_INFO_LEVEL);
  std::string names;
  for (int i = 0; i < 3000; i++)
    names += (i ? "," : "") + std::string("backup-") + std::to_string(i);
  std::string err =
      test::capture_stderr([&] { log_write(LOG_WARN_LEVEL, "kept: %s", names.c_str()); });
  ASSERT_TRUE(err.ends_with("WARN  kept: " + names + "\n")) << err.size();
  EXPECT_EQ(err.find('\n'), err.size() - 1);
}

// Two processes logging into one pipe, as two runs share a journal or a
// terminal: every line arrives whole, since each is one write and a pipe
// keeps a write of up to PIPE_BUF bytes together.
TEST_F(LogTest, LinesOfTwoProcessesSharingAPipeNeverInterleave) {
  log_init("zuv_maintenance", LOG_INFO_LEVEL);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string a(3000, 'a'), b(3000, 'b');
  std::vector<pid_t> writers;
  for (const std::string* text : {&a, &b}) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      dup2(fds[1], 2);
      for (int i = 0; i < 300; i++) log_write(LOG_INFO_LEVEL, "%s", text->c_str());
      _exit(0);
    }
    writers.push_back(pid);
  }
  close(fds[1]);
  std::string all;
  char buf[65536];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  for (pid_t pid : writers) waitpid(pid, nullptr, 0);
  const std::regex whole(R"(\S+ \[zuv_maintenance\] INFO  (a{3000}|b{3000}))");
  std::vector<std::string> lines = test::lines_of(all);
  ASSERT_EQ(lines.size(), 600u);
  for (const std::string& line : lines)
    ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
}

}  // namespace
