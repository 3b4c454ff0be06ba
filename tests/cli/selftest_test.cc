#include "cli/selftest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/version.h"
#include "cli/selftest_hook.h"
#include "codec/compress.h"
#include "support/test_util.h"

namespace {

const std::string VERSION_LINE = std::string(PROGRAM_NAME) + " " + PROGRAM_VERSION + "\n";
const std::string OK_LINE = std::string(PROGRAM_NAME) + " " + PROGRAM_VERSION + ": selftest ok\n";

struct Answer {
  int status;
  std::string out, err;
};

Answer ask(std::vector<std::string> args) {
  args.insert(args.begin(), "zuv_maintenance");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Answer a;
  a.status = version_or_selftest(static_cast<int>(args.size()), argv.data(), PROGRAM_NAME);
  fflush(stdout);
  a.out = ::testing::internal::GetCapturedStdout();
  a.err = ::testing::internal::GetCapturedStderr();
  return a;
}

// What the stand-in saw, and which codec it breaks. Breaking runs the real
// check with an id that cannot round trip, so the failure path is the real one.
struct Recorder {
  std::vector<uint8_t> codecs;
  std::vector<uint8_t> data;
  uint8_t broken = 0xFF;
};
Recorder* g_recorder = nullptr;

int recording_check(uint8_t codec, const char* failure_message, const uint8_t* data, char* msg,
                    size_t msg_cap) {
  g_recorder->codecs.push_back(codec);
  g_recorder->data.assign(data, data + SELFTEST_DATA_SIZE);
  uint8_t use = codec == g_recorder->broken ? uint8_t{3} : codec;
  return codec_self_check(use, failure_message, data, msg, msg_cap);
}

class SelftestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorder = &rec;
    selftest_set_check_hook(recording_check);
  }
  void TearDown() override {
    selftest_set_check_hook(nullptr);
    g_recorder = nullptr;
  }
  Recorder rec;
};

TEST_F(SelftestTest, PassesAndSaysSoOnStandardOutput) {
  Answer a = ask({"--selftest"});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out, OK_LINE);
  EXPECT_EQ(a.err, "");
  EXPECT_EQ(rec.codecs, (std::vector<uint8_t>{CODEC_ZSTD, CODEC_LZ4}));
}

TEST_F(SelftestTest, BrokenZstdIsReportedAndLz4IsNeverTried) {
  rec.broken = CODEC_ZSTD;
  Answer a = ask({"--selftest"});
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.out, "");
  EXPECT_EQ(a.err, "zuv_maintenance: selftest failed: zstd round trip failed\n");
  EXPECT_EQ(rec.codecs, std::vector<uint8_t>{CODEC_ZSTD});
}

TEST_F(SelftestTest, BrokenLz4IsReportedAfterZstdPassed) {
  rec.broken = CODEC_LZ4;
  Answer a = ask({"scrub", "--selftest", "--backup-dir", "/nonexistent"});
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.out, "");
  EXPECT_EQ(a.err, "zuv_maintenance: selftest failed: lz4 round trip failed\n");
  EXPECT_EQ(rec.codecs, (std::vector<uint8_t>{CODEC_ZSTD, CODEC_LZ4}));
}

TEST_F(SelftestTest, DataFollowsItsPattern) {
  ASSERT_EQ(run_selftest(nullptr, 0), 0);
  ASSERT_EQ(rec.data.size(), SELFTEST_DATA_SIZE);
  EXPECT_EQ(rec.data[0], 0x00);
  EXPECT_EQ(rec.data[1], 0x07);
  EXPECT_EQ(rec.data[32], 0xe1);
  EXPECT_EQ(rec.data[255], 0xfe);
  EXPECT_EQ(std::vector<uint8_t>(rec.data.begin(), rec.data.begin() + 8),
            (std::vector<uint8_t>{0x00, 0x07, 0x0e, 0x15, 0x1c, 0x23, 0x2a, 0x31}));
  for (size_t i = 8192; i < rec.data.size(); i++) ASSERT_EQ(rec.data[i], rec.data[i - 8192]) << i;
}

TEST_F(SelftestTest, MessageIsCutToItsBufferAndNeverWrittenWithoutOne) {
  rec.broken = CODEC_ZSTD;
  char msg[6];
  memset(msg, 'x', sizeof msg);
  EXPECT_EQ(run_selftest(msg, sizeof msg), 1);
  EXPECT_STREQ(msg, "zstd ");
  EXPECT_EQ(run_selftest(nullptr, 0), 1);
  char untouched[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(run_selftest(untouched, 0), 1);
  EXPECT_EQ(std::string(untouched, 4), "abcd");
}

TEST(SelftestVersionTest, VersionWinsAndNeitherOptionMeansGoOn) {
  Answer a = ask({"--selftest", "--version"});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out, VERSION_LINE);
  EXPECT_EQ(a.err, "");

  a = ask({"prune", "--backup-dir", "d", "--version"});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out, VERSION_LINE);

  a = ask({"scrub", "--backup-dir", "d", "--selftest=yes", "--versions"});
  EXPECT_EQ(a.status, -1);
  EXPECT_EQ(a.out, "");
  EXPECT_EQ(a.err, "");
}

TEST(CodecSelfCheckTest, BothCodecsRoundTripThePatternAndLeaveTheMessageAlone) {
  std::vector<uint8_t> data(SELFTEST_DATA_SIZE);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>((i >> 5) ^ (7 * i));
  for (uint8_t codec : {uint8_t{CODEC_ZSTD}, uint8_t{CODEC_LZ4}}) {
    char msg[32] = {};
    EXPECT_EQ(codec_self_check(codec, "failed", data.data(), msg, sizeof msg), 0) << int(codec);
    EXPECT_STREQ(msg, "");
  }
}

TEST(CodecSelfCheckTest, ACodecThatDoesNotCompressFailsWithItsMessage) {
  std::vector<uint8_t> data(SELFTEST_DATA_SIZE, 0);
  for (uint8_t codec : {uint8_t{CODEC_NONE}, uint8_t{3}}) {
    char msg[64] = {};
    EXPECT_EQ(codec_self_check(codec, "raw round trip failed", data.data(), msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "raw round trip failed");
    EXPECT_EQ(codec_self_check(codec, "raw round trip failed", data.data(), nullptr, 0), 1);
  }
}

// The whole program: the answer comes before any set-up, so nothing else runs
// and no run-log entry is written.
TEST(SelftestProgramTest, AnswersBeforeAnythingElseRuns) {
  auto plain = test::run_zuv({"--selftest"});
  EXPECT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(plain.out, OK_LINE);
  EXPECT_EQ(plain.err, "");

  test::TempDir dir;
  const std::string log = dir.file("run.log");
  auto r = test::run(test::program_path(), {"scrub", "--backup-dir", dir.file("absent"),
                                            "--selftest", "--no-syslog", "--log-path", log});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, OK_LINE);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(test::file_exists(log));

  r = test::run(test::program_path(),
                {"--selftest", "--version", "--no-syslog", "--log-path", log});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, VERSION_LINE);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(test::file_exists(log));
}

}  // namespace
