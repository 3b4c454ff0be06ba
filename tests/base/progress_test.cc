#include "base/progress.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "support/test_util.h"

namespace {

std::string format(uint64_t done, uint64_t total, double elapsed, size_t width = 200) {
  char out[256];
  progress_format(out, sizeof out, "scrub", done, total, elapsed, width);
  return out;
}

TEST(ProgressFormatTest, BytesOfTotalRateAndTimeLeft) {
  const uint64_t MiB = uint64_t{1} << 20;
  // 100 MiB of 400 MiB in 2 s: 50 MiB/s, 300 MiB to go take 6 s.
  EXPECT_EQ(format(100 * MiB, 400 * MiB, 2.0),
            "scrub: 100.0 MiB of 400.0 MiB (25%), 50.0 MiB/s, 0:00:06 left");
  EXPECT_EQ(format(3 * (uint64_t{1} << 40), 4 * (uint64_t{1} << 40), 3600.0),
            "scrub: 3.0 TiB of 4.0 TiB (75%), 873.8 MiB/s, 0:20:00 left");
  EXPECT_EQ(format(512, 2048, 1.0), "scrub: 512 B of 2.0 KiB (25%), 512 B/s, 0:00:03 left");
}

TEST(ProgressFormatTest, NoRateBeforeOneCanBeTold) {
  EXPECT_EQ(format(0, 1 << 20, 10.0), "scrub: 0 B of 1.0 MiB (0%), --/s, -- left");
  EXPECT_EQ(format(4096, 1 << 20, 0.1), "scrub: 4.0 KiB of 1.0 MiB (0%), --/s, -- left");
}

TEST(ProgressFormatTest, DoneBeyondTheTotalAndAnEmptyTotalShowAHundredPercent) {
  // Backups written since the total was taken carry the count past it.
  EXPECT_EQ(format(3072, 2048, 1.0), "scrub: 3.0 KiB of 3.0 KiB (100%), 3.0 KiB/s, 0:00:00 left");
  EXPECT_EQ(format(0, 0, 1.0), "scrub: 0 B of 0 B (100%), --/s, -- left");
}

TEST(ProgressFormatTest, NeverAsWideAsTheTerminal) {
  // A line that wraps could not be cleared with one "\r\033[K".
  EXPECT_EQ(format(100, 400, 2.0, 20), "scrub: 100 B of 400");
  EXPECT_EQ(format(100, 400, 2.0, 20).size(), 19u);
}

class StatusLineTest : public testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }
  void TearDown() override {
    (void)test::capture_stderr([] { log_status_clear(); });
  }
};

std::string without_times(const std::string& text) {
  return std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ )"), "T ");
}

TEST_F(StatusLineTest, ALogLineClearsTheStatusLineAndDrawsItAgainUnderIt) {
  std::string err = test::capture_stderr([] {
    log_status_show("scrub: 1 of 2");
    log_write(LOG_WARN_LEVEL, "w");
    log_status_show("scrub: 2 of 2");
    log_status_clear();
    log_write(LOG_INFO_LEVEL, "i");
  });
  EXPECT_EQ(without_times(err),
            "\rscrub: 1 of 2\033[K"
            "\r\033[KT [zuv_maintenance] WARN  w\n"
            "\rscrub: 1 of 2\033[K"
            "\rscrub: 2 of 2\033[K"
            "\r\033[K"
            "T [zuv_maintenance] INFO  i\n");
}

TEST_F(StatusLineTest, WithoutAStatusLineLogLinesAreWrittenAsBefore) {
  std::string err = test::capture_stderr([] {
    log_write(LOG_INFO_LEVEL, "a");
    log_status_clear();  // nothing shown: nothing written
    log_write(LOG_INFO_LEVEL, "b");
  });
  EXPECT_EQ(without_times(err), "T [zuv_maintenance] INFO  a\nT [zuv_maintenance] INFO  b\n");
}

TEST_F(StatusLineTest, AStatusTextNeverBreaksTheLine) {
  std::string err = test::capture_stderr([] { log_status_show("one\ntwo"); });
  EXPECT_EQ(err, "\rone\033[K");
}

// Log lines from several threads and redraws of a timer: the output is a
// sequence of whole pieces only (a draw, a clear, or a cleared log line
// followed by a draw), never one cut into another.
TEST_F(StatusLineTest, ThreadsLoggingBesideRedrawsNeverCutALine) {
  constexpr int THREADS = 4;
  constexpr int LINES = 200;
  std::string err = test::capture_stderr([] {
    log_status_show("status 0");
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
      threads.emplace_back([t] {
        for (int i = 0; i < LINES; i++)
          log_write(LOG_INFO_LEVEL, "thread %d line %d of a text long enough to be cut", t, i);
      });
    std::thread redraw([] {
      for (int i = 0; i < 500; i++) log_status_show(("status " + std::to_string(i)).c_str());
    });
    for (auto& th : threads) th.join();
    redraw.join();
    log_status_clear();
  });
  static const std::regex status("\rstatus \\d+\033\\[K");
  static const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[zuv_maintenance\] INFO  )"
                               R"(thread \d line \d+ of a text long enough to be cut\n)");
  const std::string clear = "\r\033[K";
  // The next whole draw at `at`, or npos.
  auto draw_end = [&](size_t at) -> size_t {
    size_t end = err.find("\033[K", at);
    if (end == std::string::npos) return end;
    end += 3;
    return std::regex_match(err.begin() + at, err.begin() + end, status) ? end : std::string::npos;
  };
  size_t lines = 0;
  size_t at = 0;
  while (at < err.size()) {
    size_t end = std::string::npos;
    if (err.compare(at, clear.size(), clear) == 0) {
      size_t text = at + clear.size();
      if (text == err.size()) break;  // the final clear
      size_t nl = err.find('\n', text);
      ASSERT_NE(nl, std::string::npos) << err.substr(at, 120);
      ASSERT_TRUE(std::regex_match(err.begin() + text, err.begin() + nl + 1, line))
          << err.substr(text, nl + 1 - text);
      lines++;
      end = draw_end(nl + 1);  // drawn again under the line
    } else {
      end = draw_end(at);
    }
    ASSERT_NE(end, std::string::npos) << "cut at: " << err.substr(at, 120);
    at = end;
  }
  EXPECT_EQ(lines, static_cast<size_t>(THREADS * LINES));
}

TEST(ProgressMeterTest, WithoutATerminalNothingIsShownAndNothingCounted) {
  // Standard error is a file here, as in a pipe or the journal.
  progress_meter m;
  std::string err = test::capture_stderr([&] {
    progress_start(&m, "scrub", 1000);
    progress_add(&m, 10);
    progress_shrink(&m, 10);
    progress_stop(&m);
  });
  EXPECT_EQ(err, "");
  EXPECT_FALSE(m.active);
  EXPECT_EQ(m.done.load(), 0u);
}

}  // namespace
