#include "store_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"
#include "codec/key_file.h"
#include "store/backup.h"
#include "store/header.h"
#include "store/naming.h"
#include "store/uuid.h"
#include "support/test_util.h"

namespace {

const std::vector<uint8_t> KEY = [] {
  std::vector<uint8_t> k(32);
  for (size_t i = 0; i < k.size(); i++) k[i] = static_cast<uint8_t>(0xA0 + i);
  return k;
}();

std::vector<uint8_t> block_data(writer_content c, uint64_t seed, uint64_t id, size_t len) {
  std::vector<uint8_t> v(len);
  writer_block_data(c, seed, id, v.data(), len);
  return v;
}

writer_result write_ok(const writer_backup_desc& desc) {
  writer_result r;
  status_t st = writer_write_backup(desc, &r);
  EXPECT_EQ(st, STATUS_OK);
  return r;
}

// What one stored block decodes to, the way scrub decodes it; a status
// other than 0 or a mismatch with the entry means the block is damaged.
struct decoded {
  status_t status = STATUS_OK;
  std::vector<uint8_t> bytes;
};

decoded decode_block(const loaded_backup& b, const block_entry& e, const uint8_t* key) {
  decoded d;
  const uint32_t bs = header_block_size(*b.header);
  const uint8_t cipher = header_cipher(*b.header);
  std::vector<uint8_t> stored(e.stored_len), opened(bs), out(bs);
  int fd = -1;
  d.status = fs_open_read(b.image_path.c_str(), &fd);
  if (d.status != STATUS_OK) return d;
  unique_fd owner(fd);
  size_t got = 0;
  d.status = fs_pread(fd, stored.data(), stored.size(), e.offset, &got);
  if (d.status == STATUS_OK && got != e.stored_len) d.status = STATUS_CORRUPT;
  if (d.status != STATUS_OK) return d;
  const uint8_t* payload = stored.data();
  size_t len = got;
  if (cipher != CIPHER_NONE) {
    d.status = open_block(cipher, key, stored.data(), got, opened.data(), opened.size(), &len);
    if (d.status != STATUS_OK) return d;
    payload = opened.data();
  }
  size_t produced = 0;
  d.status = codec_decompress(e.codec, payload, len, out.data(), out.size(), &produced);
  if (d.status != STATUS_OK) return d;
  uint8_t sha[32];
  sha256_digest(out.data(), produced, sha);
  if (produced != e.raw_len || memcmp(sha, e.sha256, 32) != 0) d.status = STATUS_CORRUPT;
  out.resize(produced);
  d.bytes = std::move(out);
  return d;
}

// Loads a written backup and checks every block against the generator.
void expect_decodes_to_generator(const writer_result& r, writer_content content, uint64_t seed,
                                 const uint8_t* key = nullptr) {
  loaded_backup b;
  ASSERT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_OK);
  ASSERT_EQ(b.table.size(), r.table.size());
  for (const block_entry& e : b.table) {
    if (e.flags & BLOCK_FLAG_NO_DATA) continue;
    decoded d = decode_block(b, e, key);
    ASSERT_EQ(d.status, STATUS_OK) << "block " << e.block_id;
    EXPECT_EQ(d.bytes, block_data(content, seed, e.block_id, e.raw_len)) << "block " << e.block_id;
  }
  backup_release(&b);
}

bool same_entry(const block_entry& a, const block_entry& b) {
  return a.block_id == b.block_id && a.offset == b.offset && a.stored_len == b.stored_len &&
         a.raw_len == b.raw_len && a.codec == b.codec && a.flags == b.flags &&
         memcmp(a.sha256, b.sha256, 32) == 0;
}

std::string file_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

// ---- Content ----

TEST(StoreWriterTest, GeneratorsAreDeterministicPerSeedAndBlock) {
  for (writer_content c : {writer_content::RANDOM, writer_content::TEXT, writer_content::MIXED}) {
    EXPECT_EQ(block_data(c, 5, 9, 65536), block_data(c, 5, 9, 65536));
    EXPECT_NE(block_data(c, 5, 9, 65536), block_data(c, 6, 9, 65536));
    EXPECT_NE(block_data(c, 5, 9, 65536), block_data(c, 5, 10, 65536));
  }
  EXPECT_EQ(block_data(writer_content::ZEROS, 5, 9, 4096), std::vector<uint8_t>(4096, 0));
  // Odd lengths are filled exactly, including the last few bytes.
  std::vector<uint8_t> v(1001, 0xEE);
  writer_block_data(writer_content::TEXT, 1, 1, v.data(), 1000);
  EXPECT_EQ(v[1000], 0xEE);
  EXPECT_NE(std::count(v.begin(), v.begin() + 1000, 0xEE), 1000);
}

TEST(StoreWriterTest, RandomIsIncompressibleAndTextCompressesWell) {
  const size_t n = 1 << 20;
  std::vector<uint8_t> dst(codec_bound(CODEC_ZSTD, n));
  auto rnd = block_data(writer_content::RANDOM, 1, 0, n);
  EXPECT_EQ(codec_compress(CODEC_ZSTD, 3, rnd.data(), n, dst.data(), dst.size()), 0u);
  auto text = block_data(writer_content::TEXT, 1, 0, n);
  size_t z = codec_compress(CODEC_ZSTD, 3, text.data(), n, dst.data(), dst.size());
  EXPECT_GT(z, 0u);
  EXPECT_LT(z, n / 3);
}

TEST(StoreWriterTest, MixedCompressesAboutThreeToOneWithSomeBlocksIncompressible) {
  const size_t bs = 1 << 20;
  std::vector<uint8_t> dst(codec_bound(CODEC_ZSTD, bs));
  for (int level : {3, 9}) {
    uint64_t stored = 0, raw = 0, incompressible = 0;
    for (uint64_t id = 0; id < 32; id++) {
      auto b = block_data(writer_content::MIXED, 3, id, bs);
      size_t z = codec_compress(CODEC_ZSTD, level, b.data(), bs, dst.data(), dst.size());
      if (z == 0) incompressible++;
      stored += z ? z : bs;
      raw += bs;
    }
    double ratio = static_cast<double>(raw) / static_cast<double>(stored);
    EXPECT_GT(ratio, 2.5) << "level " << level;
    EXPECT_LT(ratio, 3.6) << "level " << level;
    EXPECT_GT(incompressible, 0u);
    EXPECT_LT(incompressible, 16u);
  }
}

// ---- Backups ----

struct EncodingCase {
  uint8_t codec;
  uint8_t cipher;
};

class StoreWriterEncodingTest : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(StoreWriterEncodingTest, FullBackupLoadsAndDecodesBlockByBlockToTheGeneratorsData) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.name = "vol";
  s.block_size = 65536;
  s.volume_size = 20 * 65536 + 1234;  // the last block is short
  s.codec = GetParam().codec;
  s.cipher = GetParam().cipher;
  if (s.cipher) s.key = KEY;
  s.created = 1700000000;
  s.retain_until = 1800000000;
  s.seed = 42;
  const int fds = test::open_fd_count();
  writer_result r = write_ok(s);
  EXPECT_EQ(test::open_fd_count(), fds);
  expect_decodes_to_generator(r, writer_content::MIXED, 42, KEY.data());

  loaded_backup b;
  ASSERT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_OK);
  const backup_header& h = *b.header;
  EXPECT_EQ(header_kind(h), KIND_FULL);
  EXPECT_EQ(header_block_size(h), 65536u);
  EXPECT_EQ(header_volume_size(h), s.volume_size);
  EXPECT_EQ(header_created(h), 1700000000);
  EXPECT_EQ(header_retain_until(h), 1800000000);
  EXPECT_EQ(header_cipher(h), s.cipher);
  EXPECT_EQ(header_codec(h), s.codec);
  EXPECT_TRUE(uuid_equal(header_uuid(h), r.uuid));
  EXPECT_TRUE(uuid_equal(header_base_uuid(h), r.uuid));
  EXPECT_TRUE(uuid_is_zero(header_parent_uuid(h)));
  char name[HDR_NAME_LEN];
  header_name_copy(h, name);
  EXPECT_STREQ(name, "vol");

  // Every block, in order, back to back from offset 0; the image is exactly
  // image_bytes long; the returned table is the one on disk.
  ASSERT_EQ(b.table.size(), 21u);
  uint64_t offset = 0;
  bool compressed = false, raw = false;
  for (size_t i = 0; i < b.table.size(); i++) {
    const block_entry& e = b.table[i];
    EXPECT_TRUE(same_entry(e, r.table[i]));
    EXPECT_EQ(e.block_id, i);
    EXPECT_EQ(e.offset, offset);
    EXPECT_EQ(e.raw_len, i == 20 ? 1234u : 65536u);
    EXPECT_TRUE(block_entry_fits(e, 65536, s.cipher));
    EXPECT_TRUE(e.codec == s.codec || e.codec == CODEC_NONE);
    if (e.codec == CODEC_NONE) {
      raw = true;
      EXPECT_EQ(e.stored_len, sealed_size(s.cipher, e.raw_len));
    } else {
      compressed = true;
      EXPECT_LT(e.stored_len, sealed_size(s.cipher, e.raw_len));
    }
    offset += e.stored_len;
  }
  EXPECT_EQ(header_image_bytes(h), offset);
  EXPECT_EQ(test::file_size(r.image_path), offset);
  EXPECT_TRUE(raw);
  EXPECT_EQ(compressed, s.codec != CODEC_NONE);
  backup_release(&b);
}

std::string encoding_name(const ::testing::TestParamInfo<EncodingCase>& info) {
  static const char* const codecs[] = {"Raw", "Zstd", "Lz4"};
  static const char* const ciphers[] = {"Plain", "Aes", "Chacha"};
  return std::string(codecs[info.param.codec]) + ciphers[info.param.cipher];
}

INSTANTIATE_TEST_SUITE_P(CodecsAndCiphers, StoreWriterEncodingTest,
                         ::testing::Values(EncodingCase{CODEC_ZSTD, CIPHER_NONE},
                                           EncodingCase{CODEC_LZ4, CIPHER_NONE},
                                           EncodingCase{CODEC_NONE, CIPHER_NONE},
                                           EncodingCase{CODEC_ZSTD, CIPHER_AES_256_GCM},
                                           EncodingCase{CODEC_LZ4, CIPHER_CHACHA20_POLY1305},
                                           EncodingCase{CODEC_NONE, CIPHER_AES_256_GCM}),
                         encoding_name);

TEST(StoreWriterTest, BlocksThatDoNotShrinkAreStoredRaw) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.content = writer_content::RANDOM;
  s.level = 19;
  writer_result r = write_ok(s);
  ASSERT_EQ(r.table.size(), 16u);
  for (const block_entry& e : r.table) {
    EXPECT_EQ(e.codec, CODEC_NONE);
    EXPECT_EQ(e.stored_len, e.raw_len);
  }
  expect_decodes_to_generator(r, writer_content::RANDOM, 1);
}

TEST(StoreWriterTest, EncryptedBackupDoesNotOpenWithAnotherKey) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.cipher = CIPHER_AES_256_GCM;
  s.key = KEY;
  s.blocks = {2};
  writer_result r = write_ok(s);
  loaded_backup b;
  ASSERT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_OK);
  std::vector<uint8_t> other = KEY;
  other[31] ^= 1;
  EXPECT_EQ(decode_block(b, b.table[0], other.data()).status, STATUS_DECRYPT);
  EXPECT_EQ(decode_block(b, b.table[0], KEY.data()).status, STATUS_OK);
  backup_release(&b);
}

TEST(StoreWriterTest, ChainLinksAndInheritsFromTheParent) {
  test::TempDir dir;
  writer_backup_desc f;
  f.dir = dir.path();
  f.block_size = 32768;
  f.volume_size = 8 * 32768;
  f.codec = CODEC_LZ4;
  f.created = 1700000000;
  writer_result full = write_ok(f);

  writer_backup_desc d;
  d.dir = dir.path();
  d.kind = KIND_DIFF;
  d.parent_meta = full.meta_path;
  d.block_size = 999;    // ignored: a DIFF takes the parent's
  d.volume_size = 1;     // likewise
  d.codec = CODEC_ZSTD;  // the blocks' codec; the header keeps the chain's
  d.seed = 2;
  d.blocks = {1, 4};
  d.created = 1700086400;
  writer_result diff = write_ok(d);

  writer_backup_desc i = d;
  i.kind = KIND_INC;
  i.parent_meta = diff.meta_path;
  i.seed = 3;
  i.blocks = {4, 7};
  i.created = 1700172800;
  writer_result inc = write_ok(i);

  backup_header hf, hd, hi;
  ASSERT_EQ(header_read(full.meta_path.c_str(), &hf), STATUS_OK);
  ASSERT_EQ(header_read(diff.meta_path.c_str(), &hd), STATUS_OK);
  ASSERT_EQ(header_read(inc.meta_path.c_str(), &hi), STATUS_OK);
  EXPECT_EQ(header_kind(hd), KIND_DIFF);
  EXPECT_EQ(header_kind(hi), KIND_INC);
  EXPECT_TRUE(uuid_equal(header_parent_uuid(hd), full.uuid));
  EXPECT_TRUE(uuid_equal(header_base_uuid(hd), full.uuid));
  EXPECT_TRUE(uuid_equal(header_parent_uuid(hi), diff.uuid));
  EXPECT_TRUE(uuid_equal(header_base_uuid(hi), full.uuid));
  EXPECT_FALSE(uuid_equal(diff.uuid, full.uuid));
  EXPECT_FALSE(uuid_equal(inc.uuid, diff.uuid));
  for (const backup_header* h : {&hd, &hi}) {
    EXPECT_EQ(header_block_size(*h), 32768u);
    EXPECT_EQ(header_volume_size(*h), 8u * 32768);
    EXPECT_EQ(header_codec(*h), CODEC_LZ4);
    EXPECT_EQ(memcmp(h->raw + HDR_SOURCE_INFO, hf.raw + HDR_SOURCE_INFO, HDR_SOURCE_INFO_LEN), 0);
  }
  EXPECT_NE(hf.raw[HDR_SOURCE_INFO], 0);  // something to carry
  EXPECT_EQ(header_created(hi), 1700172800);

  // Standard names carry the kind's extension and the creation stamp.
  EXPECT_EQ(file_name(full.meta_path), "db-202311142213.infb");
  EXPECT_EQ(file_name(diff.meta_path), "db-202311152213.indb");
  EXPECT_EQ(file_name(inc.image_path), "db-202311162213.csib");

  ASSERT_EQ(diff.table.size(), 2u);
  EXPECT_EQ(diff.table[1].block_id, 4u);
  expect_decodes_to_generator(diff, writer_content::MIXED, 2);
  expect_decodes_to_generator(inc, writer_content::MIXED, 3);
}

TEST(StoreWriterTest, NoDataEntriesTakeNoImageBytes) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.block_size = 4096;
  s.volume_size = 6 * 4096;
  s.no_data_blocks = {1, 3};
  writer_result r = write_ok(s);
  ASSERT_EQ(r.table.size(), 6u);  // blocks empty: every other block has data
  uint64_t bytes = 0;
  uint8_t zero_sha[32];
  std::vector<uint8_t> zeros(4096, 0);
  sha256_digest(zeros.data(), zeros.size(), zero_sha);
  for (const block_entry& e : r.table) {
    bool nd = e.block_id == 1 || e.block_id == 3;
    EXPECT_EQ((e.flags & BLOCK_FLAG_NO_DATA) != 0, nd) << e.block_id;
    if (nd) {
      EXPECT_EQ(e.offset, NO_OFFSET);
      EXPECT_EQ(e.stored_len, 0u);
      EXPECT_EQ(e.raw_len, 4096u);
      EXPECT_EQ(memcmp(e.sha256, zero_sha, 32), 0);
    } else {
      EXPECT_EQ(e.offset, bytes);
      bytes += e.stored_len;
    }
  }
  EXPECT_EQ(test::file_size(r.image_path), bytes);
  expect_decodes_to_generator(r, writer_content::MIXED, 1);

  // Explicit lists: payloads only where asked, NO_DATA merged in id order.
  s.file_stem = "explicit";
  s.blocks = {5, 0};
  s.no_data_blocks = {2};
  r = write_ok(s);
  ASSERT_EQ(r.table.size(), 3u);
  EXPECT_EQ(r.table[0].block_id, 0u);
  EXPECT_EQ(r.table[1].block_id, 2u);
  EXPECT_EQ(r.table[2].block_id, 5u);
  EXPECT_EQ(r.table[2].raw_len, 4096u);
}

TEST(StoreWriterTest, EmptyVolumeMakesAnEmptyTable) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.volume_size = 0;
  writer_result r = write_ok(s);
  EXPECT_TRUE(r.table.empty());
  EXPECT_EQ(test::file_size(r.meta_path), HEADER_SIZE);
  EXPECT_EQ(test::file_size(r.image_path), 0u);
  loaded_backup b;
  EXPECT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_OK);
  backup_release(&b);
}

TEST(StoreWriterTest, NamesNeverCollide) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.created = 1700000000;
  writer_result a = write_ok(s), b = write_ok(s);
  EXPECT_EQ(file_name(a.meta_path), "db-202311142213.infb");
  EXPECT_EQ(file_name(b.meta_path), "db-202311142213-2.infb");

  s.file_stem = "fixed";
  writer_result c = write_ok(s);
  EXPECT_EQ(c.meta_path, dir.file("fixed.infb"));
  EXPECT_EQ(c.image_path, dir.file("fixed.csfb"));
  writer_result again;
  EXPECT_EQ(writer_write_backup(s, &again), STATUS_EXISTS);
  EXPECT_TRUE(again.meta_path.empty());
  // No temporary file is left behind by a finished write.
  for (const std::string& n : test::list_dir(dir.path()))
    EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

TEST(StoreWriterTest, RefusesSpecsThatMakeNoSense) {
  test::TempDir dir;
  writer_result r;
  writer_backup_desc s;
  s.dir = dir.path();
  writer_backup_desc t = s;
  t.kind = KIND_DIFF;  // no parent
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_INVALID);
  t.parent_meta = dir.file("missing.infb");
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_NOT_FOUND);
  t = s;
  t.parent_meta = dir.file("x.infb");  // a FULL has no parent
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_INVALID);
  t = s;
  t.cipher = CIPHER_CHACHA20_POLY1305;  // no key
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_INVALID);
  t = s;
  t.blocks = {1};
  t.no_data_blocks = {1};
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_INVALID);
  t = s;
  t.name = "a/b";
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_INVALID);
  t = s;
  t.codec = 3;
  EXPECT_EQ(writer_write_backup(t, &r), STATUS_INVALID);
  EXPECT_TRUE(test::list_dir(dir.path()).empty());
}

TEST(StoreWriterTest, MetaFileAppearsOnlyAfterTheImageIsDurable) {
  test::TempDir dir;
  writer_backup_desc s;
  s.dir = dir.path();
  s.file_stem = "b";
  for (fs_op op : {FS_OP_PWRITE, FS_OP_FSYNC, FS_OP_RENAME}) {
    writer_result r;
    {
      test::FaultInjector faults;
      faults.only({op});
      faults.fail_at(1, EIO);
      EXPECT_EQ(writer_write_backup(s, &r), STATUS_IO);
      EXPECT_TRUE(faults.fired());
    }
    EXPECT_FALSE(test::file_exists(dir.file("b.infb"))) << op;
    EXPECT_FALSE(test::file_exists(dir.file("b.csfb"))) << op;
    EXPECT_TRUE(r.meta_path.empty());
  }
}

// ---- Damage ----

class StoreWriterDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writer_backup_desc s;
    s.dir = dir.path();
    s.block_size = 65536;
    s.volume_size = 6 * 65536;
    s.no_data_blocks = {5};
    r = write_ok(s);
  }
  // Block ids that no longer decode.
  std::vector<uint64_t> bad_blocks() {
    std::vector<uint64_t> bad;
    loaded_backup b;
    EXPECT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_OK);
    for (const block_entry& e : b.table)
      if (!(e.flags & BLOCK_FLAG_NO_DATA) && decode_block(b, e, nullptr).status != STATUS_OK)
        bad.push_back(e.block_id);
    backup_release(&b);
    return bad;
  }
  test::TempDir dir;
  writer_result r;
};

TEST_F(StoreWriterDamageTest, FlippedPayloadByteSpoilsOnlyThatBlock) {
  for (uint64_t id : {0, 1, 2, 3}) {
    ASSERT_EQ(writer_flip_payload_byte(r, id, r.table[id].stored_len / 2), STATUS_OK);
    EXPECT_EQ(bad_blocks(), std::vector<uint64_t>(1, id));
    // Flipping the same byte again restores it.
    ASSERT_EQ(writer_flip_payload_byte(r, id, r.table[id].stored_len / 2), STATUS_OK);
    EXPECT_TRUE(bad_blocks().empty());
  }
  EXPECT_EQ(writer_flip_payload_byte(r, 5, 0), STATUS_INVALID);  // NO_DATA
  EXPECT_EQ(writer_flip_payload_byte(r, 0, r.table[0].stored_len), STATUS_INVALID);
  EXPECT_EQ(writer_flip_payload_byte(r, 9, 0), STATUS_NOT_FOUND);
}

TEST_F(StoreWriterDamageTest, TruncatedImageLosesTheBlocksPastTheCut) {
  ASSERT_EQ(writer_truncate_image(r, r.table[3].offset + 1), STATUS_OK);
  EXPECT_EQ(test::file_size(r.image_path), r.table[3].offset + 1);
  EXPECT_EQ(bad_blocks(), (std::vector<uint64_t>{3, 4}));
}

TEST_F(StoreWriterDamageTest, HeaderDamageIsRefusedByTheReaders) {
  loaded_backup b;
  ASSERT_EQ(writer_break_table_digest(r), STATUS_OK);
  EXPECT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_CORRUPT);
  ASSERT_EQ(writer_break_table_digest(r), STATUS_OK);  // flipped back
  EXPECT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_OK);
  backup_release(&b);

  backup_header h;
  ASSERT_EQ(writer_set_format_version(r, 2), STATUS_OK);
  EXPECT_EQ(header_read(r.meta_path.c_str(), &h), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(backup_load(r.meta_path.c_str(), &b), STATUS_NOT_SUPPORTED);
  ASSERT_EQ(writer_set_magic(r, 0x50554B43), STATUS_OK);
  EXPECT_EQ(header_read(r.meta_path.c_str(), &h), STATUS_CORRUPT);  // magic is checked first
  ASSERT_EQ(writer_set_magic(r, HEADER_MAGIC), STATUS_OK);
  ASSERT_EQ(writer_set_format_version(r, FORMAT_VERSION), STATUS_OK);
  EXPECT_EQ(header_read(r.meta_path.c_str(), &h), STATUS_OK);
  // Bytes stored little-endian at their offsets.
  auto meta = test::read_file(r.meta_path);
  EXPECT_EQ(std::vector<uint8_t>(meta.begin(), meta.begin() + 6),
            (std::vector<uint8_t>{'B', 'K', 'U', 'P', 1, 0}));

  writer_result missing = r;
  missing.meta_path = dir.file("none.infb");
  EXPECT_EQ(writer_set_magic(missing, 0), STATUS_NOT_FOUND);
}

// ---- Upload journal ----

namespace {
block_entry sample_entry(uint64_t id) {
  block_entry e;
  e.block_id = id;
  e.offset = id * 1000;
  e.stored_len = 1000;
  e.raw_len = 2097152;
  e.codec = CODEC_ZSTD;
  for (int k = 0; k < 32; k++) e.sha256[k] = static_cast<uint8_t>(id + k);
  return e;
}
}  // namespace

TEST(StoreWriterJournalTest, HeaderBodyAndRecordsCarryValidChecksums) {
  test::TempDir dir;
  writer_journal_desc s;
  s.dir = dir.path();
  s.stem = "up1";
  s.kind = KIND_INC;
  s.name = "db";
  s.records = {sample_entry(7), sample_entry(2)};
  s.removed_blocks = {9};
  s.commit_value = 0x1122334455667788ull;
  writer_journal_result r;
  ASSERT_EQ(writer_write_journal(s, &r), STATUS_OK);
  EXPECT_EQ(r.journal_path, dir.file("up1.part"));
  EXPECT_EQ(r.partial_image_path, dir.file("up1.csib.tmp"));
  EXPECT_EQ(test::file_size(r.partial_image_path), 1572864u);

  auto j = test::read_file(r.journal_path);
  const size_t body = 131072;
  ASSERT_EQ(j.size(), 512 + body + 4 * 64);
  EXPECT_EQ(memcmp(j.data(), "ZUVJ", 4), 0);
  EXPECT_EQ(load_le32(&j[4]), 1u);
  EXPECT_EQ(load_le32(&j[12]), body);
  EXPECT_STREQ(reinterpret_cast<const char*>(&j[256]), "up1.csib");
  EXPECT_STREQ(reinterpret_cast<const char*>(&j[16]), "up1.inib");
  EXPECT_EQ(j[255], 0);
  EXPECT_EQ(j[495], 0);
  uint32_t crc = crc32c_update(0, &j[16], 480);
  crc = crc32c_update(crc, &j[512], body);
  EXPECT_EQ(load_le32(&j[8]), crc);

  // The body is the header of the backup being uploaded.
  backup_header h;
  memcpy(h.raw, &j[512], HEADER_SIZE);
  EXPECT_EQ(header_magic(h), HEADER_MAGIC);
  EXPECT_EQ(header_kind(h), KIND_INC);
  EXPECT_TRUE(uuid_equal(header_uuid(h), r.uuid));
  char name[HDR_NAME_LEN];
  header_name_copy(h, name);
  EXPECT_STREQ(name, "db");

  const uint8_t* rec = &j[512 + body];
  const uint8_t types[] = {1, 1, 2, 3};
  for (int i = 0; i < 4; i++, rec += 64) {
    EXPECT_EQ(rec[58], types[i]) << i;
    EXPECT_EQ(rec[59], 0);
    EXPECT_EQ(load_le32(rec + 60), crc32c_update(0, rec, 60)) << i;
  }
  rec = &j[512 + body];
  block_entry e;
  block_entry_decode(rec + 64, &e);
  EXPECT_TRUE(same_entry(e, sample_entry(2)));
  EXPECT_EQ(load_le64(rec + 128), 9u);
  EXPECT_EQ(load_le64(rec + 192), 3u);  // record_count: every block and remove before it
  EXPECT_EQ(load_le64(rec + 200), s.commit_value);
  for (int k = 16; k < 58; k++) EXPECT_EQ(rec[192 + k], 0);
}

TEST(StoreWriterJournalTest, VariantsForTheReadersEdgeCases) {
  test::TempDir dir;
  writer_journal_desc s;
  s.dir = dir.path();
  s.stem = "small";
  s.body_size = 0;  // read as a 4096-byte body
  s.commit = false;
  s.records = {sample_entry(1)};
  s.partial_image_bytes = -1;
  writer_journal_result r;
  ASSERT_EQ(writer_write_journal(s, &r), STATUS_OK);
  EXPECT_TRUE(r.partial_image_path.empty());
  EXPECT_FALSE(test::file_exists(dir.file("small.csfb.tmp")));
  auto j = test::read_file(r.journal_path);
  ASSERT_EQ(j.size(), 512u + 4096 + 64);
  EXPECT_EQ(load_le32(&j[12]), 0u);
  uint32_t crc = crc32c_update(crc32c_update(0, &j[16], 480), &j[512], 4096);
  EXPECT_EQ(load_le32(&j[8]), crc);
  EXPECT_EQ(j[512 + 4096 + 58], 1);  // no commit record

  // An existing journal is never overwritten.
  EXPECT_EQ(writer_write_journal(s, &r), STATUS_EXISTS);

  s.stem = "empty";
  s.partial_image_bytes = 0;
  s.commit = true;
  s.records.clear();
  ASSERT_EQ(writer_write_journal(s, &r), STATUS_OK);
  EXPECT_EQ(test::file_size(r.partial_image_path), 0u);
  j = test::read_file(r.journal_path);
  ASSERT_EQ(j.size(), 512u + 4096 + 64);
  EXPECT_EQ(j[512 + 4096 + 58], 3);
  EXPECT_EQ(load_le64(&j[512 + 4096]), 0u);

  struct stat st;
  ASSERT_EQ(stat(r.journal_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// ---- Key file ----

TEST(StoreWriterTest, KeyFileIsReadBackByTheLibraryAndPrivate) {
  test::TempDir dir;
  const std::string path = dir.file("k.key");
  ASSERT_EQ(writer_write_key_file(path, KEY.data()), STATUS_OK);
  EXPECT_EQ(test::read_text(path),
            "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf\n");
  uint8_t key[32];
  ASSERT_EQ(load_key_file(path.c_str(), key), STATUS_OK);
  EXPECT_EQ(std::vector<uint8_t>(key, key + 32), KEY);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(writer_write_key_file(path, KEY.data()), STATUS_EXISTS);
}

// ---- zuv_mkstore ----

#ifdef ZUV_MKSTORE_PATH
namespace {
test::RunResult mkstore(const std::vector<std::string>& args) {
  return test::run(ZUV_MKSTORE_PATH, args);
}
std::string first_line(const std::string& s) {
  return s.substr(0, s.find('\n'));
}
}  // namespace

TEST(MkstoreTest, MakesAChainAnEncryptedBackupAndAnUploadFromTheCommandLine) {
  test::TempDir dir;
  auto full = mkstore({"backup", "--dir", dir.path(), "--name", "db", "--block-size", "64K",
                       "--volume-size", "1M", "--created", "now-3d", "--retain-until", "now+30d",
                       "--content", "text", "--seed", "5", "--no-data", "14-15"});
  ASSERT_EQ(full.exit_status, 0) << full.err;
  const std::string full_meta = first_line(full.out);
  loaded_backup b;
  ASSERT_EQ(backup_load(full_meta.c_str(), &b), STATUS_OK);
  EXPECT_EQ(header_block_size(*b.header), 65536u);
  EXPECT_EQ(b.table.size(), 16u);
  EXPECT_TRUE(b.table[15].flags & BLOCK_FLAG_NO_DATA);
  int64_t age = time(nullptr) - header_created(*b.header);
  EXPECT_GE(age, 3 * 86400);
  EXPECT_LT(age, 3 * 86400 + 60);
  EXPECT_GT(header_retain_until(*b.header), time(nullptr) + 29 * 86400);
  decoded d = decode_block(b, b.table[3], nullptr);
  ASSERT_EQ(d.status, STATUS_OK);
  EXPECT_EQ(d.bytes, block_data(writer_content::TEXT, 5, 3, 65536));
  backup_release(&b);

  auto inc = mkstore({"backup", "--dir", dir.path(), "--kind", "inc", "--parent", full_meta,
                      "--blocks", "0-2,9", "--seed", "6", "--codec", "lz4"});
  ASSERT_EQ(inc.exit_status, 0) << inc.err;
  ASSERT_EQ(backup_load(first_line(inc.out).c_str(), &b), STATUS_OK);
  EXPECT_EQ(b.table.size(), 4u);
  EXPECT_EQ(b.table[3].block_id, 9u);
  backup_release(&b);

  const std::string key = dir.file("v.key");
  ASSERT_EQ(mkstore({"key", "--out", key}).exit_status, 0);
  auto enc = mkstore({"backup", "--dir", dir.path(), "--name", "vault", "--cipher", "chacha",
                      "--key-file", key, "--stem", "vault"});
  ASSERT_EQ(enc.exit_status, 0) << enc.err;
  EXPECT_EQ(first_line(enc.out), dir.file("vault.infb"));
  uint8_t k[32];
  ASSERT_EQ(load_key_file(key.c_str(), k), STATUS_OK);
  ASSERT_EQ(backup_load(dir.file("vault.infb").c_str(), &b), STATUS_OK);
  EXPECT_EQ(header_cipher(*b.header), CIPHER_CHACHA20_POLY1305);
  EXPECT_EQ(decode_block(b, b.table[0], k).status, STATUS_OK);
  backup_release(&b);

  // The default flip lands in the middle of the payload.
  auto dmg = mkstore({"damage", "--meta", dir.file("vault.infb"), "flip-byte", "2"});
  ASSERT_EQ(dmg.exit_status, 0) << dmg.err;
  ASSERT_EQ(backup_load(dir.file("vault.infb").c_str(), &b), STATUS_OK);
  EXPECT_EQ(decode_block(b, b.table[2], k).status, STATUS_DECRYPT);
  EXPECT_EQ(decode_block(b, b.table[1], k).status, STATUS_OK);
  backup_release(&b);
  ASSERT_EQ(mkstore({"damage", "--meta", full_meta, "version", "7"}).exit_status, 0);
  backup_header h;
  EXPECT_EQ(header_read(full_meta.c_str(), &h), STATUS_NOT_SUPPORTED);
  ASSERT_EQ(mkstore({"damage", "--meta", full_meta, "magic", "0x12345678"}).exit_status, 0);
  EXPECT_EQ(header_read(full_meta.c_str(), &h), STATUS_CORRUPT);

  auto up = mkstore(
      {"journal", "--dir", dir.path(), "--stem", "u", "--kind", "diff", "--image-bytes", "1536K"});
  ASSERT_EQ(up.exit_status, 0) << up.err;
  EXPECT_EQ(first_line(up.out), dir.file("u.part"));
  EXPECT_EQ(test::file_size(dir.file("u.csdb.tmp")), 1572864u);
  EXPECT_EQ(test::file_size(dir.file("u.part")), 512u + 131072 + 4 * 64);
}

TEST(MkstoreTest, UsageErrorsExitTwoAndStoreFailuresExitOne) {
  test::TempDir dir;
  auto help = mkstore({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("zuv_mkstore backup --dir D"), std::string::npos);

  struct {
    std::vector<std::string> args;
    std::string line;
  } usage[] = {
      {{}, "zuv_mkstore: no command given"},
      {{"bake"}, "zuv_mkstore: unknown command 'bake'"},
      {{"backup"}, "zuv_mkstore: backup needs --dir"},
      {{"backup", "--dir", dir.path(), "--colour", "red"},
       "zuv_mkstore: unknown option '--colour' for backup"},
      {{"backup", "--dir", dir.path(), "--kind", "diff"},
       "zuv_mkstore: a diff or inc backup needs --parent"},
      {{"backup", "--dir", dir.path(), "--block-size", "12Q"},
       "zuv_mkstore: bad --block-size '12Q'"},
      {{"backup", "--dir", dir.path(), "--cipher", "aes"},
       "zuv_mkstore: --cipher and --key-file go together"},
      {{"backup", "--dir", dir.path(), "--blocks", "5-2"}, "zuv_mkstore: bad --blocks range '5-2'"},
      {{"backup", "--dir", dir.path(), "--created", "now-3w"},
       "zuv_mkstore: bad --created 'now-3w'"},
      {{"damage", "--meta", dir.file("x.txt"), "break-digest"},
       "zuv_mkstore: --meta '" + dir.file("x.txt") + "' is not a meta file name"},
      {{"journal", "--dir", dir.path(), "--level", "3"},
       "zuv_mkstore: unknown option '--level' for journal"},
  };
  for (const auto& u : usage) {
    auto r = mkstore(u.args);
    EXPECT_EQ(r.exit_status, 2) << u.line;
    EXPECT_EQ(r.err, u.line + "\nTry 'zuv_mkstore --help'.\n");
    EXPECT_EQ(r.out, "");
  }

  auto r = mkstore({"backup", "--dir", dir.file("nowhere")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "zuv_mkstore: backup failed: not found (status=-4)\n");
  r = mkstore({"damage", "--meta", dir.file("gone.infb"), "flip-byte", "0"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "zuv_mkstore: loading the backup failed: not found (status=-4)\n");
  r = mkstore({"backup", "--dir", dir.path(), "--cipher", "aes", "--key-file", dir.file("no.key")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(first_line(r.err), "zuv_mkstore: cannot load --key-file " + dir.file("no.key") +
                                   ": not found (status=-4)");
  EXPECT_TRUE(test::list_dir(dir.path()).empty());
}
#endif
