// Runs beside runs: the test holds a backup directory's lock as another
// zuv_maintenance run would, and the real program, started meanwhile, must
// refuse at once with "temporarily unavailable" and change nothing -- or, for
// two readers, go ahead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ops/sweep_support.h"
#include "store/format.h"
#include "support/test_util.h"

namespace {

using test::Snapshot;

// A lock on a directory held through a descriptor of its own.
class held_lock {
 public:
  held_lock(const std::string& dir, int op)
      : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    EXPECT_EQ(flock(fd_, op | LOCK_NB), 0) << dir;
  }
  ~held_lock() { release(); }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

class DirLockRaceTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path() + "/store";
    out_ = tmp_.path() + "/out";
    std::filesystem::create_directory(dir_);
    std::filesystem::create_directory(out_);
    const int64_t expired = 1700000500;
    full_ = test::write_small_backup(dir_, "db-full", KIND_FULL, "", 1, {}, 1700000000, expired);
    diff_ = test::write_small_backup(dir_, "db-diff", KIND_DIFF, full_.meta_path, 2, {1, 4},
                                     1700000100, expired);
    test::write_small_backup(dir_, "db-new", KIND_FULL, "", 3, {}, 1800000000);
    before_ = test::snapshot(dir_);
  }

  // The command is refused at once because dir is held, and nothing changed.
  void expect_refused(const std::vector<std::string>& args, const std::string& dir) {
    SCOPED_TRACE(args[0] + " with " + dir + " held");
    test::RunResult r = test::run_zuv(args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(test::strip_log_times(r.err), "ERROR another zuv_maintenance run is working on " +
                                                dir + "\n" + "ERROR zuv_maintenance " + args[0] +
                                                " failed: temporarily unavailable (status=-9)\n");
    EXPECT_EQ(test::snapshot(dir_), before_);
    EXPECT_TRUE(test::list_dir(out_).empty());
  }

  test::TempDir tmp_;
  std::string dir_, out_;
  writer_result full_, diff_;
  Snapshot before_;
};

TEST_F(DirLockRaceTest, WritersAreRefusedWhileAnyRunHoldsTheirDirectory) {
  const std::vector<std::string> recompress = {"recompress", "--meta", full_.meta_path, "--to",
                                               "lz4"};
  const std::vector<std::string> del = {"delete", "--meta", full_.meta_path, "--search-dir", dir_};
  const std::vector<std::string> prune = {"prune", "--search-dir", dir_, "--now", "1750000000"};
  const std::vector<std::string> collapse = {
      "synthetic-full", "--target", diff_.meta_path, "--search-dir", dir_,
      "--out",          out_,       "--name",        "collapsed"};
  for (int op : {LOCK_SH, LOCK_EX}) {
    held_lock other(dir_, op);
    expect_refused(recompress, dir_);
    expect_refused(del, dir_);
    expect_refused(prune, dir_);
  }
  {
    held_lock other(out_, LOCK_SH);
    expect_refused(collapse, out_);
  }
  {
    // --out that is --search-dir: one lock, exclusive, which a reader blocks.
    held_lock other(dir_, LOCK_SH);
    std::vector<std::string> into_store = collapse;
    into_store[6] = dir_;
    expect_refused(into_store, dir_);
  }
  // The target's own directory is held too when --search-dir is another one.
  test::TempDir elsewhere;
  held_lock other(dir_, LOCK_SH);
  expect_refused({"delete", "--meta", full_.meta_path, "--search-dir", elsewhere.path()}, dir_);
}

TEST_F(DirLockRaceTest, ReadersShareTheDirectoryAndAreRefusedOnlyByAWriter) {
  {
    held_lock reader(dir_, LOCK_SH);
    test::RunResult r = test::run_zuv({"scrub", "--backup-dir", dir_});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    r = test::run_zuv({"prune", "--search-dir", dir_, "--now", "1750000000", "--dry-run"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    r = test::run_zuv({"delete", "--meta", full_.meta_path, "--search-dir", dir_, "--dry-run"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    r = test::run_zuv({"synthetic-full", "--target", diff_.meta_path, "--search-dir", dir_, "--out",
                       out_, "--name", "collapsed"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(test::snapshot(dir_), before_);
    test::fresh_dir(out_);
  }
  held_lock writer(dir_, LOCK_EX);
  expect_refused({"scrub", "--backup-dir", dir_}, dir_);
  expect_refused({"prune", "--search-dir", dir_, "--dry-run"}, dir_);
  expect_refused({"delete", "--meta", full_.meta_path, "--search-dir", dir_, "--dry-run"}, dir_);
  expect_refused({"synthetic-full", "--target", diff_.meta_path, "--search-dir", dir_, "--out",
                  out_, "--name", "collapsed"},
                 dir_);
}

// A pass that meets a writer logs so and checks nothing; the next pass,
// once the writer is gone, scrubs.
TEST_F(DirLockRaceTest, RunLoopSkipsAPassWhileAWriterHoldsTheDirectoryAndTriesAgain) {
  const std::string log = tmp_.path() + "/run-loop.err";
  held_lock writer(dir_, LOCK_EX);
  const pid_t pid =
      test::start_zuv({"run-loop", "--backup-dir", dir_, "--poll-interval", "1"}, log);
  ASSERT_GT(pid, 0);

  // Waits (up to a minute: the machine is shared) until the log holds text.
  auto wait_for = [&](const std::string& text) {
    for (int i = 0; i < 600; i++) {
      if (test::read_text(log).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  EXPECT_TRUE(wait_for("ERROR another zuv_maintenance run is working on " + dir_ + "\n"));
  EXPECT_EQ(test::read_text(log).find("scrub: checked"), std::string::npos);
  writer.release();
  EXPECT_TRUE(wait_for("INFO  scrub: checked "));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(test::snapshot(dir_), before_);
}

}  // namespace
