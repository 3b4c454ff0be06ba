// fs_copy_range on the path synthetic-full takes when the kernel will not copy
// between the two descriptors (another file system on older kernels, a file
// system without support): the copy goes through user space in 1 MiB pieces
// and must arrive byte for byte, or fail with the mapped status.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "base/fs.h"
#include "support/alloc_fault.h"
#include "support/test_util.h"

namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 13 + (i >> 11));
  return v;
}

// The kernel's copy refuses a destination opened for appending (EBADF), which
// is how these tests send the copy down the user-space path on any file
// system. The destination is empty, so appending writes where pwrite would.
struct copy_pair {
  test::TempDir dir;
  unique_fd in;
  unique_fd out;

  explicit copy_pair(const std::vector<uint8_t>& source) {
    test::write_file(dir.file("src"), source);
    EXPECT_EQ(fs_open_read(dir.file("src").c_str(), in.out()), STATUS_OK);
    EXPECT_EQ(
        fs_open(dir.file("dst").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644, out.out()),
        STATUS_OK);
  }
};

constexpr size_t MIB = 1u << 20;

}  // namespace

TEST(FsCopyRangeTest, CopiesThroughUserSpaceWhenTheKernelRefusesAndEveryByteArrives) {
  const std::vector<uint8_t> source = pattern(3 * MIB + 4321);
  copy_pair p(source);
  const size_t from = 1000, len = 2 * MIB + 777;  // more than one piece, not a multiple
  size_t copied = 0;
  ASSERT_EQ(fs_copy_range(p.in.get(), from, p.out.get(), 0, len, &copied), STATUS_OK);
  EXPECT_EQ(copied, len);
  ASSERT_EQ(p.out.close(), STATUS_OK);
  std::vector<uint8_t> want(source.begin() + from, source.begin() + from + len);
  EXPECT_EQ(test::read_file(p.dir.file("dst")), want);
}

TEST(FsCopyRangeTest, UserSpaceCopyOfAShortSourceReportsWhatWasThere) {
  const std::vector<uint8_t> source = pattern(MIB + 10);
  copy_pair p(source);
  size_t copied = 0;
  ASSERT_EQ(fs_copy_range(p.in.get(), 5, p.out.get(), 0, 3 * MIB, &copied), STATUS_OK);
  EXPECT_EQ(copied, source.size() - 5);  // the caller sees the shortfall and calls it damage
  EXPECT_EQ(test::file_size(p.dir.file("dst")), source.size() - 5);
}

TEST(FsCopyRangeTest, UserSpaceCopyFailsWithTheMappedStatusOfAFailedReadOrWrite) {
  const std::vector<uint8_t> source = pattern(2 * MIB);
  struct fault_case {
    fs_op op;
    uint64_t at;
    int err;
    status_t want;
  };
  for (const fault_case& c : {fault_case{FS_OP_PREAD, 1, EIO, STATUS_IO},
                              fault_case{FS_OP_PREAD, 2, ENOMEM, STATUS_NO_MEMORY},
                              fault_case{FS_OP_PWRITE, 1, ENOSPC, STATUS_IO},
                              fault_case{FS_OP_PWRITE, 2, EIO, STATUS_IO}}) {
    copy_pair p(source);
    test::FaultInjector faults;
    faults.only({c.op});
    faults.fail_at(c.at, c.err);
    size_t copied = 12345;
    EXPECT_EQ(fs_copy_range(p.in.get(), 0, p.out.get(), 0, source.size(), &copied), c.want)
        << "op " << c.op << " call " << c.at;
    EXPECT_TRUE(faults.fired());
    EXPECT_EQ(copied, 12345u);  // untouched on failure
  }
}

TEST(FsCopyRangeTest, UserSpaceCopyWithoutMemoryForItsBufferIsOutOfMemory) {
  if (!test::alloc_fault_works()) GTEST_SKIP() << "no allocation can be failed in this build";
  copy_pair p(pattern(4096));
  size_t copied = 12345;
  status_t s;
  {
    test::AllocFault fault(1);
    s = fs_copy_range(p.in.get(), 0, p.out.get(), 0, 4096, &copied);
  }
  EXPECT_EQ(s, STATUS_NO_MEMORY);
  EXPECT_EQ(copied, 12345u);
  EXPECT_EQ(test::file_size(p.dir.file("dst")), 0u);
}
