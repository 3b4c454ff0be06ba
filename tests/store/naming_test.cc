#include "store/naming.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/test_util.h"

namespace {

constexpr int64_t kStamp = 1700000000;  // 2023-11-14 22:13:20 UTC

struct NewPaths {
  status_t status;
  std::string meta;
  std::string image;
};

NewPaths new_paths(const std::string& dir, const char* name, uint8_t kind = 0,
                   int64_t created = kStamp, size_t meta_cap = PATH_CAP,
                   size_t image_cap = PATH_CAP) {
  char meta[PATH_CAP] = "untouched";
  char image[PATH_CAP] = "untouched";
  status_t s = new_backup_paths(dir.c_str(), name, kind, created, meta, meta_cap, image, image_cap);
  return {s, meta, image};
}

std::string image_for(const char* meta, size_t cap = PATH_CAP) {
  char out[PATH_CAP] = "untouched";
  status_t s = image_path_for_meta(meta, out, cap);
  return s == STATUS_OK ? std::string(out) : "status " + std::to_string(s) + " " + out;
}

}  // namespace

TEST(NamingTest, ExtensionsFollowTheKindAndUnknownKindsTakeFull) {
  EXPECT_STREQ(meta_ext_for_kind(0), ".infb");
  EXPECT_STREQ(meta_ext_for_kind(1), ".indb");
  EXPECT_STREQ(meta_ext_for_kind(2), ".inib");
  EXPECT_STREQ(meta_ext_for_kind(7), ".infb");
  EXPECT_STREQ(image_ext_for_kind(0), ".csfb");
  EXPECT_STREQ(image_ext_for_kind(1), ".csdb");
  EXPECT_STREQ(image_ext_for_kind(2), ".csib");
  EXPECT_STREQ(image_ext_for_kind(7), ".csfb");
}

TEST(NamingTest, MetaFileNamesAreRecognisedByTheirLastFiveBytes) {
  for (const char* yes : {"y.infb", "y.indb", "y.inib", ".infb", "/a/b/c-1.indb"})
    EXPECT_TRUE(is_meta_file_name(yes)) << yes;
  for (const char* no : {"y.infb.tmp", "y.csfb", "y.INFB", "infb", "", "y.infb.part", "y.inf"})
    EXPECT_FALSE(is_meta_file_name(no)) << no;
  EXPECT_FALSE(is_meta_file_name(nullptr));
}

TEST(NamingTest, ImagePathReplacesOnlyAKnownMetaExtension) {
  EXPECT_EQ(image_for("/x/y.indb"), "/x/y.csdb");
  EXPECT_EQ(image_for("/x/y.infb"), "/x/y.csfb");
  EXPECT_EQ(image_for("/x/y.inib"), "/x/y.csib");
  EXPECT_EQ(image_for(".infb"), ".csfb");
  EXPECT_EQ(image_for("/x/y.INFB"), "status -3 untouched");
  EXPECT_EQ(image_for("/x/y.tmp"), "status -3 untouched");
  EXPECT_EQ(image_for("abcd"), "status -3 untouched");
  EXPECT_EQ(image_for("/x/y.infb.tmp"), "status -3 untouched");
}

TEST(NamingTest, ImagePathMustFitWithItsTerminator) {
  EXPECT_EQ(image_for("/x/y.indb", 10), "/x/y.csdb");
  EXPECT_EQ(image_for("/x/y.indb", 9), "status -3 untouched");
}

TEST(NewBackupPathsTest, FirstCandidateIsNameAndMinuteStamp) {
  test::TempDir dir;
  auto p = new_paths(dir.path(), "db1");
  ASSERT_EQ(p.status, STATUS_OK);
  EXPECT_EQ(p.meta, dir.path() + "/db1-202311142213.infb");
  EXPECT_EQ(p.image, dir.path() + "/db1-202311142213.csfb");

  auto q = new_paths("/b", "db1", 2);
  ASSERT_EQ(q.status, STATUS_OK);
  EXPECT_EQ(q.meta, "/b/db1-202311142213.inib");
  EXPECT_EQ(q.image, "/b/db1-202311142213.csib");
  EXPECT_FALSE(test::file_exists(q.meta)) << "nothing is created";
}

TEST(NewBackupPathsTest, EitherFileTakenMovesToTheFirstFreeSuffix) {
  test::TempDir dir;
  const std::string base = dir.path() + "/db1-202311142213";
  test::write_text(base + ".csfb", "");  // only the image of the first candidate
  test::write_text(base + "-3.infb", "");
  auto p = new_paths(dir.path(), "db1");
  ASSERT_EQ(p.status, STATUS_OK);
  EXPECT_EQ(p.meta, base + "-2.infb");
  EXPECT_EQ(p.image, base + "-2.csfb");

  test::write_text(base + "-2.infb", "");
  p = new_paths(dir.path(), "db1");
  ASSERT_EQ(p.status, STATUS_OK);
  EXPECT_EQ(p.meta, base + "-4.infb") << "-3 is taken too";
}

// An upload writes its image as "<image>.tmp" until it is complete: that
// name is in use even while neither file of the backup exists yet.
TEST(NewBackupPathsTest, AnUploadsPartialImageTakesItsName) {
  test::TempDir dir;
  const std::string base = dir.path() + "/db1-202311142213";
  test::write_text(base + ".csfb.tmp", "");
  auto p = new_paths(dir.path(), "db1");
  ASSERT_EQ(p.status, STATUS_OK);
  EXPECT_EQ(p.meta, base + "-2.infb");
}

TEST(NewBackupPathsTest, AllThousandCandidatesTakenIsExists) {
  test::TempDir dir;
  const std::string base = dir.path() + "/db1-202311142213";
  test::write_text(base + ".infb", "");
  for (int n = 2; n <= 999; n++) test::write_text(base + "-" + std::to_string(n) + ".infb", "");
  auto p = new_paths(dir.path(), "db1");
  ASSERT_EQ(p.status, STATUS_OK);
  EXPECT_EQ(p.meta, base + "-1000.infb");

  test::write_text(base + "-1000.csfb", "");
  p = new_paths(dir.path(), "db1");
  EXPECT_EQ(p.status, STATUS_EXISTS);
  EXPECT_EQ(p.meta, "untouched");
}

TEST(NewBackupPathsTest, NamesThatCouldLeaveTheDirectoryAreRefused) {
  test::TempDir dir;
  for (const char* bad : {"a/b", "", "a\\b", "/"})
    EXPECT_EQ(new_paths(dir.path(), bad).status, STATUS_INVALID) << bad;
  EXPECT_EQ(new_paths(dir.path(), nullptr).status, STATUS_INVALID);
}

TEST(NewBackupPathsTest, BasePathLimitIsEightHundredNinetyNineBytes) {
  // base = dir + "/" + name + "-" + 12 digits; the directory need not exist.
  const std::string name = "n";
  const size_t fixed = 1 + name.size() + 1 + 12;
  std::string dir = "/nonexistent-" + std::string(899 - fixed - 13, 'd');
  auto p = new_paths(dir, name.c_str());
  ASSERT_EQ(p.status, STATUS_OK);
  EXPECT_EQ(p.meta.size(), 899u + 5);

  dir += "d";
  EXPECT_EQ(new_paths(dir, name.c_str()).status, STATUS_INVALID);
}

TEST(NewBackupPathsTest, OutputBuffersMustHoldThePaths) {
  auto p = new_paths("/b", "db1", 0, kStamp, 24, PATH_CAP);  // needs 24 + 1
  EXPECT_EQ(p.status, STATUS_INVALID);
  EXPECT_EQ(p.meta, "untouched");
  p = new_paths("/b", "db1", 0, kStamp, 25, 24);
  EXPECT_EQ(p.status, STATUS_INVALID);
  EXPECT_EQ(new_paths("/b", "db1", 0, kStamp, 25, 25).status, STATUS_OK);
}

// A stamp of an eight-digit year does not fit its 16-byte buffer; past the
// range of the calendar's year there is no date at all. Neither names a file.
TEST(NewBackupPathsTest, TimeWithoutAStampIsRefusedAndWritesNothing) {
  test::TempDir dir;
  for (int64_t created : {int64_t{400000000000000}, INT64_MAX}) {
    NewPaths p = new_paths(dir.path(), "db", 0, created);
    EXPECT_EQ(p.status, STATUS_INVALID) << created;
    EXPECT_EQ(p.meta, "untouched");
    EXPECT_EQ(p.image, "untouched");
  }
}
