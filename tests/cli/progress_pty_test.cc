// The progress line of scrub, recompress and synthetic-full, seen the way an
// operator sees it: the program runs with a pseudo-terminal as its standard
// error. Without a terminal nothing of it may appear.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "store_writer.h"
#include "support/test_util.h"

namespace {

struct PtyRun {
  int exit_status = -1;
  std::string out;  // everything the terminal got, "\r\n" made "\n" again
};

// Runs the program with stdin, stdout and stderr on a new pseudo-terminal
// 100 columns wide, and collects what it writes there.
PtyRun run_on_pty(std::vector<std::string> args) {
  args.insert(args.begin() + 1, {"--no-syslog", "--no-log"});
  args.insert(args.begin(), test::program_path());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  struct winsize ws = {};
  ws.ws_row = 40;
  ws.ws_col = 100;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    setenv("TERM", "xterm", 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  PtyRun r;
  if (pid < 0) return r;
  char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      r.out.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the program has ended and closed the terminal
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  size_t at = 0;
  while ((at = r.out.find("\r\n", at)) != std::string::npos) r.out.replace(at, 2, "\n");
  return r;
}

// The log lines of a terminal's output: each status draw ("\r<text>\033[K")
// and each clear ("\r\033[K") taken out. A log line that a draw had cut
// into would come out with the draw's text inside it.
std::string log_lines_of(const std::string& out) {
  return std::regex_replace(out, std::regex("\r[^\r\n]*\033\\[K"), "");
}

class ProgressPtyTest : public testing::Test {
 protected:
  writer_result write(const std::string& stem, uint8_t kind = KIND_FULL,
                      const std::string& parent = "") {
    writer_backup_desc desc;
    desc.dir = store.path();
    desc.file_stem = stem;
    desc.kind = kind;
    desc.parent_meta = parent;
    desc.volume_size = uint64_t{8} << 20;
    desc.seed = stem.size();
    writer_result r;
    EXPECT_EQ(writer_write_backup(desc, &r), STATUS_OK);
    return r;
  }
  test::TempDir store;
};

TEST_F(ProgressPtyTest, ScrubShowsItsLineAndKeepsEveryLogLineWhole) {
  writer_result a = write("a");
  writer_result b = write("b");
  for (uint64_t id : {1, 40, 77}) ASSERT_EQ(writer_flip_payload_byte(b, id, 0), STATUS_OK);
  writer_result c = write("c");

  const std::vector<std::string> args = {"scrub", "--backup-dir", store.path(), "--threads", "2"};
  PtyRun r = run_on_pty(args);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  // Drawn at the start, with the size of the three images as its total.
  const uint64_t total =
      test::file_size(a.image_path) + test::file_size(b.image_path) + test::file_size(c.image_path);
  char first[128];
  snprintf(first, sizeof first, "\rscrub: 0 B of %.1f MiB (0%%), --/s, -- left\033[K",
           static_cast<double>(total) / (1 << 20));
  EXPECT_EQ(r.out.rfind(first, 0), 0u) << r.out.substr(0, 200);

  // Without the draws and clears, the terminal shows exactly the report a
  // run into a pipe gives, line for line.
  test::RunResult piped = test::run_zuv(args);
  EXPECT_EQ(piped.exit_status, 1);
  EXPECT_EQ(test::strip_log_times(log_lines_of(r.out)), test::strip_log_times(piped.err));
  // Cleared before the summary, never drawn again after it.
  const size_t summary = r.out.find("INFO  scrub: checked");
  ASSERT_NE(summary, std::string::npos);
  EXPECT_EQ(r.out.find('\r', summary), std::string::npos);
  const size_t clear = r.out.rfind("\r\033[K", summary);
  ASSERT_NE(clear, std::string::npos);
  EXPECT_TRUE(std::regex_match(r.out.substr(clear + 4, summary - clear - 4),
                               std::regex(R"(\S+ \[zuv_maintenance\] )")))
      << r.out.substr(clear, summary - clear);
}

TEST_F(ProgressPtyTest, WithoutATerminalNothingOfTheLineIsWritten) {
  writer_result a = write("a");
  ASSERT_EQ(writer_flip_payload_byte(a, 5, 0), STATUS_OK);
  test::RunResult piped = test::run_zuv({"scrub", "--backup-dir", store.path()});
  EXPECT_EQ(piped.exit_status, 1);
  EXPECT_EQ(piped.err.find('\r'), std::string::npos);
  EXPECT_EQ(piped.err.find('\033'), std::string::npos);
  EXPECT_EQ(test::lines_of(test::strip_log_times(piped.err)),
            (std::vector<std::string>{
                "ERROR bit rot detected: " + store.path() + "/a.infb block_id=5",
                "INFO  scrub: checked 128 blocks, 1 bad, 0 file(s) skipped (encrypted, no "
                "--decrypt-key-file)",
                "WARN  bit rot in " + store.path() +
                    "/a.infb breaks the restore of: " + store.path() + "/a.infb",
                "ERROR zuv_maintenance scrub failed: corrupt or inconsistent data (status=-7)"}));
}

TEST_F(ProgressPtyTest, RecompressAndSyntheticFullShowTheirLinesAndClearThem) {
  writer_result full = write("full");
  writer_result inc = write("inc", KIND_INC, full.meta_path);

  PtyRun r = run_on_pty({"recompress", "--meta", inc.meta_path, "--to", "lz4"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("\rrecompress: 0 B of ", 0), 0u) << r.out;
  EXPECT_EQ(log_lines_of(r.out), "");  // recompress logs nothing on success
  EXPECT_TRUE(r.out.ends_with("\r\033[K")) << r.out;

  test::TempDir out;
  r = run_on_pty({"synthetic-full", "--target", inc.meta_path, "--search-dir", store.path(),
                  "--out", out.path(), "--name", "db"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("\rsynthetic-full: 0 B of ", 0), 0u) << r.out;
  EXPECT_TRUE(std::regex_match(
      log_lines_of(r.out),
      std::regex(
          R"(\S+ \[zuv_maintenance\] INFO  synthetic_full: collapsed 2-file chain into .*\n)")))
      << r.out;
  EXPECT_TRUE(r.out.ends_with("bytes)\n")) << r.out;
}

}  // namespace
