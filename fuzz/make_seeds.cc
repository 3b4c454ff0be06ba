// Writes the seed corpora of the fuzz targets: small, valid inputs (and a few
// near misses) from which the fuzzer mutates. Run by scripts/fuzz.sh --seeds;
// the output is committed under fuzz/corpus/<target>/, a few KB per file.
//
//   zuv_fuzz_make_seeds <corpus dir>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/journal.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string g_root;

void put(const char* target, const char* name, const bytes& data) {
  std::string dir = g_root + "/" + target;
  mkdir(g_root.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::string path = dir + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
    perror(path.c_str());
    exit(1);
  }
}

bytes text(const std::string& s) {
  return bytes(s.begin(), s.end());
}

bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Compressible but not trivial block contents.
bytes sample(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>((i / 7) * seed + (i % 5));
  return b;
}

block_entry entry(uint64_t id, uint64_t offset, uint32_t stored, uint32_t raw, uint8_t codec,
                  uint8_t flags) {
  block_entry e;
  e.block_id = id;
  e.offset = offset;
  e.stored_len = stored;
  e.raw_len = raw;
  e.codec = codec;
  e.flags = flags;
  for (size_t i = 0; i < sizeof e.sha256; i++) e.sha256[i] = static_cast<uint8_t>(id * 31 + i);
  return e;
}

// A meta file with a 4096-byte header (the smallest a reader takes), so the
// seed stays small while the table is read at header_size.
bytes meta(uint8_t kind, uint8_t cipher, const std::vector<block_entry>& table) {
  bytes m(HEADER_SIZE_MIN);
  store_le32(&m[HDR_MAGIC], HEADER_MAGIC);
  store_le16(&m[HDR_FORMAT_VERSION], FORMAT_VERSION);
  store_le32(&m[HDR_HEADER_SIZE], HEADER_SIZE_MIN);
  store_le32(&m[HDR_BLOCK_SIZE], 65536);
  m[HDR_KIND] = kind;
  m[HDR_CODEC] = CODEC_ZSTD;
  for (int i = 0; i < 16; i++) {
    m[HDR_UUID + i] = static_cast<uint8_t>(0x10 + i);
    m[HDR_BASE_UUID + i] = static_cast<uint8_t>(kind == KIND_FULL ? 0x10 + i : 0x40 + i);
    if (kind != KIND_FULL) m[HDR_PARENT_UUID + i] = static_cast<uint8_t>(0x40 + i);
  }
  store_le64(&m[HDR_CREATED], 1700000000);
  store_le64(&m[HDR_VOLUME_SIZE], 65536 * 8);
  store_le64(&m[HDR_BLOCK_COUNT], table.size());
  memcpy(&m[HDR_PRODUCER_VERSION], "1.0.2", 5);
  memcpy(&m[HDR_HOST_NAME], "host", 4);
  memcpy(&m[HDR_NAME], "db", 2);
  m[HDR_CIPHER] = cipher;
  bytes t(table.size() * BLOCK_ENTRY_SIZE);
  for (size_t i = 0; i < table.size(); i++) block_entry_encode(table[i], &t[i * BLOCK_ENTRY_SIZE]);
  if (!table.empty()) sha256_digest(t.data(), t.size(), &m[HDR_TABLE_SHA256]);
  return cat(m, t);
}

void meta_seeds() {
  const std::vector<block_entry> table = {
      entry(0, 0, 900, 65536, CODEC_ZSTD, 0),
      entry(1, 900, 1200, 65536, CODEC_LZ4, 0),
      entry(3, NO_OFFSET, 0, 0, CODEC_NONE, BLOCK_FLAG_NO_DATA),
      entry(7, 2100, 65536, 65536, CODEC_NONE, 0),
  };
  const bytes mode_fix = {1};
  const bytes mode_raw = {0};
  put("meta", "full", cat(mode_fix, meta(KIND_FULL, CIPHER_NONE, table)));
  put("meta", "empty-table", cat(mode_raw, meta(KIND_FULL, CIPHER_NONE, {})));
  put("meta", "inc-sealed",
      cat(mode_fix, meta(KIND_INC, CIPHER_AES_256_GCM,
                         {entry(2, 0, 65536 + SEAL_OVERHEAD, 65536, CODEC_NONE, 0)})));
  bytes newer = meta(KIND_DIFF, CIPHER_NONE, table);
  store_le16(&newer[HDR_FORMAT_VERSION], 2);
  put("meta", "newer-version", cat(mode_fix, newer));
  bytes bad_digest = meta(KIND_FULL, CIPHER_NONE, table);
  bad_digest.back() ^= 1;
  put("meta", "bad-digest", cat(mode_raw, bad_digest));
}

bytes record(uint8_t type, const uint8_t* payload, size_t n) {
  bytes r(JOURNAL_RECORD_SIZE);
  memcpy(r.data(), payload, n);
  r[JR_TYPE] = type;
  store_le32(&r[JR_CRC], crc32c_update(0, r.data(), JR_CRC));
  return r;
}

bytes block_record(const block_entry& e) {
  uint8_t raw[BLOCK_ENTRY_SIZE];
  block_entry_encode(e, raw);
  return record(JOURNAL_BLOCK, raw, sizeof raw);
}

bytes u64_record(uint8_t type, uint64_t a, uint64_t b) {
  uint8_t raw[16];
  store_le64(raw, a);
  store_le64(raw + 8, b);
  return record(type, raw, type == JOURNAL_COMMIT ? 16 : 8);
}

bytes journal_records() {
  bytes r;
  r = cat(r, block_record(entry(0, 0, 900, 65536, CODEC_ZSTD, 0)));
  r = cat(r, block_record(entry(2, 900, 1200, 65536, CODEC_LZ4, 0)));
  r = cat(r, u64_record(JOURNAL_REMOVE, 0, 0));
  r = cat(r, u64_record(JOURNAL_COMMIT, 3, 2100));
  r = cat(r, block_record(entry(5, 2100, 500, 65536, CODEC_ZSTD, 0)));  // never committed
  return r;
}

bytes journal(const char* image_name) {
  bytes h(JOURNAL_HEADER_SIZE);
  memcpy(&h[JH_MAGIC], "ZUVJ", 4);
  store_le32(&h[JH_VERSION], JOURNAL_VERSION);
  store_le32(&h[JH_BODY_SIZE], 0);  // the default, 4096
  memcpy(&h[JH_RECORDED_NAME], "db-2026-12-07_0000.infb", 23);
  memcpy(&h[JH_IMAGE_NAME], image_name, strlen(image_name));
  bytes body = meta(KIND_FULL, CIPHER_NONE, {});
  body.resize(JOURNAL_BODY_DEFAULT);
  uint32_t crc = crc32c_update(0, &h[JH_CRC_START], JH_CRC_END - JH_CRC_START);
  crc = crc32c_update(crc, body.data(), body.size());
  store_le32(&h[JH_CRC], crc);
  return cat(cat(h, body), journal_records());
}

void journal_seeds() {
  put("journal", "upload", cat({0}, journal("db-2026-12-07_0000.csfb")));
  put("journal", "upload-refix", cat({3}, journal("db-2026-12-07_0000.csfb")));
  put("journal", "unsafe-image-name", cat({1}, journal("../escape.csfb")));
  put("journal", "records-only", cat({2}, journal_records()));
}

void key_file_seeds() {
  const std::string hex = "00112233445566778899aabbccddeeff0123456789abcdefFEDCBA9876543210";
  put("key_file", "plain", text(hex + "\n"));
  put("key_file", "crlf-blanks", text(hex + " \t\r\n\n"));
  put("key_file", "short", text(hex.substr(1) + "\n"));
  put("key_file", "long", text(hex + "0\n"));
  put("key_file", "not-hex", text("g" + hex.substr(1) + "\n"));
}

void acl_seeds() {
  // The fuzz target reads, in order, a key, a --dir list and a directory,
  // each ended by a backslash and another character, then the ACL text.
  put("acl", "entries",
      text("k3y\\;db/*, logs/**\\;db/prod\\;"
           "# keys\n"
           "k3y db/*, logs/** ; comment\n"
           "other\tbackups/**,\"quoted\"\n"
           "a=b 'x y'\n"
           "z=\"a\\\"b\" # c\n"));
  put("acl", "bad-line", text("key\\;a,b,c,d,e,f,g,h,i\\;a/../b\\;key ../up\n"));
  put("acl", "unclosed", text("k\\;x#y\\;x\\;k dir=\"open\n"));
}

void block_seeds() {
  const uint8_t key[CIPHER_KEY_SIZE] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                        12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                        23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  const bytes plain = sample(4096, 3);
  auto with_cap = [](uint8_t id, size_t cap, const bytes& payload) {
    bytes b = {id, static_cast<uint8_t>(cap >> 8), static_cast<uint8_t>(cap)};
    return cat(b, payload);
  };
  for (uint8_t codec : {CODEC_ZSTD, CODEC_LZ4}) {
    bytes packed(codec_bound(codec, plain.size()));
    size_t n = codec_compress(codec, 3, plain.data(), plain.size(), packed.data(), packed.size());
    if (n == 0) exit(1);
    packed.resize(n);
    std::string name = codec == CODEC_ZSTD ? "zstd" : "lz4";
    put("block", name.c_str(), with_cap(codec, plain.size(), packed));
    put("block", (name + "-small-cap").c_str(), with_cap(codec, plain.size() / 2, packed));
  }
  for (uint8_t id : {CIPHER_AES_256_GCM, CIPHER_CHACHA20_POLY1305}) {
    bytes small(plain.begin(), plain.begin() + 256);
    bytes sealed(sealed_size(id, small.size()));
    seal_block(id, key, small.data(), small.size(), sealed.data(), sealed.size());
    put("block", id == CIPHER_AES_256_GCM ? "aes" : "chacha", with_cap(id, small.size(), sealed));
  }
  put("block", "raw", with_cap(CODEC_NONE, 64, sample(64, 5)));
}

void options_seeds() {
  auto argv = [](uint8_t positional, std::initializer_list<const char*> words) {
    bytes b = {positional};
    bool first = true;
    for (const char* w : words) {
      if (!first) b.push_back(0);
      first = false;
      b.insert(b.end(), w, w + strlen(w));
    }
    return b;
  };
  put("options", "values",
      argv(1, {"recompress", "--dir", "/srv/backups", "--level=-5", "--dir-mode", "0700"}));
  put("options", "unknown",
      argv(1, {"x", "--bogus", "value", "--odd=1", "--force=1", "-h", "--", "--after"}));
  put("options", "positionals", argv(0, {"a", "-", "b", "--dry-run", "--level"}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: zuv_fuzz_make_seeds CORPUS_DIR\n");
    return 2;
  }
  g_root = argv[1];
  meta_seeds();
  journal_seeds();
  key_file_seeds();
  acl_seeds();
  block_seeds();
  options_seeds();
  return 0;
}
