#include "cli/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "cli_test_util.h"

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

}  // namespace
