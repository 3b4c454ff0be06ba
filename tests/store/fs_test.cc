#include "store/fs.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(FsTest, ErrnoTableMapsTheListedValuesAndNothingElse) {
  EXPECT_EQ(status_from_errno(ENOENT), STATUS_NOT_FOUND);
  EXPECT_EQ(status_from_errno(EAGAIN), STATUS_AGAIN);
  EXPECT_EQ(status_from_errno(ENOMEM), STATUS_NO_MEMORY);
  EXPECT_EQ(status_from_errno(EEXIST), STATUS_EXISTS);
  EXPECT_EQ(status_from_errno(EINVAL), STATUS_INVALID);
  for (int e : {EACCES, EIO, EBADF, EISDIR, ENOTDIR, ENOSPC, EXDEV, ENAMETOOLONG, EINTR, 0, 1,
                3, 23, 200})
    EXPECT_EQ(status_from_errno(e), STATUS_IO) << e;
}

TEST(FsTest, ClosingMinusOneMakesNoCall) { EXPECT_EQ(fs_close(-1), STATUS_OK); }

#include <fcntl.h>
#include <unistd.h>

#include "support/test_util.h"

TEST(FsTest, InjectedFaultFailsTheChosenCallWithTheMappedStatus) {
  test::TempDir dir;
  test::FaultInjector faults;
  faults.only({FS_OP_OPEN});
  faults.fail_at(2, ENOSPC);
  int fd = -1;
  ASSERT_EQ(fs_create(dir.file("a").c_str(), 0644, &fd), STATUS_OK);
  ASSERT_EQ(fs_close(fd), STATUS_OK);
  EXPECT_EQ(fs_create(dir.file("b").c_str(), 0644, &fd), STATUS_IO);
  EXPECT_TRUE(faults.fired());
  EXPECT_FALSE(test::file_exists(dir.file("b")));
}
