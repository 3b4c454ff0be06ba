#include "store/header.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "base/fs.h"
#include "support/store_fixtures.h"
#include "support/test_util.h"

namespace {

std::unique_ptr<backup_header> new_header(uint8_t fill = 0) {
  auto h = std::make_unique<backup_header>();
  memset(h->raw, fill, sizeof(h->raw));
  return h;
}

uint64_t le_at(const backup_header& h, size_t off, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; i--) v = (v << 8) | h.raw[off + i];
  return v;
}

class HeaderReadTest : public ::testing::Test {
 protected:
  status_t read_bytes(const std::vector<uint8_t>& bytes) {
    test::write_file(path_, bytes);
    return header_read(path_.c_str(), h_.get());
  }
  status_t read_raw(const test::RawHeader& raw) { return read_bytes(test::raw_header_bytes(raw)); }

  test::TempDir dir_;
  std::string path_ = dir_.file("a.infb");
  std::unique_ptr<backup_header> h_ = new_header(0xAA);
};

}  // namespace

TEST_F(HeaderReadTest, EveryFieldIsReadFromItsDocumentedOffset) {
  test::RawHeader raw;
  raw.block_size = 0x00102030;
  raw.kind = 2;
  raw.codec = 2;
  raw.uuid = test::uuid_of(0x31);
  raw.parent_uuid = test::uuid_of(0x32);
  raw.base_uuid = test::uuid_of(0x33);
  raw.created = -5;
  raw.volume_size = 0x0102030405060708ull;
  raw.block_count = 0x1112131415161718ull;
  raw.image_bytes = 0x2122232425262728ull;
  raw.name = "nightly";
  raw.cipher = 1;
  raw.retain_until = 0x4142434445464748ll;
  ASSERT_EQ(read_raw(raw), STATUS_OK);

  EXPECT_EQ(header_magic(*h_), 0x50554B42u);
  EXPECT_EQ(memcmp(h_->raw, "BKUP", 4), 0);
  EXPECT_EQ(header_format_version(*h_), 1);
  EXPECT_EQ(header_size_field(*h_), 131072u);
  EXPECT_EQ(header_block_size(*h_), 0x00102030u);
  EXPECT_EQ(header_kind(*h_), 2);
  EXPECT_EQ(header_codec(*h_), 2);
  EXPECT_EQ(memcmp(header_uuid(*h_), test::uuid_of(0x31).data(), 16), 0);
  EXPECT_EQ(memcmp(header_parent_uuid(*h_), test::uuid_of(0x32).data(), 16), 0);
  EXPECT_EQ(memcmp(header_base_uuid(*h_), test::uuid_of(0x33).data(), 16), 0);
  EXPECT_EQ(header_created(*h_), -5);
  EXPECT_EQ(header_volume_size(*h_), 0x0102030405060708ull);
  EXPECT_EQ(header_block_count(*h_), 0x1112131415161718ull);
  EXPECT_EQ(header_image_bytes(*h_), 0x2122232425262728ull);
  EXPECT_EQ(header_cipher(*h_), 1);
  EXPECT_EQ(header_retain_until(*h_), 0x4142434445464748ll);
  char name[HDR_NAME_LEN];
  header_name_copy(*h_, name);
  EXPECT_STREQ(name, "nightly");
  // Bytes this program does not interpret arrive as stored.
  EXPECT_EQ(h_->raw[0xE4 + 5], 0xA0 ^ 5);
  EXPECT_EQ(h_->raw[0x644D + 63], 0x50 + 63);
  EXPECT_EQ(h_->raw[0x1FFFF], 0x99);
}

TEST_F(HeaderReadTest, SmallHeaderOfAnotherProducerReadsWithTheRestZero) {
  test::RawHeader raw;
  raw.header_size = 4096;
  auto bytes = test::raw_header_bytes(raw);
  ASSERT_EQ(bytes.size(), 4096u);
  ASSERT_EQ(read_bytes(bytes), STATUS_OK);
  EXPECT_EQ(header_size_field(*h_), 4096u);
  for (size_t i = 4096; i < HEADER_SIZE; i++) ASSERT_EQ(h_->raw[i], 0) << i;
}

// What follows a small header is its table: none of it may pass for a field
// the header does not have (retain_until, retention_info, reserved bytes).
TEST_F(HeaderReadTest, BytesPastASmallHeaderAreZeroEvenWhenTheFileGoesOn) {
  test::RawHeader raw;
  raw.header_size = 8192;
  auto bytes = test::raw_header_bytes(raw);
  bytes.resize(HEADER_SIZE, 0xA5);
  ASSERT_EQ(read_bytes(bytes), STATUS_OK);
  EXPECT_EQ(header_retain_until(*h_), 0);
  for (size_t i = 8192; i < HEADER_SIZE; i++) ASSERT_EQ(h_->raw[i], 0) << i;
  for (size_t i = 0; i < 8192; i++) ASSERT_EQ(h_->raw[i], bytes[i]) << i;
}

TEST_F(HeaderReadTest, ShortOrMisframedFilesAreCorrupt) {
  test::RawHeader raw;
  auto bytes = test::raw_header_bytes(raw);
  bytes.resize(4095);
  EXPECT_EQ(read_bytes(bytes), STATUS_CORRUPT) << "4095 bytes";
  EXPECT_EQ(read_bytes({}), STATUS_CORRUPT) << "empty file";

  raw.magic = 0x50554B43;
  EXPECT_EQ(read_raw(raw), STATUS_CORRUPT) << "magic";
  raw.magic = 0x50554B42;

  for (uint32_t size : {0u, 4095u, 262144u, 4194305u, 0xFFFFFFFFu}) {
    raw.header_size = size;
    bytes = test::raw_header_bytes(raw);
    bytes.resize(131072);  // the whole area is present; only the field is wrong
    EXPECT_EQ(read_bytes(bytes), STATUS_CORRUPT) << "header_size " << size;
  }

  raw.header_size = 8192;
  bytes = test::raw_header_bytes(raw);
  bytes.resize(8191);
  EXPECT_EQ(read_bytes(bytes), STATUS_CORRUPT) << "file ends inside the header";
}

TEST_F(HeaderReadTest, NewerVersionIsNotSupportedButMagicIsCheckedFirst) {
  test::RawHeader raw;
  raw.format_version = 2;
  EXPECT_EQ(read_raw(raw), STATUS_NOT_SUPPORTED);
  raw.format_version = 0xFFFF;
  EXPECT_EQ(read_raw(raw), STATUS_NOT_SUPPORTED);
  raw.format_version = 0;
  EXPECT_EQ(read_raw(raw), STATUS_OK);

  raw.format_version = 2;
  raw.magic = 0;
  EXPECT_EQ(read_raw(raw), STATUS_CORRUPT);
}

TEST_F(HeaderReadTest, SystemFailuresKeepTheirStatusAndLeakNoDescriptor) {
  int fds = test::open_fd_count();
  EXPECT_EQ(header_read(dir_.file("missing.infb").c_str(), h_.get()), STATUS_NOT_FOUND);
  EXPECT_EQ(header_read(dir_.path().c_str(), h_.get()), STATUS_IO) << "a directory";

  ASSERT_EQ(read_raw(test::RawHeader{}), STATUS_OK);
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, EIO);
    EXPECT_EQ(header_read(path_.c_str(), h_.get()), STATUS_IO);
    EXPECT_TRUE(faults.fired());
  }
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, 0, 4000);  // the read comes back short
    EXPECT_EQ(header_read(path_.c_str(), h_.get()), STATUS_CORRUPT);
  }
  EXPECT_EQ(test::open_fd_count(), fds);
}

TEST_F(HeaderReadTest, UnreadableFileIsAnIoErrorNotMissing) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  ASSERT_EQ(read_raw(test::RawHeader{}), STATUS_OK);
  ASSERT_EQ(chmod(path_.c_str(), 0), 0);
  EXPECT_EQ(header_read(path_.c_str(), h_.get()), STATUS_IO);
}

TEST(HeaderInitTest, NewFullHeaderHasEveryFieldInPlace) {
  auto h = new_header(0xCC);
  int64_t before = now_seconds();
  header_init_full(h.get(), "db1", 123456789, 65536);
  int64_t after = now_seconds();
  const uint8_t* r = h->raw;

  EXPECT_EQ(memcmp(r, "BKUP", 4), 0);
  EXPECT_EQ(le_at(*h, 0x04, 2), 1u);
  EXPECT_EQ(le_at(*h, 0x06, 2), 0u);
  EXPECT_EQ(le_at(*h, 0x08, 4), 131072u);
  EXPECT_EQ(le_at(*h, 0x0C, 4), 65536u);
  EXPECT_EQ(r[0x10], 0) << "kind FULL";
  EXPECT_EQ(r[0x11], 1) << "codec zstd";
  EXPECT_EQ(memcmp(r + 0x34, r + 0x14, 16), 0) << "base_uuid is its own uuid";
  EXPECT_EQ(memcmp(r + 0x24, test::uuid_of(0).data(), 16), 0) << "no parent";
  EXPECT_NE(memcmp(r + 0x14, test::uuid_of(0).data(), 16), 0);
  EXPECT_EQ(r[0x14 + 6] >> 4, 4) << "version-4 uuid";
  auto created = static_cast<int64_t>(le_at(*h, 0x44, 8));
  EXPECT_GE(created, before);
  EXPECT_LE(created, after);
  EXPECT_EQ(le_at(*h, 0x4C, 8), 123456789u);
  EXPECT_EQ(le_at(*h, 0x54, 8), 0u);
  EXPECT_EQ(le_at(*h, 0x5C, 8), 0u);
  EXPECT_EQ(memcmp(r + 0x84, "1.0.2-alpha028\0", 15), 0);
  EXPECT_EQ(memcmp(r + 0x1E4, "db1\0", 4), 0);
  EXPECT_EQ(r[0x224], 0) << "no cipher";
  EXPECT_EQ(le_at(*h, 0x6445, 8), 0u) << "no retention";

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 0xA4)), std::string(host).substr(0, 63));
  EXPECT_EQ(r[0xA4 + 63], 0);

  // Nothing else is set: every byte after the known fields is 0.
  for (size_t i = 0xE4; i < 0x1E4; i++) ASSERT_EQ(r[i], 0) << i;
  for (size_t i = 0x225; i < HEADER_SIZE; i++) ASSERT_EQ(r[i], 0) << i;
}

TEST(HeaderInitTest, BlockSizeZeroMeansTwoMebibytes) {
  auto h = new_header();
  header_init_full(h.get(), nullptr, 0, 0);
  EXPECT_EQ(header_block_size(*h), 2097152u);
}

TEST(HeaderInitTest, NamesAreCutToSixtyThreeBytesAndMayBeAbsent) {
  auto h = new_header(0xCC);
  std::string long_name(100, 'n');
  header_init_full(h.get(), long_name.c_str(), 0, 0);
  EXPECT_EQ(memcmp(h->raw + 0x1E4, long_name.data(), 63), 0);
  EXPECT_EQ(h->raw[0x1E4 + 63], 0);
  char name[HDR_NAME_LEN];
  header_name_copy(*h, name);
  EXPECT_EQ(std::string(name), long_name.substr(0, 63));

  header_init_full(h.get(), nullptr, 0, 0);
  header_name_copy(*h, name);
  EXPECT_STREQ(name, "");
}

TEST(HeaderInitTest, EveryHeaderGetsItsOwnUuid) {
  auto a = new_header();
  auto b = new_header();
  header_init_full(a.get(), "x", 0, 0);
  header_init_full(b.get(), "x", 0, 0);
  EXPECT_NE(memcmp(header_uuid(*a), header_uuid(*b), 16), 0);
}

TEST(HeaderNameTest, UnterminatedNameIsCutAndTerminated) {
  auto h = new_header();
  memset(h->raw + 0x1E4, 'z', 64);
  h->raw[0x224] = 'y';  // the cipher byte right after must not leak in
  char name[HDR_NAME_LEN];
  memset(name, 0x55, sizeof(name));
  header_name_copy(*h, name);
  EXPECT_EQ(std::string(name), std::string(63, 'z'));
}

TEST(HeaderNameTest, WrittenHeaderReadsBackThroughTheFile) {
  test::TempDir dir;
  auto h = new_header();
  header_init_full(h.get(), "round-trip", 42, 4096);
  test::write_file(dir.file("r.infb"), std::vector<uint8_t>(h->raw, h->raw + HEADER_SIZE));
  auto back = new_header(0xEE);
  ASSERT_EQ(header_read(dir.file("r.infb").c_str(), back.get()), STATUS_OK);
  EXPECT_EQ(memcmp(h->raw, back->raw, HEADER_SIZE), 0);
}

// The scan of a directory reads only the fields; every file must get the
// verdict (and the fields) that a read of the whole header area gives it.
TEST_F(HeaderReadTest, ReadingOnlyTheKnownFieldsGivesTheVerdictOfTheWholeRead) {
  struct Case {
    std::string what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  auto with = [](const std::function<void(test::RawHeader&)>& edit, size_t length,
                 uint8_t fill = 0) {
    test::RawHeader raw;
    edit(raw);
    std::vector<uint8_t> bytes = test::raw_header_bytes(raw);
    bytes.resize(length, fill);
    return bytes;
  };
  auto none = [](test::RawHeader&) {};
  cases.push_back({"whole header", with(none, HEADER_SIZE)});
  cases.push_back({"header and a table", with(none, HEADER_SIZE + 2 * BLOCK_ENTRY_SIZE, 0x5A)});
  cases.push_back({"empty file", {}});
  cases.push_back({"100 bytes", with(none, 100)});
  cases.push_back({"4095 bytes", with(none, 4095)});
  cases.push_back({"cut inside the fields", with(none, HEADER_KNOWN_SIZE - 1)});
  cases.push_back({"fields whole, header cut", with(none, 30000)});
  cases.push_back({"one byte short", with(none, HEADER_SIZE - 1)});
  for (uint32_t size : {4096u, 8192u, 30000u}) {
    auto set = [size](test::RawHeader& r) { r.header_size = size; };
    cases.push_back({"small header " + std::to_string(size), with(set, size)});
    cases.push_back(
        {"small header and its table " + std::to_string(size), with(set, HEADER_SIZE + 100, 0xA5)});
    cases.push_back({"small header cut " + std::to_string(size), with(set, size - 1)});
  }
  for (uint32_t size : {0u, 4095u, 262144u, 4194305u, 0xFFFFFFFFu}) {
    cases.push_back({"header_size " + std::to_string(size),
                     with([size](test::RawHeader& r) { r.header_size = size; }, 300000)});
  }
  cases.push_back({"magic", with([](test::RawHeader& r) { r.magic = 0x50554B43; }, HEADER_SIZE)});
  cases.push_back(
      {"version 2", with([](test::RawHeader& r) { r.format_version = 2; }, HEADER_SIZE)});
  cases.push_back(
      {"version 0", with([](test::RawHeader& r) { r.format_version = 0; }, HEADER_SIZE)});
  cases.push_back({"version 2 and magic", with(
                                              [](test::RawHeader& r) {
                                                r.format_version = 2;
                                                r.magic = 0;
                                              },
                                              HEADER_SIZE)});

  auto whole = new_header(0xAA);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(path_, c.bytes);
    auto known = new_header(0);
    const status_t expected = header_read(path_.c_str(), whole.get());
    ASSERT_EQ(header_read_known(path_.c_str(), known.get()), expected);
    if (expected != STATUS_OK) continue;
    EXPECT_EQ(memcmp(known->raw, whole->raw, HEADER_KNOWN_SIZE), 0);
    for (size_t i = HEADER_KNOWN_SIZE; i < HEADER_SIZE; i++) ASSERT_EQ(known->raw[i], 0) << i;
  }

  // What is not a readable file, and reads that fail or come back short.
  auto known = new_header(0);
  EXPECT_EQ(header_read_known(dir_.file("missing.infb").c_str(), known.get()), STATUS_NOT_FOUND);
  EXPECT_EQ(header_read_known(dir_.path().c_str(), known.get()), STATUS_IO);
  ASSERT_EQ(mkfifo(dir_.file("fifo.infb").c_str(), 0600), 0);
  EXPECT_EQ(header_read_known(dir_.file("fifo.infb").c_str(), known.get()), STATUS_IO);
  test::write_file(path_, with(none, HEADER_SIZE));
  const int fds = test::open_fd_count();
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, EIO);
    EXPECT_EQ(header_read_known(path_.c_str(), known.get()), STATUS_IO);
  }
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, 0, 4000);
    EXPECT_EQ(header_read_known(path_.c_str(), known.get()), STATUS_CORRUPT);
  }
  EXPECT_EQ(test::open_fd_count(), fds);
}
