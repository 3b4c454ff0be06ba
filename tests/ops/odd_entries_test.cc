// What a real backup directory may hold besides whole backups: a FIFO, a
// directory or a dangling link named like a meta file or an image, and meta
// files the program cannot read (cut short, damaged, from a newer agent, a
// read error). Every command runs under a time limit, since a FIFO used to
// block its open forever; the removals remove nothing while any meta file of
// the directory cannot be read, since the backup it holds may depend on the
// one they would remove.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/log.h"
#include "ops/delete.h"
#include "ops/prune.h"
#include "ops/sweep_support.h"
#include "store/format.h"
#include "support/test_util.h"

namespace {

constexpr const char* NOW = "1750000000";
constexpr int64_t EXPIRED = 1700000500;

// The regular files of a directory with their bytes (a FIFO is never read:
// that would block the test as it once blocked the program).
test::Snapshot regular_files(const std::string& dir) {
  test::Snapshot s;
  for (const std::string& name : test::list_dir(dir)) {
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      s[name] = test::read_file(dir + "/" + name);
  }
  return s;
}

enum class odd_kind { fifo, directory, dangling_link };

std::string kind_name(odd_kind k) {
  switch (k) {
    case odd_kind::fifo:
      return "a FIFO";
    case odd_kind::directory:
      return "a directory";
    case odd_kind::dangling_link:
      return "a dangling link";
  }
  return "";
}

void make_odd(const std::string& path, odd_kind k) {
  std::filesystem::remove(path);
  switch (k) {
    case odd_kind::fifo:
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
      break;
    case odd_kind::directory:
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
      break;
    case odd_kind::dangling_link:
      ASSERT_EQ(symlink((path + ".gone").c_str(), path.c_str()), 0);
      break;
  }
}

std::string reason_of(odd_kind k) {
  return k == odd_kind::dangling_link ? "dangling symbolic link" : "not a regular file";
}

class OddEntriesTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path() + "/store";
    out_ = tmp_.path() + "/out";
    std::filesystem::create_directory(out_);
    make_store();
  }

  // An expired chain beside a newer FULL of the same name: prune would
  // remove the chain, delete of the old FULL would take the DIFF with it.
  void make_store() {
    test::fresh_dir(dir_);
    full_ =
        test::write_small_backup(dir_, "db-old-full", KIND_FULL, "", 1, {}, 1700000000, EXPIRED);
    diff_ = test::write_small_backup(dir_, "db-old-diff", KIND_DIFF, full_.meta_path, 2, {1, 4},
                                     1700000100, EXPIRED);
    newer_ = test::write_small_backup(dir_, "db-new", KIND_FULL, "", 3, {}, 1800000000);
  }

  // The real program, stopped after 20 seconds (exit status 124) if it hangs.
  test::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), {"20", test::program_path()});
    args.insert(args.end(), {"--no-syslog", "--no-log"});
    test::RunResult r = test::run("/usr/bin/timeout", args);
    EXPECT_NE(r.exit_status, 124) << "the run hung:\n" << r.err;
    return r;
  }

  // A removal that met an unreadable meta file: the scan's line for it, the
  // refusal, the failure line; no plan, and nothing changed.
  void expect_refused(const std::vector<std::string>& args, const std::string& skip_line) {
    SCOPED_TRACE(args[0] + (args.back() == "--dry-run" ? " --dry-run" : ""));
    const test::Snapshot before = regular_files(dir_);
    test::RunResult r = run(args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(test::strip_log_times(r.err),
              skip_line + "\nERROR nothing removed: 1 meta file(s) in " + dir_ +
                  " could not be read\nERROR zuv_maintenance " + args[0] +
                  " failed: corrupt or inconsistent data (status=-7)\n");
    EXPECT_EQ(regular_files(dir_), before);
  }

  void expect_removals_refused(const std::string& odd_meta, const std::string& skip_line) {
    for (bool dry_run : {false, true}) {
      std::vector<std::string> prune = {"prune", "--search-dir", dir_, "--now", NOW};
      std::vector<std::string> del = {"delete", "--meta", full_.meta_path, "--search-dir", dir_};
      if (dry_run) {
        prune.push_back("--dry-run");
        del.push_back("--dry-run");
      }
      expect_refused(prune, skip_line);
      expect_refused(del, skip_line);
    }
    EXPECT_TRUE(test::file_exists(full_.meta_path) && test::file_exists(full_.image_path));
    EXPECT_TRUE(test::file_exists(diff_.meta_path) && test::file_exists(diff_.image_path));
    (void)odd_meta;
  }

  test::TempDir tmp_;
  std::string dir_, out_;
  writer_result full_, diff_, newer_;
};

TEST_F(OddEntriesTest, SomethingNamedLikeAMetaFileHangsNothingAndStopsTheRemovals) {
  for (odd_kind k : {odd_kind::fifo, odd_kind::directory, odd_kind::dangling_link}) {
    SCOPED_TRACE(kind_name(k));
    const std::string odd = dir_ + "/odd.indb";
    make_odd(odd, k);

    expect_removals_refused(odd, "WARN  skipping " + odd + ": " + reason_of(k));

    test::RunResult r = run({"scrub", "--backup-dir", dir_});
    EXPECT_EQ(r.exit_status, 1) << "a meta file that could not be checked fails the scrub";
    EXPECT_NE(r.err.find("scrub: skipping unreadable/corrupt meta file " + odd), std::string::npos)
        << r.err;
    r = run({"recompress", "--meta", odd});
    EXPECT_EQ(r.exit_status, 1);
    r = run({"delete", "--meta", odd, "--search-dir", dir_});
    EXPECT_EQ(r.exit_status, 1);
    r = run({"synthetic-full", "--target", diff_.meta_path, "--search-dir", dir_, "--out", out_,
             "--name", "collapsed"});
    EXPECT_TRUE(r.exit_status == 0 || r.exit_status == 1) << r.exit_status;
    test::fresh_dir(out_);
    std::filesystem::remove(odd);
  }
}

TEST_F(OddEntriesTest, SomethingNamedLikeAnImageHangsNothing) {
  for (odd_kind k : {odd_kind::fifo, odd_kind::directory, odd_kind::dangling_link}) {
    SCOPED_TRACE(kind_name(k));
    make_store();
    make_odd(newer_.image_path, k);
    test::RunResult r = run({"scrub", "--backup-dir", dir_});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("WARN  scrub: cannot open image " + newer_.image_path), std::string::npos)
        << r.err;
    r = run({"recompress", "--meta", newer_.meta_path});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(k == odd_kind::dangling_link ? "failed: not found (status=-4)"
                                                      : "failed: I/O error (status=-1)"),
              std::string::npos)
        << r.err;

    // A chain member's image: nothing is copied from it.
    make_odd(full_.image_path, k);
    r = run({"synthetic-full", "--target", diff_.meta_path, "--search-dir", dir_, "--out", out_,
             "--name", "collapsed"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(regular_files(out_).empty());
    // Removing such a backup only unlinks the name.
    r = run({"delete", "--meta", full_.meta_path, "--search-dir", dir_});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_FALSE(test::file_exists(full_.meta_path) || test::file_exists(diff_.meta_path));
    struct stat st;
    EXPECT_NE(lstat(full_.image_path.c_str(), &st), 0) << "the odd image is left";
  }
}

TEST_F(OddEntriesTest, AKeyFileThatIsAFifoHangsNothing) {
  const std::string key = tmp_.path() + "/block.key";
  make_odd(key, odd_kind::fifo);
  test::RunResult r = run({"scrub", "--backup-dir", dir_, "--decrypt-key-file", key});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("cannot load --decrypt-key-file " + key), std::string::npos) << r.err;
}

// Each kind of header the scan cannot use, beside the expired FULL it may
// rest on: the removals refuse, with or without --dry-run.
TEST_F(OddEntriesTest, EveryUnreadableHeaderKindStopsTheRemovals) {
  const std::string odd = dir_ + "/odd.indb";
  struct damage {
    const char* what;
    std::function<void(std::vector<uint8_t>*)> apply;
    const char* reason;
  };
  const std::vector<damage> kinds = {
      {"cut short", [](std::vector<uint8_t>* b) { b->resize(2048); },
       "corrupt or incomplete header"},
      {"damaged magic", [](std::vector<uint8_t>* b) { (*b)[0] ^= 0xFF; },
       "corrupt or incomplete header"},
      {"header_size out of range", [](std::vector<uint8_t>* b) { (*b)[0x0A] = 0x7F; },
       "corrupt or incomplete header"},
      {"newer format version", [](std::vector<uint8_t>* b) { (*b)[4] = 2; },
       "newer format version"},
  };
  const std::vector<uint8_t> good = test::read_file(diff_.meta_path);
  for (const damage& d : kinds) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> bytes = good;
    d.apply(&bytes);
    test::write_file(odd, bytes);
    expect_removals_refused(odd, "WARN  skipping " + odd + ": " + d.reason);
  }
}

// A read error is caught in the program itself, through the file seam.
TEST_F(OddEntriesTest, AMetaFileThatCannotBeReadStopsTheRemovals) {
  log_init("zuv_maintenance", LOG_INFO_LEVEL);
  const std::string odd = dir_ + "/odd.indb";
  test::write_file(odd, test::read_file(diff_.meta_path));
  const test::Snapshot before = regular_files(dir_);
  const std::string lines = "ERROR cannot read backup header " + odd +
                            " (I/O error, status=-1)\nERROR nothing removed: 1 meta file(s) in " +
                            dir_ + " could not be read\n";
  for (int32_t dry_run : {0, 1}) {
    prune_request prune;
    prune.search_dir = dir_.c_str();
    prune.now = 1750000000;
    prune.dry_run = dry_run;
    delete_request del;
    del.meta_path = full_.meta_path.c_str();
    del.search_dir = dir_.c_str();
    del.dry_run = dry_run;
    for (bool is_prune : {true, false}) {
      test::FaultInjector faults;
      faults.fail_when([&](fs_op op, const char* path) { return op == FS_OP_OPEN && path == odd; },
                       EIO);
      testing::internal::CaptureStderr();
      status_t s = is_prune ? prune_backups(prune) : delete_backup(del);
      std::string log = test::strip_log_times(testing::internal::GetCapturedStderr());
      EXPECT_EQ(s, STATUS_CORRUPT);
      EXPECT_EQ(log, lines);
      EXPECT_EQ(regular_files(dir_), before);
    }
  }
}

}  // namespace
