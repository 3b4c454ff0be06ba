#include "store/backup_removal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/fs.h"
#include "base/log.h"
#include "support/header_only_backup.h"
#include "support/test_util.h"

namespace {

using test::backup_desc;
using test::disk_backup;
using test::gone;
using test::intact;

class BackupRemovalTest : public testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }
  disk_backup add(const backup_desc& s) { return test::write_backup(dir.path(), s); }
  test::TempDir dir;
};

TEST_F(BackupRemovalTest, RemovalReadsTheHeaderFirstAndCopesWithDamage) {
  auto b = add({.stem = "b", .id = 1, .image_bytes = 4242});
  uint64_t bytes = 1;
  EXPECT_EQ(remove_backup_files(b.meta.c_str(), 1, &bytes), STATUS_OK);
  EXPECT_EQ(bytes, 4242u);
  EXPECT_TRUE(intact(b));
  EXPECT_EQ(remove_backup_files(b.meta.c_str(), 0, &bytes), STATUS_OK);
  EXPECT_EQ(bytes, 4242u);
  EXPECT_TRUE(gone(b));

  // An unreadable header adds nothing and does not stop the removal.
  std::string junk_meta = dir.file("junk.inib");
  std::string junk_image = dir.file("junk.csib");
  test::write_text(junk_meta, "not a header");
  test::write_text(junk_image, "x");
  bytes = 1;
  EXPECT_EQ(remove_backup_files(junk_meta.c_str(), 0, &bytes), STATUS_OK);
  EXPECT_EQ(bytes, 0u);
  EXPECT_FALSE(test::file_exists(junk_meta) || test::file_exists(junk_image));

  // Without a meta extension there is no image path: the file alone goes.
  std::string odd = dir.file("odd.bak");
  test::write_text(odd, "x");
  int removes = 0;
  {
    test::FaultInjector seen;
    seen.fail_when(
        [&](fs_op op, const char*) {
          removes += op == FS_OP_REMOVE;
          return false;
        },
        EIO);
    EXPECT_EQ(remove_backup_files(odd.c_str(), 0, nullptr), STATUS_OK);
  }
  EXPECT_EQ(removes, 1);
  EXPECT_FALSE(test::file_exists(odd));
}

TEST_F(BackupRemovalTest, ImageThatCannotBeRemovedIsAFailureWithItsWarning) {
  auto b = add({.stem = "b", .id = 1});
  test::Logged out;
  {
    test::FaultInjector faults;
    faults.fail_when(
        [&](fs_op op, const char* path) { return op == FS_OP_REMOVE && path == b.image; }, EIO);
    out = test::logged([&] { return remove_backup_files(b.meta.c_str(), 0, nullptr); });
  }
  EXPECT_EQ(out.status, STATUS_IO);
  EXPECT_EQ(out.lines, std::vector<std::string>{"WARN  could not remove image file " + b.image});
  EXPECT_FALSE(test::file_exists(b.meta));
  EXPECT_TRUE(test::file_exists(b.image));
}

}  // namespace
