// Sudden death: recompress and synthetic-full run as the real program on a
// real store and are killed with SIGKILL at random moments. After every kill
// each backup in the directory is the old one byte for byte or the complete
// new result, and scrubs clean; anything else left is recognisably temporary.
//
// ZUV_CRASH_KILLS sets the kills per operation (default 100; 20 under the
// sanitizers), ZUV_CRASH_SEED the random seed (default: fresh, printed on
// failure), ZUV_CRASH_DIR where the store lives; scripts/crash.sh runs long
// loops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ops/scrub.h"
#include "ops/sweep_support.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/naming.h"
#include "support/test_util.h"

namespace {

using test::is_temporary_name;
using test::restore;
using test::scrub_dir;
using test::snapshot;
using test::Snapshot;

using Clock = std::chrono::steady_clock;

// Kills per operation. A kill tests the order of the program's calls, which
// the sanitizers do not change; under them every run is many times slower,
// so the sanitizer build kills fewer times and the release build makes the
// loop's 200.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUV_CRASH_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(ZUV_CRASH_SANITIZED)
constexpr uint64_t DEFAULT_KILLS = 20;
#else
constexpr uint64_t DEFAULT_KILLS = 100;
#endif

// Puts back what differs from s, given what the directory holds now.
void restore_from(const std::string& dir, const Snapshot& now, const Snapshot& s) {
  for (const auto& [name, bytes] : now)
    if (!s.count(name)) std::filesystem::remove(dir + "/" + name);
  for (const auto& [name, bytes] : s) {
    auto it = now.find(name);
    if (it == now.end() || it->second != bytes) {
      std::filesystem::remove(dir + "/" + name);  // a new inode, as a rewrite would leave
      test::write_file(dir + "/" + name, bytes);
    }
  }
}

uint64_t env_number(const char* name, uint64_t fallback) {
  const char* v = getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// Starts the program with its outputs thrown away.
pid_t start(const std::vector<std::string>& args) {
  return test::start_zuv(args);
}

// Waits for the child; true when it was killed (rather than finishing).
bool reap(pid_t pid, int* exit_code) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return WIFSIGNALED(status);
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The loop runs in memory (/dev/shm) when it can: a kill tests the order
    // of the calls, not the disk, and flushes to a shared disk would make 200
    // kills take minutes. ZUV_CRASH_DIR names another place (scripts/crash.sh
    // uses the disk).
    std::string base = getenv("ZUV_CRASH_DIR") ? getenv("ZUV_CRASH_DIR") : "";
    if (base.empty() && access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string saved = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    if (!base.empty()) setenv("TMPDIR", base.c_str(), 1);
    tmp_ = std::make_unique<test::TempDir>();
    if (saved.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", saved.c_str(), 1);
    dir_ = tmp_->path() + "/store";
    std::filesystem::create_directory(dir_);
    seed_ = env_number("ZUV_CRASH_SEED", std::random_device{}());
    kills_ = env_number("ZUV_CRASH_KILLS", DEFAULT_KILLS);
    // A FULL of 48 blocks of mixed content with a DIFF and an INC on it.
    mkstore({"backup", "--dir", dir_, "--stem", "db-full", "--kind", "full", "--block-size",
             "65536", "--volume-size", std::to_string(48 * 65536), "--created", "1700000000"});
    mkstore({"backup", "--dir", dir_, "--stem", "db-diff", "--kind", "diff", "--parent",
             dir_ + "/db-full.infb", "--seed", "2", "--blocks", "3-40", "--created", "1700000100"});
    mkstore({"backup", "--dir", dir_, "--stem", "db-inc", "--kind", "inc", "--parent",
             dir_ + "/db-diff.indb", "--seed", "3", "--blocks", "30-40,45", "--created",
             "1700000200"});
    before_ = snapshot(dir_);
  }

  void mkstore([[maybe_unused]] const std::vector<std::string>& args) {
#ifdef ZUV_MKSTORE_PATH
    test::RunResult r = test::run(ZUV_MKSTORE_PATH, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
#else
    GTEST_SKIP() << "zuv_mkstore is not built";
#endif
  }

  // Runs the command to its end on the starting store: the expected result,
  // and how long a run takes (the middle of three).
  Snapshot reference(const std::vector<std::string>& args, Clock::duration* took) {
    std::vector<Clock::duration> runs;
    for (int i = 0; i < 3; i++) {
      restore(dir_, before_);
      auto t0 = Clock::now();
      pid_t pid = start(args);
      EXPECT_GT(pid, 0);
      int code = -1;
      EXPECT_FALSE(reap(pid, &code));
      EXPECT_EQ(code, 0);
      runs.push_back(Clock::now() - t0);
    }
    std::sort(runs.begin(), runs.end());
    *took = runs[1];
    Snapshot after = snapshot(dir_);
    restore(dir_, before_);
    return after;
  }

  // Starts the command on the starting store, kills it after a random delay
  // of up to 1.2 times the length of a run (so some kills come after the
  // end), and returns whether the kill met the program still running. The
  // length follows what the runs take: flushes to a shared disk make them
  // far longer than the quiet first runs, so it grows a little with every
  // kill that met a running program and moves toward the length of every run
  // that ended first.
  bool run_and_kill(const std::vector<std::string>& args, Clock::duration* took,
                    std::mt19937_64* rng) {
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(*took).count() * 6 / 5;
    std::uniform_int_distribution<int64_t> delay(0, std::max<int64_t>(span, 1));
    auto deadline = Clock::now() + std::chrono::microseconds(delay(*rng));
    auto t0 = Clock::now();
    pid_t pid = start(args);
    EXPECT_GT(pid, 0);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) usleep(100);
    auto ended = Clock::now();
    bool killed = false;
    if (done == 0) {
      kill(pid, SIGKILL);
      int code = -1;
      killed = reap(pid, &code);
      if (!killed) {
        EXPECT_EQ(code, 0) << "the run finished with a failure";
      }
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run failed";
    }
    if (killed) {
      *took = *took * 21 / 20;
    } else {
      *took = (*took * 3 + (ended - t0)) / 4;
    }
    return killed;
  }

  std::unique_ptr<test::TempDir> tmp_;
  std::string dir_;
  Snapshot before_;
  uint64_t seed_ = 0;
  uint64_t kills_ = 0;
};

// Every other kill meets a run on several threads: the new files are the
// same bytes either way, written in the same order.
TEST_F(CrashTest, KilledRecompressLeavesTheOldBackupOrTheNewOne) {
  const std::vector<std::string> one_thread = {"recompress", "--meta",    dir_ + "/db-full.infb",
                                               "--to",       "lz4",       "--level",
                                               "1",          "--threads", "1"};
  std::vector<std::string> several = one_thread;
  several.back() = "3";
  Clock::duration took;
  const Snapshot after = reference(one_thread, &took);
  Clock::duration unused;
  ASSERT_EQ(reference(several, &unused), after) << "several threads wrote other bytes";
  const std::string meta = "db-full.infb", image = "db-full.csfb";
  ASSERT_NE(after.at(image), before_.at(image));
  std::mt19937_64 rng(seed_);
  SCOPED_TRACE("ZUV_CRASH_SEED=" + std::to_string(seed_));

  int killed = 0, old_pair = 0, new_pair = 0, interrupted_swap = 0;
  for (uint64_t n = 0; n < kills_ && !HasFailure(); n++) {
    SCOPED_TRACE("kill " + std::to_string(n));
    killed += run_and_kill(n % 2 ? several : one_thread, &took, &rng);
    Snapshot now = snapshot(dir_);
    ASSERT_TRUE(now.count(meta) && now.count(image));
    // Two files cannot be renamed in one step: a kill between the rename of
    // the image and that of the meta file leaves the new image beside the
    // old meta file, with the old image under its spare name and the new
    // meta file complete under its temporary name. Scrub only reads: it
    // fails until the next writer in the directory (here a prune that
    // removes nothing) finishes the swap.
    const bool between = now.at(meta) == before_.at(meta) && now.at(image) == after.at(image);
    if (between) {
      EXPECT_EQ(now[image + BACKUP_SPARE_SUFFIX], before_.at(image));
      EXPECT_EQ(now[meta + ".tmp"], after.at(meta));
      interrupted_swap++;
      EXPECT_EQ(scrub_dir(dir_), STATUS_CORRUPT);
      EXPECT_EQ(snapshot(dir_), now) << "scrub changed the store";
      test::RunResult r = test::run_zuv({"prune", "--search-dir", dir_});
      EXPECT_EQ(r.exit_status, 0) << r.err;
    }
    EXPECT_EQ(scrub_dir(dir_), STATUS_OK);
    now = snapshot(dir_);
    for (const auto& [name, bytes] : before_) {
      if (name == meta || name == image) continue;
      EXPECT_EQ(now.count(name) ? now.at(name) : std::vector<uint8_t>{}, bytes) << name;
    }
    for (const auto& [name, bytes] : now)
      if (!before_.count(name)) {
        EXPECT_TRUE(is_temporary_name(name)) << name;
      }
    if (now.at(meta) == before_.at(meta) && now.at(image) == before_.at(image)) {
      old_pair++;
    } else {
      EXPECT_EQ(now.at(meta), after.at(meta));
      EXPECT_EQ(now.at(image), after.at(image));
      if (between) {
        EXPECT_FALSE(now.count(image + BACKUP_SPARE_SUFFIX));
      }
      new_pair++;
    }
    restore_from(dir_, now, before_);
  }
  RecordProperty("kills", killed);
  std::printf("recompress: %d kills while running; %d old, %d new (%d after finishing the swap)\n",
              killed, old_pair, new_pair, interrupted_swap);
  EXPECT_GT(killed, static_cast<int>(kills_ / 4)) << "too few kills met a running program";
}

TEST_F(CrashTest, KilledSyntheticFullLeavesTheChainAndAtMostOneWholeNewFull) {
  const std::vector<std::string> args = {
      "synthetic-full", "--target", dir_ + "/db-inc.inib", "--search-dir", dir_, "--out", dir_,
      "--name",         "collapsed"};
  Clock::duration took;
  const Snapshot after = reference(args, &took);
  std::vector<uint8_t> ref_table, ref_image;
  for (const auto& [name, bytes] : after) {
    if (before_.count(name)) continue;
    if (test::is_meta_name(name))
      ref_table.assign(bytes.begin() + HEADER_SIZE, bytes.end());
    else
      ref_image = bytes;
  }
  ASSERT_FALSE(ref_image.empty());
  std::mt19937_64 rng(seed_);
  SCOPED_TRACE("ZUV_CRASH_SEED=" + std::to_string(seed_));

  int killed = 0, none = 0, whole = 0, image_only = 0;
  for (uint64_t n = 0; n < kills_ && !HasFailure(); n++) {
    SCOPED_TRACE("kill " + std::to_string(n));
    killed += run_and_kill(args, &took, &rng);
    Snapshot now = snapshot(dir_);
    for (const auto& [name, bytes] : before_) {
      EXPECT_EQ(now.count(name) ? now.at(name) : std::vector<uint8_t>{}, bytes) << name;
    }
    std::vector<std::string> metas;
    for (const auto& [name, bytes] : now)
      if (!before_.count(name) && test::is_meta_name(name)) metas.push_back(name);
    ASSERT_LE(metas.size(), 1u);
    for (const auto& [name, bytes] : now) {
      if (before_.count(name)) continue;
      if (test::is_meta_name(name)) {
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + HEADER_SIZE, bytes.end()), ref_table);
      } else if (!metas.empty() && name == test::image_name_of(metas[0])) {
        EXPECT_EQ(bytes, ref_image);
      } else if (name.ends_with(".csfb")) {
        // A kill between the rename of the new image and that of its meta
        // file: the image is complete but no backup names it (the next run
        // takes another name). Nothing in the store refers to it.
        EXPECT_EQ(bytes, ref_image) << name;
        image_only++;
      } else {
        EXPECT_TRUE(is_temporary_name(name)) << name;
      }
    }
    (metas.empty() ? none : whole)++;
    EXPECT_EQ(scrub_dir(dir_), STATUS_OK);
    restore_from(dir_, now, before_);
  }
  std::printf(
      "synthetic-full: %d kills while running; %d without a new FULL, %d with one, "
      "%d with only its image\n",
      killed, none, whole, image_only);
  EXPECT_GT(killed, static_cast<int>(kills_ / 4)) << "too few kills met a running program";
}

// The state a kill between the two renames leaves, made by hand, since a
// loop in memory seldom meets that moment: the readers (scrub,
// synthetic-full) read the pair that verifies and change nothing; the next
// prune, delete or recompress in the directory finishes the swap, or puts
// the old image back when the new meta file does not verify.
TEST_F(CrashTest, AKillBetweenTheRenamesOfRecompressIsReadWholeAndFinishedByTheNextWriter) {
  const std::vector<std::string> args = {
      "recompress", "--meta", dir_ + "/db-full.infb", "--to", "lz4", "--level", "1"};
  Clock::duration took;
  const Snapshot after = reference(args, &took);
  const std::string meta = "db-full.infb", image = "db-full.csfb";
  const std::string spare = image + BACKUP_SPARE_SUFFIX;
  const std::string out = tmp_->path() + "/out";
  auto interrupt = [&](const std::vector<uint8_t>& new_meta) {
    restore(dir_, before_);
    test::write_file(dir_ + "/" + spare, before_.at(image));
    test::write_file(dir_ + "/" + meta + ".tmp", new_meta);
    std::filesystem::remove(dir_ + "/" + image);
    test::write_file(dir_ + "/" + image, after.at(image));
    return snapshot(dir_);
  };
  const std::string warning = "WARN  " + dir_ + "/" + meta +
                              ": interrupted recompress; the next recompress, prune or delete in "
                              "this directory finishes it\n";

  Snapshot half = interrupt(after.at(meta));
  test::RunResult r = test::run_zuv({"scrub", "--backup-dir", dir_});
  EXPECT_EQ(r.exit_status, 1);
  std::string log = test::strip_log_times(r.err);
  EXPECT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_EQ(log.find("bit rot"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR zuv_maintenance scrub failed: corrupt or inconsistent data"),
            std::string::npos)
      << log;
  EXPECT_EQ(snapshot(dir_), half) << "scrub changed the store";

  // synthetic-full copies payloads without decoding them: it takes them from
  // the pair that verifies, and leaves the chain as it is.
  std::filesystem::create_directory(out);
  r = test::run_zuv({"synthetic-full", "--target", dir_ + "/db-inc.inib", "--search-dir", dir_,
                     "--out", out, "--name", "collapsed"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(test::strip_log_times(r.err).find(warning), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(dir_), half);
  EXPECT_EQ(scrub_dir(out), STATUS_OK);

  r = test::run_zuv({"prune", "--search-dir", dir_});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir_ + "/" + meta), after.at(meta));
  EXPECT_EQ(test::read_file(dir_ + "/" + image), after.at(image));
  EXPECT_FALSE(test::file_exists(dir_ + "/" + spare));
  EXPECT_FALSE(test::file_exists(dir_ + "/" + meta + ".tmp"));
  EXPECT_EQ(scrub_dir(dir_), STATUS_OK);

  // A new meta file cut short does not verify: the old image is put back,
  // here by a delete of another backup of the directory.
  std::vector<uint8_t> cut = after.at(meta);
  cut.resize(cut.size() - 1);
  half = interrupt(cut);
  EXPECT_EQ(scrub_dir(dir_), STATUS_CORRUPT);
  EXPECT_EQ(snapshot(dir_), half);
  r = test::run_zuv({"delete", "--meta", dir_ + "/db-inc.inib", "--search-dir", dir_});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir_ + "/" + meta), before_.at(meta));
  EXPECT_EQ(test::read_file(dir_ + "/" + image), before_.at(image));
  EXPECT_FALSE(test::file_exists(dir_ + "/db-inc.inib"));
  EXPECT_EQ(scrub_dir(dir_), STATUS_OK);

  interrupt(after.at(meta));
  r = test::run_zuv(args);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir_ + "/" + meta), after.at(meta));
  EXPECT_EQ(test::read_file(dir_ + "/" + image), after.at(image));
  EXPECT_FALSE(test::file_exists(dir_ + "/" + spare));

  // A spare left by a run that did finish both renames is only a name: it
  // does not fit the meta file's image, so it is not put back.
  test::write_file(dir_ + "/" + spare, before_.at(image));
  test::write_file(dir_ + "/" + meta + ".tmp", before_.at(meta));
  EXPECT_EQ(scrub_dir(dir_), STATUS_OK);
  EXPECT_TRUE(test::file_exists(dir_ + "/" + spare));
  r = test::run_zuv({"recompress", "--meta", dir_ + "/" + meta, "--to", "lz4", "--level", "1"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir_ + "/" + meta), after.at(meta));
  EXPECT_EQ(test::read_file(dir_ + "/" + image), after.at(image));
  EXPECT_FALSE(test::file_exists(dir_ + "/" + spare));
  EXPECT_EQ(scrub_dir(dir_), STATUS_OK);
}

}  // namespace
