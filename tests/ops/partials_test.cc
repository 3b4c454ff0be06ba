#include "ops/partials.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>

#include "ops/journal_fixture.h"
#include "support/test_util.h"

using journal_fixture::Journal;

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
  EXPECT_EQ(r.out, "bad.part                                 unreadable journal\n"
                   "no partial backups in " + dir.path() + "\n");
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
    std::string victim = dir.file("a.csfb.tmp");
    faults.fail_when(
        [victim](fs_op op, const char* path) {
          return op == FS_OP_REMOVE && path && victim == path;
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
