#include "base/page_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "base/fs.h"
#include "support/test_util.h"

namespace {

constexpr uint64_t MIB = 1 << 20;

class PageCacheTest : public ::testing::Test {
 protected:
  // A file of `size` random bytes, written out and dropped from the cache.
  void make_file(uint64_t size) {
    std::vector<uint8_t> bytes(size);
    std::mt19937_64 rng(7);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    test::write_file(path_, bytes);
    if (!test::drop_from_cache(path_))
      GTEST_SKIP() << "this file system keeps a file's pages in memory whatever is asked";
  }

  // Reads the whole file in `chunk` reads as scrub does, telling the reader
  // before each; returns the most pages cached after any read.
  size_t read_through(uint64_t chunk, size_t* most = nullptr) {
    const int fd = open(path_.c_str(), O_RDONLY);
    const uint64_t size = test::file_size(path_);
    cache_reader r;
    cache_reader_open(&r, fd, size, chunk);
    std::vector<uint8_t> buf(chunk);
    size_t peak = 0;
    for (uint64_t off = 0; off < size; off += chunk) {
      cache_reader_before(&r, off, chunk);
      EXPECT_GT(pread(fd, buf.data(), chunk, static_cast<off_t>(off)), 0);
      if (most) peak = std::max(peak, test::cached_page_count(path_));
    }
    cache_reader_close(&r);
    close(fd);
    if (most) *most = peak;
    return test::cached_page_count(path_);
  }

  test::TempDir dir_;
  std::string path_ = dir_.file("image");
};

TEST_F(PageCacheTest, AFileThatWasNotCachedIsLeftUncachedAndOnlyAWindowIsEverCached) {
  make_file(96 * MIB);
  size_t most = 0;
  EXPECT_EQ(read_through(2 * MIB, &most), 0u);
  // The read head's stretch, the lookahead and the kernel's read-ahead: far
  // less than the file.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LT(most * page, (CACHE_LOOKAHEAD + 2 * CACHE_STRETCH)) << most << " pages";
}

TEST_F(PageCacheTest, PagesThatWereCachedBeforeStayCachedAndNoOthers) {
  make_file(80 * MIB);
  // Parts that others read: the start, a run in the middle, the very end.
  test::bring_into_cache(path_, 0, 3 * MIB);
  test::bring_into_cache(path_, 40 * MIB + 8192, 5 * MIB);
  test::bring_into_cache(path_, 80 * MIB - 4096, 4096);
  const std::vector<bool> before = test::cached_pages(path_);
  ASSERT_GT(test::cached_page_count(path_), 0u);
  for (uint64_t chunk : {2 * MIB, 3 * MIB + 1000}) {
    read_through(chunk);
    EXPECT_EQ(test::cached_pages(path_), before) << "reads of " << chunk;
  }
  // Wholly cached, it stays so.
  test::bring_into_cache(path_, 0, 80 * MIB);
  const size_t all = test::cached_page_count(path_);
  EXPECT_EQ(read_through(2 * MIB), all);
}

// A table whose payloads do not follow each other. Without the kernel's
// read-ahead, which may still be reading a stretch the reader has jumped
// away from (such pages cannot be dropped yet), every page read goes again.
TEST_F(PageCacheTest, ReadsThatJumpAroundLeaveNothingTheyBroughtIn) {
  make_file(48 * MIB);
  const int fd = open(path_.c_str(), O_RDONLY);
  cache_reader r;
  cache_reader_open(&r, fd, 48 * MIB, MIB);
  ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM), 0);
  std::vector<uint8_t> buf(MIB);
  for (uint64_t off : {40 * MIB, 2 * MIB, 20 * MIB, 0 * MIB, 47 * MIB}) {
    cache_reader_before(&r, off, MIB);
    ASSERT_EQ(pread(fd, buf.data(), MIB, static_cast<off_t>(off)), static_cast<ssize_t>(MIB));
  }
  cache_reader_close(&r);
  close(fd);
  EXPECT_EQ(test::cached_page_count(path_), 0u);
}

TEST_F(PageCacheTest, AWrittenFileIsDroppedStretchByStretchAndWhollyAtTheEnd) {
  make_file(4096);
  const int fd = open(path_.c_str(), O_WRONLY | O_TRUNC);
  cache_writer w;
  cache_writer_open(&w, fd);
  std::vector<uint8_t> chunk(MIB, 0x5A);
  size_t most = 0;
  for (uint64_t off = 0; off < 40 * MIB; off += MIB) {
    ASSERT_EQ(pwrite(fd, chunk.data(), MIB, static_cast<off_t>(off)), static_cast<ssize_t>(MIB));
    ASSERT_EQ(cache_writer_wrote(&w, off + MIB), STATUS_OK);
    most = std::max(most, test::cached_page_count(path_));
  }
  ASSERT_EQ(fsync(fd), 0);
  cache_writer_close(&w);
  close(fd);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LE(most * page, 3 * CACHE_STRETCH) << "written pages were kept";
  EXPECT_EQ(test::cached_page_count(path_), 0u);
  EXPECT_EQ(test::file_size(path_), 40 * MIB);
}

// A flush that fails is a write that failed: the error may never reach a
// later fsync of the same descriptor.
TEST_F(PageCacheTest, AFailedFlushIsTheWritersFailure) {
  const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  cache_writer w;
  cache_writer_open(&w, fd);
  std::vector<uint8_t> chunk(CACHE_STRETCH, 1);
  ASSERT_EQ(pwrite(fd, chunk.data(), chunk.size(), 0), static_cast<ssize_t>(chunk.size()));
  {
    test::FaultInjector faults;
    faults.only({FS_OP_FSYNC});
    faults.fail_at(1, EIO);
    EXPECT_EQ(cache_writer_wrote(&w, CACHE_STRETCH), STATUS_IO);
    EXPECT_TRUE(faults.fired());
  }
  close(fd);
}

}  // namespace
