#include "ops/partials.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>

#include "support/journal_fixture.h"
#include "support/limited_run.h"
#include "support/test_util.h"

using journal_fixture::Journal;
using journal_fixture::open_dir;

namespace {

struct Listing {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs list_partials with standard output and error captured in files.
Listing list(const std::string& dir, int del, int64_t older_than) {
  test::TempDir cap;
  fflush(stdout);
  fflush(stderr);
  int saved_out = dup(1), saved_err = dup(2);
  int out = open(cap.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(cap.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, 1);
  dup2(err, 2);
  Listing r;
  r.status = list_partials(dir.c_str(), del, older_than);
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  close(out);
  close(err);
  r.out = test::read_text(cap.file("out"));
  r.err = test::read_text(cap.file("err"));
  return r;
}

void set_age_hours(const std::string& path, int64_t hours) {
  struct utimbuf t;
  t.actime = t.modtime = time(nullptr) - hours * 3600;
  ASSERT_EQ(utime(path.c_str(), &t), 0);
}

// The journal "<stem>.part" for image "<stem>.csfb" and its partial image.
void make_upload(const test::TempDir& dir, const std::string& stem, uint8_t kind,
                 const std::string& name, int64_t image_bytes) {
  Journal j(kind, name, stem + ".csfb");
  j.write(dir.file(stem + ".part"));
  if (image_bytes >= 0)
    test::write_file(dir.file(stem + ".csfb.tmp"),
                     std::vector<uint8_t>(static_cast<size_t>(image_bytes), 0));
}

const char* UUID_TEXT = "00112233-4455-6677-8899-aabbccddeeff";

}  // namespace

TEST(PartialsTest, ListsEachUploadWithUuidKindNameImageSizeAndAge) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 1572864);
  set_age_hours(dir.file("a.part"), 47);
  Listing r = list(dir.path(), 0, -1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(UUID_TEXT) +
                       "  FULL db                   image 1.5 MiB, last written 1 day(s) ago\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(test::file_exists(dir.file("a.part")));
}

TEST(PartialsTest, MissingImageIsListedAsZeroAndHighKindsAsInc) {
  test::TempDir dir;
  make_upload(dir, "a", 2, "x", -1);
  Listing r = list(dir.path(), 0, -1);
  EXPECT_EQ(r.out, std::string(UUID_TEXT) +
                       "  INC  x                    image 0.0 MiB, last written 0 day(s) ago\n");
  test::TempDir dir2;
  make_upload(dir2, "b", 7, "y", 0);
  EXPECT_NE(list(dir2.path(), 0, -1).out.find("  INC  y "), std::string::npos);
  test::TempDir dir3;
  make_upload(dir3, "c", 1, "z", 0);
  EXPECT_NE(list(dir3.path(), 0, -1).out.find("  DIFF z "), std::string::npos);
}

TEST(PartialsTest, OnlyNamesWithSomethingBeforeDotPartAreJournals) {
  test::TempDir dir;
  Journal j;
  j.write(dir.file(".part"));
  j.write(dir.file("x.partial"));
  Listing r = list(dir.path(), 1, -1);
  EXPECT_EQ(r.out, "no partial backups in " + dir.path() + "\n");
  EXPECT_TRUE(test::file_exists(dir.file(".part")));
}

TEST(PartialsTest, UnreadableJournalsAreNamedButNeitherCountedNorRemoved) {
  test::TempDir dir;
  Journal j;
  auto bytes = j.bytes();
  bytes[20] ^= 1;
  test::write_file(dir.file("bad.part"), bytes);
  test::write_file(dir.file("bad.csfb.tmp"), std::vector<uint8_t>(10, 0));
  Listing r = list(dir.path(), 1, -1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "bad.part                                 unreadable journal\n"
            "no partial backups in " +
                dir.path() + "\n");
  EXPECT_TRUE(test::file_exists(dir.file("bad.part")));
  EXPECT_TRUE(test::file_exists(dir.file("up.csfb.tmp")) ||
              test::file_exists(dir.file("bad.csfb.tmp")));
}

TEST(PartialsTest, DeleteWithoutAgeLimitRemovesEveryListedUpload) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  make_upload(dir, "b", 1, "db", -1);
  Listing r = list(dir.path(), 1, -1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // Two listing lines, each followed by its removal line.
  size_t first = r.out.find("\n   removed\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(r.out.find("\n   removed\n", first + 1), std::string::npos);
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{});
}

TEST(PartialsTest, OlderThanWithoutDeleteOnlyLists) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  set_age_hours(dir.file("a.part"), 24 * 30);
  Listing r = list(dir.path(), 0, 1);
  EXPECT_EQ(r.out.find("removed"), std::string::npos);
  EXPECT_TRUE(test::file_exists(dir.file("a.part")));
}

TEST(PartialsTest, AgeInWholeDaysDecidesRemoval) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  set_age_hours(dir.file("a.part"), 47);
  list(dir.path(), 1, 2);
  EXPECT_TRUE(test::file_exists(dir.file("a.part"))) << "47 hours is 1 day: kept at 2";
  list(dir.path(), 1, 1);
  EXPECT_FALSE(test::file_exists(dir.file("a.part"))) << "removed at 1";
  EXPECT_FALSE(test::file_exists(dir.file("a.csfb.tmp")));
}

TEST(PartialsTest, JournalDatedInTheFutureIsKeptAtOlderThanZero) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  set_age_hours(dir.file("a.part"), -49);
  Listing r = list(dir.path(), 1, 0);
  EXPECT_NE(r.out.find("last written -2 day(s) ago"), std::string::npos) << r.out;
  EXPECT_TRUE(test::file_exists(dir.file("a.part")));
  list(dir.path(), 1, -5);  // a negative value is no age limit
  EXPECT_FALSE(test::file_exists(dir.file("a.part")));
}

TEST(PartialsTest, DirectoryThatCannotBeOpenedIsExitStatusOne) {
  test::TempDir dir;
  Listing r = list(dir.file("missing"), 0, -1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: cannot open " + dir.file("missing") + "\n");
}

TEST(PartialsTest, ImageNameCannotSteerRemovalOutsideTheDirectory) {
  test::TempDir outer;
  ASSERT_EQ(mkdir(outer.file("store").c_str(), 0755), 0);
  test::write_file(outer.file("victim.tmp"), std::vector<uint8_t>(5, 1));
  Journal j(0, "db", "../victim");
  j.write(outer.file("store/evil.part"));
  Listing r = list(outer.file("store"), 1, -1);
  EXPECT_EQ(r.out.substr(0, 9), "evil.part");
  EXPECT_NE(r.out.find("unreadable journal"), std::string::npos);
  EXPECT_TRUE(test::file_exists(outer.file("victim.tmp")));
  EXPECT_TRUE(test::file_exists(outer.file("store/evil.part")));
}

TEST(PartialsTest, FailedRemovalIsReportedKeepsTheJournalAndFailsTheRun) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  make_upload(dir, "b", 0, "db", 100);
  Listing r;
  {
    test::FaultInjector faults;
    // Removals are made inside the directory's descriptor: the hook sees the
    // entry's name.
    faults.fail_when(
        [](fs_op op, const char* path) {
          return op == FS_OP_REMOVE && path && strcmp(path, "a.csfb.tmp") == 0;
        },
        EACCES);
    r = list(dir.path(), 1, -1);
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\n   not removed: Permission denied\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n   removed\n"), std::string::npos) << "the other upload still goes";
  EXPECT_TRUE(test::file_exists(dir.file("a.part")));
  EXPECT_TRUE(test::file_exists(dir.file("a.csfb.tmp")));
  EXPECT_FALSE(test::file_exists(dir.file("b.part")));
}

TEST(PartialsTest, ListingThatBreaksOffIsAnErrorAndRemovesNothing) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  make_upload(dir, "b", 0, "db", 100);
  Listing r;
  {
    test::FaultInjector faults;
    faults.only({FS_OP_READDIR});
    faults.fail_at(2, EIO);
    r = list(dir.path(), 1, -1);
    EXPECT_TRUE(faults.fired());
  }
  // A partial listing would report "no partial backups" or a short list as
  // if it were the whole directory.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: cannot read " + dir.path() + ": " + strerror(EIO) + "\n");
  EXPECT_EQ(r.out.find("no partial backups"), std::string::npos) << r.out;
  int journals = test::file_exists(dir.file("a.part")) + test::file_exists(dir.file("b.part"));
  EXPECT_GE(journals, 1);
}

// ---- what a run may remove, and what it shows ----

// A negative --older-than would let --delete take uploads being written
// right now, and a value past the range would be clamped without a word:
// both are usage errors, with nothing listed or removed.
TEST(PartialsRunTest, OlderThanOutsideZeroTo36500DaysIsAUsageError) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  for (const char* days : {"-1", "-36500", "36501", "9223372036854775807", "99999999999999999999",
                           "-99999999999999999999"}) {
    auto r =
        test::run_zuv_limited({"partials", "--dir", dir.path(), "--delete", "--older-than", days});
    EXPECT_EQ(r.exit_status, 2) << days;
    EXPECT_EQ(r.out, "") << days;
    EXPECT_EQ(r.err, "error: --older-than must be a whole number of days\n") << days;
  }
  EXPECT_TRUE(test::file_exists(dir.file("a.part")));
  auto kept =
      test::run_zuv_limited({"partials", "--dir", dir.path(), "--delete", "--older-than", "36500"});
  EXPECT_EQ(kept.exit_status, 0) << kept.err;
  EXPECT_EQ(kept.out.find("removed"), std::string::npos);
  auto gone =
      test::run_zuv_limited({"partials", "--dir", dir.path(), "--delete", "--older-than", "0"});
  EXPECT_EQ(gone.exit_status, 0) << gone.err;
  EXPECT_NE(gone.out.find("\n   removed\n"), std::string::npos) << gone.out;
  EXPECT_TRUE(test::list_dir(dir.path()).empty());
}

namespace {

// Runs action once, at the check partials makes just before it removes the
// upload of journal_name (its look at that name in the directory), as if
// another process acted in between the listing and the removal.
Listing list_with_action_before_removal(const std::string& dir, const std::string& journal_name,
                                        std::function<void()> action) {
  test::FaultInjector faults;
  bool done = false;
  faults.fail_when(
      [&](fs_op op, const char* path) {
        if (!done && op == FS_OP_STAT && path && journal_name == path) {
          done = true;
          action();
        }
        return false;
      },
      EIO);
  Listing r = list(dir, 1, 1);
  EXPECT_TRUE(done) << "the removal made no check of its journal";
  return r;
}

}  // namespace

// Between the listing and the removal, someone who can write the directory
// (or its parent) swaps the journal for one naming another image, or the
// directory itself for a link: the removal still acts only on what was
// listed, in the directory that was listed.
TEST(PartialsRunTest, RemovalActsOnlyOnTheListedJournalInTheListedDirectory) {
  test::TempDir outer;
  const std::string store = outer.file("store");
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  test::TempDir scratch;
  make_upload(scratch, "a", 0, "db", 100);
  test::write_file(store + "/a.part", test::read_file(scratch.file("a.part")));
  test::write_file(store + "/a.csfb.tmp", std::vector<uint8_t>(100, 0));
  test::write_file(store + "/victim.csfb.tmp", std::vector<uint8_t>(7, 1));
  set_age_hours(store + "/a.part", 72);

  Listing r = list_with_action_before_removal(store, "a.part", [&] {
    Journal(0, "db", "victim.csfb").write(store + "/new.part");
    ASSERT_EQ(rename((store + "/new.part").c_str(), (store + "/a.part").c_str()), 0);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\n   not removed: the journal changed since it was listed\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(test::list_dir(store),
            (std::vector<std::string>{"a.csfb.tmp", "a.part", "victim.csfb.tmp"}));

  // Written again (a resumed upload) since the listing: not the same either.
  set_age_hours(store + "/a.part", 72);
  r = list_with_action_before_removal(store, "a.part",
                                      [&] { set_age_hours(store + "/a.part", 0); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(test::file_exists(store + "/a.part"));

  // The directory swapped for a link to another one holding the same names.
  const std::string other = outer.file("other"), moved = outer.file("moved");
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  test::write_file(store + "/a.part", test::read_file(scratch.file("a.part")));
  set_age_hours(store + "/a.part", 72);
  test::write_file(other + "/a.part", test::read_file(store + "/a.part"));
  test::write_file(other + "/a.csfb.tmp", std::vector<uint8_t>(3, 2));
  r = list_with_action_before_removal(store, "a.part", [&] {
    ASSERT_EQ(rename(store.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(other.c_str(), store.c_str()), 0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\n   removed\n"), std::string::npos) << r.out;
  EXPECT_EQ(test::list_dir(moved), std::vector<std::string>{"victim.csfb.tmp"});
  EXPECT_EQ(test::list_dir(other), (std::vector<std::string>{"a.csfb.tmp", "a.part"}));
}

// A backup name in a journal is written by whoever uploads: escape sequences
// in it must not move the cursor or print a fake "removed" line.
TEST(PartialsRunTest, ControlCharactersFromAJournalAreShownEscaped) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db\x1b[1A\x1b[2K\r   removed\n", 100);
  test::write_text(dir.file("evil\x1b]0;x\x07.part"), "not a journal");
  auto r = test::run_zuv_limited({"partials", "--dir", dir.path()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  for (char c : r.out) {
    unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(c == '\n' || (u >= 0x20 && u != 0x7f)) << "raw control byte " << int(u);
  }
  EXPECT_NE(r.out.find("  FULL db\\x1b[1A\\x1b[2K\\x0d   removed\\x0a image 0.0 MiB"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("evil\\x1b]0;x\\x07.part"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
  EXPECT_EQ(r.out.find("\n   removed"), std::string::npos);

  // Ordinary names print byte for byte.
  test::TempDir plain;
  make_upload(plain, "a", 1, "web-01.example_db", 0);
  auto p = test::run_zuv_limited({"partials", "--dir", plain.path()});
  EXPECT_NE(p.out.find("  DIFF web-01.example_db    image"), std::string::npos) << p.out;
}

// partials takes the directory's lock before it reads anything: exclusive
// to remove, shared to list. Another run holding it keeps --delete off.
TEST(PartialsRunTest, AnotherRunsLockKeepsTheDirectoryUntouched) {
  test::TempDir dir;
  make_upload(dir, "a", 0, "db", 100);
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);
  auto r = test::run_zuv_limited({"partials", "--dir", dir.path(), "--delete"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test::strip_log_times(r.err),
            "ERROR another zuv_maintenance run is working on " + dir.path() + "\n");
  EXPECT_TRUE(test::file_exists(dir.file("a.part")));
  auto listing = test::run_zuv_limited({"partials", "--dir", dir.path()});
  EXPECT_EQ(listing.exit_status, 0) << "two listings share the lock";
  EXPECT_NE(listing.out.find("  FULL db "), std::string::npos);
  close(fd);
}

// ---- remove_partial on its own ----

TEST(RemovePartialTest, RemovesTheImageThenTheJournalAndAcceptsAnImageAlreadyGone) {
  test::TempDir dir;
  Journal j(0, "db", "up.csfb");
  j.write(dir.file("up.part"));
  test::write_file(dir.file("up.csfb.tmp"), std::vector<uint8_t>(10, 0));
  unique_fd d = open_dir(dir.path());
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  journal_listing listed;
  partial_removal done = PARTIAL_CHANGED;
  ASSERT_EQ(journal_read_at(d.get(), "up.part", body.data(), &listed), STATUS_OK);
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, -1, &done), STATUS_OK);
  EXPECT_EQ(done, PARTIAL_REMOVED);
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{});

  j.write(dir.file("up.part"));
  ASSERT_EQ(journal_read_at(d.get(), "up.part", body.data(), &listed), STATUS_OK);
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, -1, &done), STATUS_OK);
  EXPECT_EQ(done, PARTIAL_REMOVED);
  EXPECT_FALSE(test::file_exists(dir.file("up.part")));
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, -1, &done), STATUS_NOT_FOUND);
  EXPECT_EQ(errno, ENOENT);
}

TEST(RemovePartialTest, JournalMustStillBeOldEnough) {
  test::TempDir dir;
  Journal(0, "db", "up.csfb").write(dir.file("up.part"));
  set_age_hours(dir.file("up.part"), 47);
  unique_fd d = open_dir(dir.path());
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  journal_listing listed;
  partial_removal done = PARTIAL_CHANGED;
  ASSERT_EQ(journal_read_at(d.get(), "up.part", body.data(), &listed), STATUS_OK);
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, 2, &done), STATUS_OK);
  EXPECT_EQ(done, PARTIAL_TOO_RECENT);
  EXPECT_TRUE(test::file_exists(dir.file("up.part")));
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, 1, &done), STATUS_OK);
  EXPECT_EQ(done, PARTIAL_REMOVED);
  EXPECT_FALSE(test::file_exists(dir.file("up.part")));
}
