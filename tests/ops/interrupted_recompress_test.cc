// recompress killed at each step of its swap (the spare link, the two
// renames, the removal of the spare): a child process runs it and ends
// itself with _exit() just before the k-th of those calls, as a kill there
// would. In every state left, the readers (scrub, synthetic-full) change
// nothing and report no bit rot, and the next recompress, prune or delete in
// the directory leaves the backup whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "ops/delete.h"
#include "ops/prune.h"
#include "ops/recompress.h"
#include "ops/sweep_support.h"
#include "ops/synthetic_full.h"
#include "store/backup.h"
#include "store/format.h"
#include "support/test_util.h"

namespace {

using test::Snapshot;

constexpr int KILLED = 42;

struct kill_point {
  uint64_t at = 0;
  uint64_t seen = 0;
};

fs_fault die_at_swap_step(fs_op op, const char*, void* ctx) {
  auto* k = static_cast<kill_point*>(ctx);
  if ((op == FS_OP_LINK || op == FS_OP_RENAME || op == FS_OP_REMOVE) && ++k->seen == k->at)
    _exit(KILLED);
  return {};
}

// Runs recompress in a child that dies just before its k-th swap step;
// returns the child's exit code (KILLED, or 0 when it finished).
int recompress_killed_at(uint64_t k, const recompress_request& req) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    kill_point point{k, 0};
    fs_set_fault_hook(die_at_swap_step, &point);
    _exit(recompress_backup(req) == STATUS_OK ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class InterruptedRecompressTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path() + "/store";
    out_ = tmp_.path() + "/out";
    std::filesystem::create_directory(dir_);
    full_ = test::write_small_backup(dir_, "db-full", KIND_FULL, "", 1);
    diff_ = test::write_small_backup(dir_, "db-diff", KIND_DIFF, full_.meta_path, 2, {1, 4, 7});
    other_ = test::write_small_backup(dir_, "other", KIND_FULL, "", 9);
    before_ = test::snapshot(dir_);
    req_.meta_path = full_.meta_path.c_str();
    req_.codec = CODEC_LZ4;
    req_.level = 1;
    ASSERT_EQ(test::quietly([&] { return recompress_backup(req_); }), STATUS_OK);
    after_ = test::snapshot(dir_);
    test::restore(dir_, before_);
  }

  // The FULL is the old backup or the new one, whole, with nothing of the
  // swap left beside it, and the directory scrubs clean.
  void expect_whole(bool must_be_new) {
    Snapshot now = test::snapshot(dir_);
    const std::string meta = "db-full.infb", image = "db-full.csfb";
    bool old_pair = now[meta] == before_.at(meta) && now[image] == before_.at(image);
    bool new_pair = now[meta] == after_.at(meta) && now[image] == after_.at(image);
    EXPECT_TRUE(must_be_new ? new_pair : old_pair || new_pair) << "not a whole backup";
    EXPECT_FALSE(now.count(image + BACKUP_SPARE_SUFFIX)) << "the spare is left";
    EXPECT_EQ(test::scrub_dir(dir_), STATUS_OK);
  }

  test::TempDir tmp_;
  std::string dir_, out_;
  writer_result full_, diff_, other_;
  recompress_request req_;
  Snapshot before_, after_;
};

TEST_F(InterruptedRecompressTest, EveryStepOfTheSwapIsReadWholeAndFinishedByTheNextWriter) {
  int states = 0, interrupted = 0;
  for (uint64_t k = 1;; k++) {
    SCOPED_TRACE("killed before swap step " + std::to_string(k));
    // The state is made again for every run that follows, by the same
    // kill: a copy would not keep the spare's link to the image.
    auto kill_again = [&] {
      test::restore(dir_, before_);
      return recompress_killed_at(k, req_);
    };
    int code = kill_again();
    if (code == 0) break;
    ASSERT_EQ(code, KILLED);
    ASSERT_LT(k, 20u) << "recompress never finished";
    states++;
    const Snapshot killed = test::snapshot(dir_);

    // Scrub only reads: the pair that verifies is checked, no bit rot is
    // reported, and a swap left half done fails the run.
    scrub_request scrub;
    scrub.backup_dir = dir_.c_str();
    testing::internal::CaptureStderr();
    status_t s = scrub_backups(scrub);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("bit rot"), std::string::npos) << log;
    const bool half = log.find(": interrupted recompress; ") != std::string::npos;
    interrupted += half;
    EXPECT_EQ(s, half ? STATUS_CORRUPT : STATUS_OK) << log;
    EXPECT_EQ(test::snapshot(dir_), killed) << "scrub changed the store";

    // synthetic-full reads the chain the same way.
    test::fresh_dir(out_);
    synthetic_full_request collapse;
    collapse.target = diff_.meta_path.c_str();
    collapse.search_dir = dir_.c_str();
    collapse.out_dir = out_.c_str();
    collapse.name = "collapsed";
    EXPECT_EQ(test::quietly([&] { return synthetic_full(collapse); }), STATUS_OK);
    EXPECT_EQ(test::snapshot(dir_), killed) << "synthetic-full changed the chain";
    EXPECT_EQ(test::scrub_dir(out_), STATUS_OK);

    // Each writer of the directory leaves it whole.
    ASSERT_EQ(kill_again(), KILLED);
    EXPECT_EQ(test::quietly([&] { return recompress_backup(req_); }), STATUS_OK);
    expect_whole(true);

    ASSERT_EQ(kill_again(), KILLED);
    prune_request prune;
    prune.search_dir = dir_.c_str();
    prune.now = 1800000000;  // nothing here has a retention: nothing goes
    EXPECT_EQ(test::quietly([&] { return prune_backups(prune); }), STATUS_OK);
    expect_whole(false);

    ASSERT_EQ(kill_again(), KILLED);
    delete_request del;
    del.meta_path = other_.meta_path.c_str();
    del.search_dir = dir_.c_str();
    EXPECT_EQ(test::quietly([&] { return delete_backup(del); }), STATUS_OK);
    EXPECT_FALSE(test::file_exists(other_.meta_path));
    expect_whole(false);
  }
  EXPECT_GE(states, 3) << "the swap has a link and two renames";
  EXPECT_EQ(interrupted, 1) << "one step lies between the two renames";
}

// A dry run only reads: it names the interrupted backup and leaves it.
TEST_F(InterruptedRecompressTest, DryRunsReportAnInterruptedSwapAndLeaveIt) {
  const std::string image = "db-full.csfb";
  Snapshot half = before_;
  half[image] = after_.at(image);
  half[image + BACKUP_SPARE_SUFFIX] = before_.at(image);
  half["db-full.infb.tmp"] = after_.at("db-full.infb");
  test::restore(dir_, half);
  const std::string warning = full_.meta_path +
                              ": interrupted recompress; the next recompress, prune or delete in "
                              "this directory finishes it\n";

  prune_request prune;
  prune.search_dir = dir_.c_str();
  prune.now = 1800000000;
  prune.dry_run = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(prune_backups(prune), STATUS_OK);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("WARN  " + warning), std::string::npos) << log;

  delete_request del;
  del.meta_path = other_.meta_path.c_str();
  del.search_dir = dir_.c_str();
  del.dry_run = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(delete_backup(del), STATUS_OK);
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("WARN  " + warning), std::string::npos) << log;
  EXPECT_EQ(test::snapshot(dir_), half);
}

}  // namespace
