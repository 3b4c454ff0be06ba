#include "base/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

TEST(FsTest, ErrnoTableMapsTheListedValuesAndNothingElse) {
  EXPECT_EQ(status_from_errno(ENOENT), STATUS_NOT_FOUND);
  EXPECT_EQ(status_from_errno(EAGAIN), STATUS_AGAIN);
  EXPECT_EQ(status_from_errno(ENOMEM), STATUS_NO_MEMORY);
  EXPECT_EQ(status_from_errno(EEXIST), STATUS_EXISTS);
  EXPECT_EQ(status_from_errno(EINVAL), STATUS_INVALID);
  for (int e :
       {EACCES, EIO, EBADF, EISDIR, ENOTDIR, ENOSPC, EXDEV, ENAMETOOLONG, EINTR, 0, 1, 3, 23, 200})
    EXPECT_EQ(status_from_errno(e), STATUS_IO) << e;
}

TEST(FsTest, ClosingMinusOneMakesNoCall) {
  EXPECT_EQ(fs_close(-1), STATUS_OK);
}

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

#include <sys/wait.h>

#include <cstring>

namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  return v;
}

}  // namespace

// Linux never fails a pwrite to a regular file with EINTR for a signal that
// does not kill (and pipes refuse pwrite altogether), so the interruption is
// injected at the seam, right where the kernel would report it.
TEST(FsTest, PwriteAllRepeatsAnInterruptedCallAndTheWholeBufferArrives) {
  test::TempDir dir;
  unique_fd fd;
  ASSERT_EQ(fs_create(dir.file("f").c_str(), 0644, fd.out()), STATUS_OK);
  auto data = pattern(300000);
  test::FaultInjector faults;
  faults.only({FS_OP_PWRITE});
  faults.fail_at(1, EINTR);
  size_t count = 0;
  ASSERT_EQ(fs_pwrite_all(fd.get(), data.data(), data.size(), 4096, &count), STATUS_OK);
  EXPECT_TRUE(faults.fired());
  EXPECT_EQ(faults.calls(), 2u);
  EXPECT_EQ(count, data.size());
  auto back = test::read_file(dir.file("f"));
  ASSERT_EQ(back.size(), 4096 + data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 4096));
}

TEST(FsTest, PwriteAllContinuesAfterAShortWrite) {
  test::TempDir dir;
  unique_fd fd;
  ASSERT_EQ(fs_create(dir.file("f").c_str(), 0644, fd.out()), STATUS_OK);
  auto data = pattern(10000);
  test::FaultInjector faults;
  faults.only({FS_OP_PWRITE});
  faults.fail_at(1, 0, 1001);
  size_t count = 0;
  ASSERT_EQ(fs_pwrite_all(fd.get(), data.data(), data.size(), 0, &count), STATUS_OK);
  EXPECT_EQ(faults.calls(), 2u);
  EXPECT_EQ(count, data.size());
  EXPECT_EQ(test::read_file(dir.file("f")), data);
}

TEST(FsTest, PwriteAllFailsAtOnceOnOtherErrorsAndWritesNothingForZeroLength) {
  test::TempDir dir;
  unique_fd fd;
  ASSERT_EQ(fs_create(dir.file("f").c_str(), 0644, fd.out()), STATUS_OK);
  test::FaultInjector faults;
  faults.only({FS_OP_PWRITE});
  size_t count = 12345;
  EXPECT_EQ(fs_pwrite_all(fd.get(), "x", 0, 0, &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(faults.calls(), 0u);
  faults.fail_at(1, ENOSPC);
  count = 12345;
  EXPECT_EQ(fs_pwrite_all(fd.get(), "abc", 3, 0, &count), STATUS_IO);
  EXPECT_EQ(count, 12345u);
  EXPECT_EQ(faults.calls(), 1u);
}

TEST(FsTest, PreadIsOneCallThatIsNotRetriedOnInterruption) {
  test::TempDir dir;
  test::write_file(dir.file("f"), pattern(100));
  unique_fd fd;
  ASSERT_EQ(fs_open_read(dir.file("f").c_str(), fd.out()), STATUS_OK);
  uint8_t buf[200];
  size_t count = 777;
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, EINTR);
    EXPECT_EQ(fs_pread(fd.get(), buf, sizeof buf, 0, &count), STATUS_IO);
    EXPECT_EQ(faults.calls(), 1u);
    EXPECT_EQ(count, 777u);
  }
  EXPECT_EQ(fs_pread(fd.get(), buf, sizeof buf, 40, &count), STATUS_OK);
  EXPECT_EQ(count, 60u);  // short, and not made up
  EXPECT_EQ(fs_pread(fd.get(), buf, sizeof buf, 100, &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(fs_pread(fd.get(), buf, sizeof buf, 1000, &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
}

TEST(FsTest, CreateTruncatesAnExistingFile) {
  test::TempDir dir;
  test::write_text(dir.file("f"), "old contents");
  unique_fd fd;
  ASSERT_EQ(fs_create(dir.file("f").c_str(), 0644, fd.out()), STATUS_OK);
  ASSERT_EQ(fd.close(), STATUS_OK);
  EXPECT_EQ(test::file_size(dir.file("f")), 0u);
}

TEST(FsTest, ExistsFollowsLinksAndCountsADanglingLinkAsAbsent) {
  test::TempDir dir;
  test::write_text(dir.file("f"), "x");
  ASSERT_EQ(symlink(dir.file("f").c_str(), dir.file("good").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  EXPECT_TRUE(fs_exists(dir.file("good").c_str()));
  EXPECT_FALSE(fs_exists(dir.file("dangling").c_str()));
  EXPECT_FALSE(fs_exists(dir.file("gone").c_str()));
}

// A missing file is "not found" (the catalog scan skips it), but one that
// exists and may not be read is an I/O error. Root reads anything, so as root
// the check runs in a child that has given up root.
TEST(FsTest, OpenTellsAMissingFileFromAForbiddenOne) {
  test::TempDir dir;
  int fd = -1;
  EXPECT_EQ(fs_open_read(dir.file("missing").c_str(), &fd), STATUS_NOT_FOUND);
  test::write_text(dir.file("secret"), "x");
  ASSERT_EQ(chmod(dir.file("secret").c_str(), 0), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  auto check = [&] {
    int fd2 = -1;
    status_t s = fs_open_read(dir.file("secret").c_str(), &fd2);
    if (s == STATUS_OK) (void)fs_close(fd2);
    return s;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(check(), STATUS_IO);
    return;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(check() == STATUS_IO ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot give up root here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a forbidden file must give STATUS_IO";
}

// The flush of a parent directory copies its name without allocating; a name
// too long for any directory fails as opening it would.
TEST(FsTest, FlushOfTheParentOfAnOverlongPathIsAnIoErrorAndFlushesNothing) {
  test::TempDir dir;
  EXPECT_EQ(fs_fsync_parent(dir.file("meta").c_str()), STATUS_OK);
  test::FaultInjector faults;
  const std::string overlong = dir.path() + "/" + std::string(PATH_MAX, 'd') + "/meta";
  EXPECT_EQ(fs_fsync_parent(overlong.c_str()), STATUS_IO);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(faults.calls(), 0u);
}

#include <sys/stat.h>

// A FIFO, a directory or a link to a FIFO named like the files the store opens are
// refused at once, never waited for; a link to a regular file is followed.
TEST(FsTest, OpenRegularRefusesEverythingButARegularFileWithoutBlocking) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0755), 0);
  test::write_file(dir.file("plain"), std::vector<uint8_t>{1});
  ASSERT_EQ(symlink(dir.file("plain").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("fifo").c_str(), dir.file("fifo-link").c_str()), 0);

  for (const char* name : {"fifo", "dir", "fifo-link"}) {
    for (int flags : {O_RDONLY, O_WRONLY | O_APPEND}) {
      int fd = -1;
      EXPECT_EQ(fs_open_regular(dir.file(name).c_str(), flags, 0, &fd), STATUS_IO) << name;
      EXPECT_EQ(errno, FS_ERR_NOT_REGULAR) << name;
      EXPECT_EQ(fd, -1);
    }
  }
  EXPECT_STREQ(fs_strerror(FS_ERR_NOT_REGULAR), "not a regular file");

  int fd = -1;
  ASSERT_EQ(fs_open_regular(dir.file("link").c_str(), O_RDONLY, 0, &fd), STATUS_OK);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(fs_close(fd), STATUS_OK);
  EXPECT_EQ(fs_open_regular(dir.file("missing").c_str(), O_RDONLY, 0, &fd), STATUS_NOT_FOUND);
}

// A temporary file is always a new file: a killed run's leftover at its name
// is replaced, a link planted there is replaced rather than followed, and a
// directory there is refused.
TEST(FsTest, CreateTempReplacesALeftoverOrALinkAndNeverWritesThroughALink) {
  test::TempDir dir;
  const std::string tmp = dir.file("x.infb.tmp"), victim = dir.file("victim");
  test::write_text(victim, "keep");
  for (bool link : {false, true}) {
    if (link) {
      ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
    } else {
      test::write_text(tmp, "left by a killed run");
    }
    int fd = -1;
    ASSERT_EQ(fs_create_temp(tmp.c_str(), 0644, &fd), STATUS_OK);
    ASSERT_EQ(write(fd, "new", 3), 3);
    ASSERT_EQ(fs_close(fd), STATUS_OK);
    EXPECT_EQ(test::read_text(tmp), "new");
    struct stat st;
    ASSERT_EQ(lstat(tmp.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::read_text(victim), "keep");
    ASSERT_EQ(unlink(tmp.c_str()), 0);
  }
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  int fd = -1;
  EXPECT_EQ(fs_create_temp(tmp.c_str(), 0644, &fd), STATUS_EXISTS);
  EXPECT_EQ(fd, -1);
}

TEST(MakeDirsTest, CreatesMissingParentsAndAcceptsAnExistingDirectory) {
  test::TempDir dir;
  std::string deep = dir.file("a/b/c");
  EXPECT_EQ(make_dirs(deep.c_str()), STATUS_OK);
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(make_dirs(deep.c_str()), STATUS_OK);
  EXPECT_EQ(make_dirs((dir.file("x/y") + "/").c_str()), STATUS_OK);
  EXPECT_TRUE(test::file_exists(dir.file("x/y")));
}

TEST(MakeDirsTest, RefusesWhatIsNotADirectory) {
  test::TempDir dir;
  test::write_text(dir.file("file"), "x");
  EXPECT_EQ(make_dirs(dir.file("file").c_str()), STATUS_EXISTS);
  ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);
  EXPECT_EQ(make_dirs(dir.file("dangling").c_str()), STATUS_EXISTS);
  EXPECT_EQ(make_dirs(dir.file("file/sub").c_str()), STATUS_IO);  // ENOTDIR
  EXPECT_EQ(make_dirs(""), STATUS_NOT_FOUND);
}

namespace {

// A path of exactly len characters under base, in names of at most 200.
std::string path_of_length(const std::string& base, size_t len) {
  std::string p = base;
  while (p.size() < len) {
    p += '/';
    p += std::string(std::min<size_t>(200, len - p.size()), 'd');
  }
  return p;
}

}  // namespace

TEST(MakeDirsTest, RefusesAPathTooLongToHoldRatherThanCreatingAShorterOne) {
  test::TempDir dir;
  EXPECT_EQ(make_dirs(path_of_length(dir.path(), 1100).c_str()), STATUS_INVALID);
  EXPECT_TRUE(test::list_dir(dir.path()).empty());
  EXPECT_EQ(make_dirs(path_of_length(dir.path(), 1099).c_str()), STATUS_OK);
}
