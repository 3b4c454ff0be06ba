#include "store/backup.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/fs.h"
#include "support/store_fixtures.h"
#include "support/test_util.h"

namespace {

test::RawEntry raw_entry(uint64_t id, uint8_t seed) {
  test::RawEntry e;
  e.block_id = id;
  e.offset = 0x0102030405060708ull + id;
  e.stored_len = 1000 + seed;
  e.raw_len = 65536;
  e.codec = 1;
  e.flags = 0;
  for (size_t i = 0; i < 32; i++) e.sha256[i] = static_cast<uint8_t>(seed + i);
  return e;
}

std::vector<test::RawEntry> raw_entries(size_t n) {
  std::vector<test::RawEntry> v;
  for (size_t i = 0; i < n; i++) v.push_back(raw_entry(i * 3, static_cast<uint8_t>(i)));
  return v;
}

void expect_entry(const block_entry& got, const test::RawEntry& want) {
  EXPECT_EQ(got.block_id, want.block_id);
  EXPECT_EQ(got.offset, want.offset);
  EXPECT_EQ(got.stored_len, want.stored_len);
  EXPECT_EQ(got.raw_len, want.raw_len);
  EXPECT_EQ(got.codec, want.codec);
  EXPECT_EQ(got.flags, want.flags);
  EXPECT_EQ(memcmp(got.sha256, want.sha256.data(), 32), 0);
}

uint64_t le_at(const std::vector<uint8_t>& b, size_t off, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; i--) v = (v << 8) | b[off + i];
  return v;
}

std::vector<uint8_t> sha256_of(const uint8_t* p, size_t n) {
  std::vector<uint8_t> d(32);
  SHA256(p, n, d.data());
  return d;
}

block_entry entry(uint64_t id, uint8_t seed) {
  block_entry e;
  e.block_id = id;
  e.offset = id * 100;
  e.stored_len = 50 + seed;
  e.raw_len = 4096;
  e.codec = 2;
  memset(e.sha256, seed, sizeof(e.sha256));
  return e;
}

class BackupTest : public ::testing::Test {
 protected:
  std::string meta(const std::string& name = "a.infb") { return dir_.file(name); }

  test::TempDir dir_;
  loaded_backup b_;
};

}  // namespace

// ---- The 58-byte entry ----

TEST(BlockEntryTest, EncodingPutsEveryFieldAtItsOffset) {
  test::RawEntry raw = raw_entry(0x1122334455667788ull, 9);
  raw.flags = 0xF1;
  raw.codec = 2;
  auto bytes = test::raw_entry_bytes(raw);

  block_entry e;
  block_entry_decode(bytes.data(), &e);
  expect_entry(e, raw);
  uint8_t back[BLOCK_ENTRY_SIZE];
  block_entry_encode(e, back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + BLOCK_ENTRY_SIZE), bytes);
}

TEST(BlockEntryTest, FitsChecksBothLengthsAgainstTheBlockSize) {
  block_entry e;
  e.stored_len = 4096;
  e.raw_len = 4096;
  EXPECT_TRUE(block_entry_fits(e, 4096, 0));
  e.stored_len = 4097;
  EXPECT_FALSE(block_entry_fits(e, 4096, 0));
  e.stored_len = 4096 + 28;
  EXPECT_TRUE(block_entry_fits(e, 4096, 1)) << "a sealed payload carries nonce and tag";
  e.stored_len = 4096 + 29;
  EXPECT_FALSE(block_entry_fits(e, 4096, 2));
  e.stored_len = 10;
  e.raw_len = 4097;
  EXPECT_FALSE(block_entry_fits(e, 4096, 1)) << "raw_len never gets the seal allowance";
}

TEST(BlockEntryTest, SealAllowanceDoesNotWrapAtTheTopOfTheRange) {
  block_entry e;
  e.stored_len = 0xFFFFFFFF;
  e.raw_len = 0;
  EXPECT_TRUE(block_entry_fits(e, 0xFFFFFFF0, 1));
  EXPECT_FALSE(block_entry_fits(e, 0xFFFFFFF0, 0));
}

// ---- backup_load ----

TEST_F(BackupTest, LoadsAGoldenTableAndVerifiesItsDigest) {
  auto entries = raw_entries(3);
  entries[1].flags = 0x01;
  entries[1].offset = 0xFFFFFFFFFFFFFFFFull;
  test::write_raw_meta(meta("g.indb"), test::RawHeader{}, entries);

  ASSERT_EQ(backup_load(meta("g.indb").c_str(), &b_), STATUS_OK);
  ASSERT_NE(b_.header, nullptr);
  EXPECT_EQ(header_block_count(*b_.header), 3u);
  ASSERT_EQ(b_.table.size(), 3u);
  for (size_t i = 0; i < 3; i++) expect_entry(b_.table[i], entries[i]);
  EXPECT_EQ(b_.meta_path, meta("g.indb"));
  EXPECT_EQ(b_.image_path, meta("g.csdb"));
}

TEST_F(BackupTest, TableOneByteShortIsCorrupt) {
  test::write_raw_meta(meta(), test::RawHeader{}, raw_entries(2));
  test::truncate_file(meta(), 131072 + 2 * 58 - 1);
  EXPECT_EQ(backup_load(meta().c_str(), &b_), STATUS_CORRUPT);
  EXPECT_TRUE(b_.table.empty());
}

TEST_F(BackupTest, AnyChangedTableByteIsCorrupt) {
  test::write_raw_meta(meta(), test::RawHeader{}, raw_entries(2));
  const auto good = test::read_file(meta());
  // One byte in every field of both entries, and the very last byte.
  for (size_t field : {0, 7, 8, 16, 20, 24, 25, 26, 57, 58, 82, 84, 115}) {
    const size_t off = 131072 + field;
    test::write_file(meta(), good);
    test::flip_byte(meta(), off, 0x01);
    ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_CORRUPT) << off;
    ASSERT_TRUE(b_.table.empty());
  }
  test::write_file(meta(), good);
  test::flip_byte(meta(), 0x64 + 31, 0x80);  // the stored digest itself
  EXPECT_EQ(backup_load(meta().c_str(), &b_), STATUS_CORRUPT);
}

TEST_F(BackupTest, SmallHeaderTableIsReadWhereTheHeaderSaysAndRewrittenAtTheStandardOffset) {
  test::RawHeader raw;
  raw.header_size = 4096;
  auto entries = raw_entries(2);
  test::write_raw_meta(meta(), raw, entries);
  ASSERT_EQ(test::file_size(meta()), 4096u + 2 * 58);

  ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_OK);
  ASSERT_EQ(b_.table.size(), 2u);
  expect_entry(b_.table[1], entries[1]);

  ASSERT_EQ(meta_write(meta("w.infb").c_str(), 0644, *b_.header, b_.table.data(), 2), STATUS_OK);
  auto out = test::read_file(meta("w.infb"));
  ASSERT_EQ(out.size(), 131072u + 2 * 58);
  EXPECT_EQ(le_at(out, 0x08, 4), 131072u);
  auto table = test::raw_entry_bytes(entries[0]);
  auto second = test::raw_entry_bytes(entries[1]);
  table.insert(table.end(), second.begin(), second.end());
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 131072, out.end()), table);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 0x64, out.begin() + 0x84),
            sha256_of(table.data(), table.size()));
  loaded_backup again;
  EXPECT_EQ(backup_load(meta("w.infb").c_str(), &again), STATUS_OK);
}

TEST_F(BackupTest, TemporaryNameIsRefusedOnceTheHeaderIsRead) {
  test::write_raw_meta(meta("a.infb.tmp"), test::RawHeader{}, raw_entries(1));
  EXPECT_EQ(backup_load(meta("a.infb.tmp").c_str(), &b_), STATUS_INVALID);
  EXPECT_NE(b_.header, nullptr) << "the header stays loaded";
  EXPECT_TRUE(b_.table.empty());
  EXPECT_EQ(backup_load(meta("missing.infb.tmp").c_str(), &b_), STATUS_NOT_FOUND);
}

TEST_F(BackupTest, HeaderFailuresPassThrough) {
  EXPECT_EQ(backup_load(meta("missing.infb").c_str(), &b_), STATUS_NOT_FOUND);
  test::RawHeader raw;
  raw.format_version = 3;
  test::write_raw_meta(meta(), raw, raw_entries(1));
  EXPECT_EQ(backup_load(meta().c_str(), &b_), STATUS_NOT_SUPPORTED);
}

TEST_F(BackupTest, BlockCountThatCannotBeATableOfThisFileIsRefusedBeforeAllocating) {
  // Each of these would ask for far more memory than exists, or (2^63 + 1,
  // whose table size wraps to exactly one entry) read a table that does not
  // match its count. -7, not -2: the header is damaged, memory is fine.
  auto one = raw_entries(1);
  for (uint64_t count :
       {uint64_t{1} << 63 | 1, ~uint64_t{0}, uint64_t{1000000000000}, uint64_t{2}}) {
    test::RawHeader raw;
    raw.block_count = count;
    auto bytes = test::raw_entry_bytes(one[0]);
    SHA256(bytes.data(), bytes.size(), raw.table_sha256.data());
    test::write_raw_meta(meta(), raw, one, /*keep_counts=*/true);
    EXPECT_EQ(backup_load(meta().c_str(), &b_), STATUS_CORRUPT) << count;
    EXPECT_TRUE(b_.table.empty());
  }
}

TEST_F(BackupTest, LargeTableIsReadInSeveralCalls) {
  auto entries = raw_entries(40000);  // 2.3 MB, beyond one read chunk
  test::write_raw_meta(meta(), test::RawHeader{}, entries);
  test::FaultInjector faults;
  faults.only({FS_OP_PREAD});
  faults.fail_at(2, 0, 12345);  // the first table read returns short
  ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_OK);
  EXPECT_TRUE(faults.fired());
  ASSERT_EQ(b_.table.size(), 40000u);
  expect_entry(b_.table[0], entries[0]);
  expect_entry(b_.table[20000], entries[20000]);
  expect_entry(b_.table[39999], entries[39999]);
}

TEST_F(BackupTest, ReadErrorOnTheTableKeepsItsStatusAndLeaksNothing) {
  test::write_raw_meta(meta(), test::RawHeader{}, raw_entries(3));
  int fds = test::open_fd_count();
  test::FaultInjector faults;
  faults.only({FS_OP_PREAD});
  faults.fail_at(2, EIO);
  EXPECT_EQ(backup_load(meta().c_str(), &b_), STATUS_IO);
  EXPECT_TRUE(b_.table.empty());
  EXPECT_EQ(test::open_fd_count(), fds);
}

TEST_F(BackupTest, ReleaseIsHarmlessTwiceAndAfterAFailedLoad) {
  test::write_raw_meta(meta(), test::RawHeader{}, raw_entries(2));
  ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_OK);
  backup_release(&b_);
  EXPECT_EQ(b_.header, nullptr);
  EXPECT_TRUE(b_.table.empty());
  backup_release(&b_);

  loaded_backup failed;
  EXPECT_NE(backup_load(meta("missing.infb").c_str(), &failed), STATUS_OK);
  backup_release(&failed);
}

TEST_F(BackupTest, LoadingAgainReplacesWhatWasLoaded) {
  test::write_raw_meta(meta("a.infb"), test::RawHeader{}, raw_entries(5));
  test::write_raw_meta(meta("b.inib"), test::RawHeader{}, raw_entries(2));
  ASSERT_EQ(backup_load(meta("a.infb").c_str(), &b_), STATUS_OK);
  ASSERT_EQ(backup_load(meta("b.inib").c_str(), &b_), STATUS_OK);
  EXPECT_EQ(b_.table.size(), 2u);
  EXPECT_EQ(b_.image_path, meta("b.csib"));
}

// ---- meta_write ----

TEST_F(BackupTest, EmptyTableGivesExactlyTheHeaderWithAZeroDigest) {
  backup_header h;
  header_init_full(&h, "x", 0, 0);
  memset(h.raw + HDR_TABLE_SHA256, 0xEE, 32);  // a stale digest must not survive
  store_le64(h.raw + HDR_BLOCK_COUNT, 7);
  ASSERT_EQ(meta_write(meta().c_str(), 0644, h, nullptr, 0), STATUS_OK);
  auto out = test::read_file(meta());
  ASSERT_EQ(out.size(), 131072u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 0x64, out.begin() + 0x84),
            std::vector<uint8_t>(32, 0));
  EXPECT_EQ(le_at(out, 0x54, 8), 0u);
  ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_OK);
  EXPECT_TRUE(b_.table.empty());
  EXPECT_FALSE(test::file_exists(meta() + ".tmp"));
}

TEST_F(BackupTest, RewriteCarriesEveryHeaderByteItDoesNotOwn) {
  test::RawHeader raw;
  raw.retain_until = 0x0102030405060708ll;
  raw.producer_version = "1.0.2-alpha028";
  test::write_raw_meta(meta(), raw, raw_entries(1));
  auto before = test::read_file(meta());
  ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_OK);
  const backup_header untouched = *b_.header;

  ASSERT_EQ(meta_write(meta("w.infb").c_str(), 0644, *b_.header, b_.table.data(), 1), STATUS_OK);
  EXPECT_EQ(memcmp(untouched.raw, b_.header->raw, HEADER_SIZE), 0) << "caller's header changed";
  auto after = test::read_file(meta("w.infb"));
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after, before);  // same count, digest and header_size: every byte identical
  EXPECT_EQ(memcmp(after.data() + 0x84, "1.0.2-alpha028", 15), 0);
  EXPECT_EQ(le_at(after, 0x6445, 8), 0x0102030405060708u);
  for (size_t i = 0; i < 64; i++) ASSERT_EQ(after[0x644D + i], 0x50 + i) << "retention_info";
  EXPECT_EQ(after[0x06], 0x5A);
  EXPECT_EQ(after[0x1000], 0x77);
  EXPECT_EQ(after[0x1FFFF], 0x99);
}

TEST_F(BackupTest, WrittenTableLoadsBackUnchangedIncludingNoDataEntries) {
  backup_header h;
  header_init_full(&h, "x", 1 << 20, 4096);
  std::vector<block_entry> entries = {entry(0, 1), entry(1, 2), entry(5, 3)};
  entries[1].flags = BLOCK_FLAG_NO_DATA | 0xF0;
  entries[1].offset = NO_OFFSET;
  entries[1].stored_len = 0;
  ASSERT_EQ(meta_write(meta().c_str(), 0600, h, entries.data(), entries.size()), STATUS_OK);
  struct stat st;
  ASSERT_EQ(stat(meta().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(backup_load(meta().c_str(), &b_), STATUS_OK);
  ASSERT_EQ(b_.table.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    uint8_t a[BLOCK_ENTRY_SIZE], b[BLOCK_ENTRY_SIZE];
    block_entry_encode(entries[i], a);
    block_entry_encode(b_.table[i], b);
    EXPECT_EQ(memcmp(a, b, BLOCK_ENTRY_SIZE), 0) << i;
  }
  EXPECT_EQ(memcmp(b_.header->raw + HDR_UUID, h.raw + HDR_UUID, 16), 0);
}

TEST_F(BackupTest, FailedSyncLeavesTheOldFileAndTheTemporaryFile) {
  backup_header h;
  header_init_full(&h, "x", 0, 0);
  test::write_text(meta(), "old contents");
  std::vector<block_entry> entries = {entry(0, 1)};
  {
    test::FaultInjector faults;
    faults.only({FS_OP_FSYNC});
    faults.fail_at(1, EIO);
    EXPECT_EQ(meta_write(meta().c_str(), 0644, h, entries.data(), 1), STATUS_IO);
    EXPECT_TRUE(faults.fired());
  }
  EXPECT_EQ(test::read_text(meta()), "old contents");
  EXPECT_TRUE(test::file_exists(meta() + ".tmp"));

  // A later write replaces both in one rename.
  ASSERT_EQ(meta_write(meta().c_str(), 0644, h, entries.data(), 1), STATUS_OK);
  EXPECT_EQ(test::file_size(meta()), 131072u + 58);
  EXPECT_FALSE(test::file_exists(meta() + ".tmp"));
}

TEST_F(BackupTest, FailureAtEveryFileCallLeavesTheOldFileOrTheWholeNewOne) {
  backup_header h;
  header_init_full(&h, "x", 0, 0);
  std::vector<block_entry> entries = {entry(0, 1), entry(2, 2)};
  ASSERT_EQ(meta_write(meta("ref.infb").c_str(), 0644, h, entries.data(), 2), STATUS_OK);
  const auto new_bytes = test::read_file(meta("ref.infb"));
  const std::string old_text = "old contents";

  int fds = test::open_fd_count();
  for (uint64_t n = 1;; n++) {
    test::write_text(meta(), old_text);
    status_t s;
    bool fired;
    {
      test::FaultInjector faults;
      faults.fail_at(n, n % 2 ? EIO : ENOSPC);
      s = meta_write(meta().c_str(), 0644, h, entries.data(), 2);
      fired = faults.fired();
    }
    auto now = test::read_file(meta());
    bool is_old = now == std::vector<uint8_t>(old_text.begin(), old_text.end());
    EXPECT_TRUE(is_old || now == new_bytes) << "call " << n;
    if (!fired) {
      EXPECT_EQ(s, STATUS_OK);
      EXPECT_EQ(now, new_bytes);
      break;
    }
    EXPECT_NE(s, STATUS_OK) << "call " << n << " failed but the write reported success";
    ASSERT_LT(n, 50u);
  }
  EXPECT_EQ(test::open_fd_count(), fds);
}

TEST_F(BackupTest, FailedDirectorySyncIsReportedAfterTheRename) {
  backup_header h;
  header_init_full(&h, "x", 0, 0);
  test::FaultInjector faults;
  faults.only({FS_OP_FSYNC});
  faults.fail_at(2, EIO);  // the first is the file, the second its directory
  EXPECT_EQ(meta_write(meta().c_str(), 0644, h, nullptr, 0), STATUS_IO);
  EXPECT_TRUE(faults.fired());
  EXPECT_EQ(test::file_size(meta()), 131072u) << "the rename itself went through";
}
