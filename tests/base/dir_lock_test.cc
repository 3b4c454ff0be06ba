#include "base/dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_util.h"

namespace {

// Holds a lock on dir (op 0: none yet) through a descriptor of its own, as
// another run would.
struct other_run {
  int fd = -1;
  other_run(const std::string& dir, int op) {
    fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (op != 0) {
      EXPECT_EQ(flock(fd, op | LOCK_NB), 0);
    }
  }
  ~other_run() { close(fd); }
};

}  // namespace

TEST(DirLockTest, ReadersShareAndAWriterIsRefusedWithoutWaiting) {
  test::TempDir dir;
  {
    other_run reader(dir.path(), LOCK_SH);
    dir_lock_request shared{dir.path().c_str(), DIR_LOCK_SHARED};
    dir_lock_set set;
    EXPECT_EQ(dir_lock_take(&shared, 1, &set), STATUS_OK);
    EXPECT_EQ(set.count, 1u);

    dir_lock_request exclusive{dir.path().c_str(), DIR_LOCK_EXCLUSIVE};
    dir_lock_set other;
    std::string err = test::capture_stderr(
        [&] { EXPECT_EQ(dir_lock_take(&exclusive, 1, &other), STATUS_AGAIN); });
    EXPECT_NE(err.find("ERROR another zuv_maintenance run is working on " + dir.path() + "\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(other.count, 0u);
  }
  dir_lock_request exclusive{dir.path().c_str(), DIR_LOCK_EXCLUSIVE};
  dir_lock_set set;
  EXPECT_EQ(dir_lock_take(&exclusive, 1, &set), STATUS_OK);
  other_run late(dir.path(), 0);
  EXPECT_NE(flock(late.fd, LOCK_SH | LOCK_NB), 0);
  dir_lock_release(&set);
  EXPECT_EQ(flock(late.fd, LOCK_SH | LOCK_NB), 0);
}

// --out equal to --search-dir, spelled two ways: locked once, exclusively,
// instead of refusing itself.
TEST(DirLockTest, OneDirectoryUnderTwoNamesIsLockedOnceWithTheStrongerMode) {
  test::TempDir dir;
  const std::string other_name = dir.path() + "/.";
  dir_lock_request both[] = {{dir.path().c_str(), DIR_LOCK_SHARED},
                             {other_name.c_str(), DIR_LOCK_EXCLUSIVE}};
  dir_lock_set set;
  ASSERT_EQ(dir_lock_take(both, 2, &set), STATUS_OK);
  EXPECT_EQ(set.count, 1u);
  other_run reader(dir.path(), 0);
  EXPECT_NE(flock(reader.fd, LOCK_SH | LOCK_NB), 0);
}

TEST(DirLockTest, AHeldSecondDirectoryReleasesTheFirstToo) {
  test::TempDir a, b;
  other_run holder(b.path(), LOCK_EX);
  dir_lock_request both[] = {{a.path().c_str(), DIR_LOCK_EXCLUSIVE},
                             {b.path().c_str(), DIR_LOCK_SHARED}};
  dir_lock_set set;
  (void)test::capture_stderr([&] { EXPECT_EQ(dir_lock_take(both, 2, &set), STATUS_AGAIN); });
  EXPECT_EQ(set.count, 0u);
  other_run after(a.path(), 0);
  EXPECT_EQ(flock(after.fd, LOCK_EX | LOCK_NB), 0);
}

TEST(DirLockTest, AMissingDirectoryIsNotLockedAndNotAnError) {
  test::TempDir dir;
  const std::string missing = dir.file("none");
  dir_lock_request r{missing.c_str(), DIR_LOCK_EXCLUSIVE};
  dir_lock_set set;
  std::string err = test::capture_stderr([&] { EXPECT_EQ(dir_lock_take(&r, 1, &set), STATUS_OK); });
  EXPECT_EQ(set.count, 0u);
  EXPECT_EQ(err, "");
}

TEST(DirLockTest, DirectoryOfAPath) {
  char out[16];
  ASSERT_TRUE(dir_of_path("/srv/b/x.infb", out, sizeof out));
  EXPECT_STREQ(out, "/srv/b");
  ASSERT_TRUE(dir_of_path("/x.infb", out, sizeof out));
  EXPECT_STREQ(out, "/");
  ASSERT_TRUE(dir_of_path("x.infb", out, sizeof out));
  EXPECT_STREQ(out, ".");
  EXPECT_FALSE(dir_of_path("/a/very/long/dir/x.infb", out, sizeof out));
}
