#include "store_writer.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "base/fs.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"
#include "store/journal.h"
#include "store/naming.h"
#include "store/uuid.h"

namespace {

// ---- Deterministic content ----
// splitmix64: tiny, fast, and good enough that RANDOM blocks do not compress.
struct prng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }
};

uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

prng block_prng(uint64_t seed, uint64_t block_id, uint64_t salt) {
  return prng{mix64(seed * 0x9E3779B97F4A7C15ull ^ mix64(block_id + 0x632BE59BD9B4E019ull) ^
                    mix64(salt + 0x2545F4914F6CDD1Dull))};
}

void fill_random(prng& r, uint8_t* out, size_t len) {
  size_t i = 0;
  for (; i + 8 <= len; i += 8) store_le64(out + i, r.next());
  if (i < len) {
    uint64_t v = r.next();
    for (; i < len; i++, v >>= 8) out[i] = static_cast<uint8_t>(v);
  }
}

// Appends text to out[pos..len), cutting at len; returns the new position.
size_t put(uint8_t* out, size_t pos, size_t len, const char* text, size_t n) {
  size_t take = std::min(n, len - pos);
  memcpy(out + pos, text, take);
  return pos + take;
}

// Text-like: application log lines with a small vocabulary, varying numbers
// and identifiers. zstd at level 3 takes it to about a fifth of its size.
void fill_text(prng& r, uint8_t* out, size_t len) {
  static const char* const levels[] = {"INFO ", "INFO ", "INFO ", "INFO ", "INFO ",
                                       "DEBUG", "DEBUG", "WARN ", "ERROR"};
  static const char* const users[] = {"alice", "bob",   "carol",  "dave",  "erin",    "frank",
                                      "grace", "heidi", "ivan",   "judy",  "mallory", "oscar",
                                      "peggy", "trent", "victor", "walter"};
  static const char* const paths[] = {
      "/api/v1/orders/",    "/api/v1/customers/", "/static/img/",   "/api/v2/invoices/",
      "/login?next=/home/", "/reports/daily/",    "/api/v1/items/", "/health/"};
  static const char* const words[] = {
      "the",     "backup",  "volume",   "block",   "request", "completed", "retry",  "session",
      "timeout", "client",  "server",   "cache",   "flushed", "written",   "queued", "records",
      "index",   "updated", "snapshot", "started", "after",   "with",      "for",    "and"};
  uint64_t t = 1700000000 + r.below(86400 * 365);
  size_t pos = 0;
  char line[320];
  while (pos < len) {
    t += r.below(3);
    time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    gmtime_r(&tt, &tmv);
    int n = static_cast<int>(strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S ", &tmv));
    uint32_t shape = r.below(8);
    if (shape < 6) {
      n += snprintf(line + n, sizeof line - static_cast<size_t>(n),
                    "%s [worker-%u] request id=%06x user=%s path=%s%u status=%u time=%ums\n",
                    levels[r.below(9)], r.below(8), r.below(0x1000000), users[r.below(16)],
                    paths[r.below(8)], r.below(50000), r.below(10) ? 200u : 404u, 1 + r.below(400));
    } else {
      n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "%s [main] ",
                    levels[r.below(9)]);
      uint32_t count = 6 + r.below(10);
      for (uint32_t k = 0; k < count && n < 280; k++)
        n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "%s%s", k ? " " : "",
                      words[r.below(24)]);
      n += snprintf(line + n, sizeof line - static_cast<size_t>(n), " (%u)\n", r.below(1000));
    }
    pos = put(out, pos, len, line, static_cast<size_t>(n));
  }
}

// Database-page-like: fixed-size records with a running key, a few small
// fields and a short random payload, about 3:1 with zstd.
void fill_records(prng& r, uint8_t* out, size_t len) {
  const size_t rec = 64;
  uint64_t key = r.next() >> 24;
  uint8_t tmpl[rec];
  fill_random(r, tmpl, rec);
  for (size_t pos = 0; pos < len; pos += rec) {
    uint8_t buf[rec];
    memcpy(buf, tmpl, rec);
    store_le64(buf, key++);
    store_le32(buf + 8, r.below(1000));
    store_le64(buf + 16, r.next());
    store_le32(buf + 24, static_cast<uint32_t>(r.next()));
    memset(buf + 40, 0, 8);
    put(out, pos, len, reinterpret_cast<const char*>(buf), rec);
  }
}

// A short pattern repeated through the block, as in preallocated or
// formatted areas; compresses by orders of magnitude.
void fill_pattern(prng& r, uint8_t* out, size_t len) {
  uint8_t pat[512];
  size_t plen = 16 + r.below(497);
  fill_random(r, pat, plen);
  for (size_t pos = 0; pos < len;) pos = put(out, pos, len, reinterpret_cast<char*>(pat), plen);
}

enum class mixed_kind : uint8_t { TEXT, RECORDS, PATTERN, ZEROS, RANDOM, HALF };

// The kinds of a realistic volume, interleaved. Any 16 consecutive blocks
// hold each kind in the same proportion, so even a small volume compresses
// about 3:1 whatever its seed.
constexpr mixed_kind MIXED_CYCLE[16] = {
    mixed_kind::TEXT,  mixed_kind::RANDOM,  mixed_kind::RECORDS, mixed_kind::ZEROS,
    mixed_kind::TEXT,  mixed_kind::PATTERN, mixed_kind::RECORDS, mixed_kind::RANDOM,
    mixed_kind::TEXT,  mixed_kind::HALF,    mixed_kind::RECORDS, mixed_kind::TEXT,
    mixed_kind::ZEROS, mixed_kind::RANDOM,  mixed_kind::TEXT,    mixed_kind::PATTERN};

void fill_mixed(uint64_t seed, uint64_t block_id, uint8_t* out, size_t len) {
  mixed_kind kind = MIXED_CYCLE[(block_id + mix64(seed)) % 16];
  prng r = block_prng(seed, block_id, 10 + static_cast<uint64_t>(kind));
  switch (kind) {
    case mixed_kind::TEXT:
      fill_text(r, out, len);
      break;
    case mixed_kind::RECORDS:
      fill_records(r, out, len);
      break;
    case mixed_kind::PATTERN:
      fill_pattern(r, out, len);
      break;
    case mixed_kind::ZEROS:
      memset(out, 0, len);
      break;
    case mixed_kind::RANDOM:
      fill_random(r, out, len);
      break;
    case mixed_kind::HALF: {
      size_t split = len / 4 + (len / 2 ? r.below(static_cast<uint32_t>(len / 2)) : 0);
      fill_text(r, out, split);
      fill_random(r, out + split, len - split);
      break;
    }
  }
}

// ---- Files ----

status_t write_all(int fd, const void* data, size_t len, uint64_t offset) {
  size_t done = 0;
  status_t st = fs_pwrite_all(fd, data, len, offset, &done);
  if (st != STATUS_OK) return st;
  return done == len ? STATUS_OK : STATUS_IO;
}

status_t read_exact(int fd, void* buf, size_t len, uint64_t offset) {
  size_t got = 0;
  status_t st = fs_pread_full(fd, buf, len, offset, &got);
  if (st != STATUS_OK) return st;
  return got == len ? STATUS_OK : STATUS_CORRUPT;
}

// Syncs and closes, reporting the first failure.
status_t sync_close(unique_fd* fd) {
  status_t st = fs_fsync(fd->get());
  status_t cst = fd->close();
  return st != STATUS_OK ? st : cst;
}

// Overwrites len bytes of an existing file in place and syncs it.
status_t patch_file(const std::string& path, uint64_t offset, const void* data, size_t len) {
  unique_fd fd;
  status_t st = fs_open(path.c_str(), O_WRONLY, 0, fd.out());
  if (st != STATUS_OK) return st;
  st = write_all(fd.get(), data, len, offset);
  if (st != STATUS_OK) return st;
  return sync_close(&fd);
}

// Writes a whole new file through "<path>.tmp", fsync and rename.
status_t write_new_file(const std::string& path, mode_t mode, const void* data, size_t len) {
  std::string tmp = path + ".tmp";
  unique_fd fd;
  status_t st = fs_create(tmp.c_str(), mode, fd.out());
  if (st == STATUS_OK) st = fs_fchmod(fd.get(), mode);
  if (st == STATUS_OK) st = write_all(fd.get(), data, len, 0);
  if (st == STATUS_OK) st = sync_close(&fd);
  if (st == STATUS_OK) st = fs_rename(tmp.c_str(), path.c_str());
  if (st == STATUS_OK) st = fs_fsync_parent(path.c_str());
  return st;
}

bool valid_stem(const std::string& s) {
  return !s.empty() && s.find('/') == std::string::npos && s.find('\\') == std::string::npos;
}

// Writes text into a fixed-width header field, cut to width - 1 bytes.
void set_text(uint8_t* field, size_t width, const std::string& text) {
  memset(field, 0, width);
  memcpy(field, text.data(), std::min(text.size(), width - 1));
}

// Payloads are gathered and written in large pieces, so that volumes of
// small blocks do not cost one write call per block.
struct image_sink {
  int fd = -1;
  uint64_t written = 0;
  std::vector<uint8_t> pending;
  static constexpr size_t FLUSH_AT = 8u << 20;

  status_t flush() {
    if (pending.empty()) return STATUS_OK;
    status_t st = write_all(fd, pending.data(), pending.size(), written);
    if (st != STATUS_OK) return st;
    written += pending.size();
    pending.clear();
    return STATUS_OK;
  }
  // Offset the next payload lands at.
  uint64_t end() const { return written + pending.size(); }
  status_t append(const uint8_t* p, size_t n) {
    pending.insert(pending.end(), p, p + n);
    return pending.size() >= FLUSH_AT ? flush() : STATUS_OK;
  }
};

}  // namespace

void writer_block_data(writer_content content, uint64_t seed, uint64_t block_id, uint8_t* out,
                       size_t len) {
  switch (content) {
    case writer_content::RANDOM: {
      prng r = block_prng(seed, block_id, 1);
      fill_random(r, out, len);
      break;
    }
    case writer_content::TEXT: {
      prng r = block_prng(seed, block_id, 2);
      fill_text(r, out, len);
      break;
    }
    case writer_content::ZEROS:
      memset(out, 0, len);
      break;
    case writer_content::MIXED:
      fill_mixed(seed, block_id, out, len);
      break;
  }
}

status_t writer_write_backup(const writer_backup_desc& desc, writer_result* out) {
  if (desc.dir.empty() || desc.kind > KIND_INC || desc.codec > CODEC_LZ4 ||
      desc.cipher > CIPHER_CHACHA20_POLY1305)
    return STATUS_INVALID;
  if (desc.cipher != CIPHER_NONE && desc.key.size() != CIPHER_KEY_SIZE) return STATUS_INVALID;
  if ((desc.kind == KIND_FULL) != desc.parent_meta.empty()) return STATUS_INVALID;
  if (!desc.file_stem.empty() && !valid_stem(desc.file_stem)) return STATUS_INVALID;

  auto header = std::make_unique<backup_header>();
  const int64_t created = desc.created != 0 ? desc.created : now_seconds();
  if (desc.kind == KIND_FULL) {
    uint32_t bs = desc.block_size != 0 ? desc.block_size : DEFAULT_BLOCK_SIZE;
    header_init_full(header.get(), desc.name.c_str(), desc.volume_size, bs);
    header_set_codec(header.get(), desc.codec);
    // Opaque to the maintenance tool; filled so that tests can see it carried
    // along a chain and into rewrites.
    char info[128];
    snprintf(info, sizeof info, "source=/dev/mapper/%s seed=%llu", desc.name.c_str(),
             static_cast<unsigned long long>(desc.seed));
    set_text(header->raw + HDR_SOURCE_INFO, HDR_SOURCE_INFO_LEN, info);
  } else {
    auto parent = std::make_unique<backup_header>();
    status_t st = header_read(desc.parent_meta.c_str(), parent.get());
    if (st != STATUS_OK) return st;
    header_init_full(header.get(), desc.name.c_str(), header_volume_size(*parent),
                     header_block_size(*parent));
    header_set_kind(header.get(), desc.kind);
    header_set_codec(header.get(), header_codec(*parent));
    memcpy(header->raw + HDR_PARENT_UUID, header_uuid(*parent), UUID_SIZE);
    memcpy(header->raw + HDR_BASE_UUID, header_base_uuid(*parent), UUID_SIZE);
    memcpy(header->raw + HDR_SOURCE_INFO, parent->raw + HDR_SOURCE_INFO, HDR_SOURCE_INFO_LEN);
  }
  header_set_created(header.get(), created);
  header_set_cipher(header.get(), desc.cipher);
  if (desc.retain_until != 0) {
    header_set_retain_until(header.get(), desc.retain_until);
    set_text(header->raw + HDR_RETENTION_INFO, HDR_RETENTION_UNIT_LEN - 8, "policy=mkstore");
  }

  const uint32_t block_size = header_block_size(*header);
  const uint64_t volume_size = header_volume_size(*header);
  if (block_size == 0) return STATUS_INVALID;
  const uint64_t volume_blocks = volume_size / block_size + (volume_size % block_size ? 1 : 0);

  // Which blocks get a payload, and which get a NO_DATA entry.
  std::set<uint64_t> no_data(desc.no_data_blocks.begin(), desc.no_data_blocks.end());
  std::set<uint64_t> with_data(desc.blocks.begin(), desc.blocks.end());
  if (desc.blocks.empty()) {
    for (uint64_t id = 0; id < volume_blocks; id++)
      if (!no_data.count(id)) with_data.insert(id);
  } else {
    for (uint64_t id : with_data)
      if (no_data.count(id)) return STATUS_INVALID;
  }
  std::set<uint64_t> all(with_data);
  all.insert(no_data.begin(), no_data.end());

  // File names.
  std::string meta_path, image_path;
  if (!desc.file_stem.empty()) {
    std::string base = desc.dir + "/" + desc.file_stem;
    meta_path = base + meta_ext_for_kind(desc.kind);
    image_path = base + image_ext_for_kind(desc.kind);
    if (meta_path.size() >= PATH_CAP || image_path.size() >= PATH_CAP) return STATUS_INVALID;
    if (fs_exists(meta_path.c_str()) || fs_exists(image_path.c_str())) return STATUS_EXISTS;
  } else {
    char m[PATH_CAP], i[PATH_CAP];
    status_t st = new_backup_paths(desc.dir.c_str(), desc.name.c_str(), desc.kind, created, m,
                                   sizeof m, i, sizeof i);
    if (st != STATUS_OK) return st;
    meta_path = m;
    image_path = i;
  }

  // The image: payloads back to back in table order, through a temporary name.
  const std::string image_tmp = image_path + ".tmp";
  unique_fd fd;
  status_t st = fs_create(image_tmp.c_str(), 0644, fd.out());
  if (st != STATUS_OK) return st;
  image_sink sink;
  sink.fd = fd.get();
  std::vector<uint8_t> raw(block_size), packed(codec_bound(desc.codec, block_size)),
      sealed(sealed_size(desc.cipher, std::max<size_t>(packed.size(), block_size)));
  std::vector<uint8_t> zeros;
  std::vector<block_entry> table;
  table.reserve(all.size());
  for (uint64_t id : all) {
    // Ids past the end of the volume are written as whole blocks; a chain map ignores them.
    const uint32_t len = id + 1 == volume_blocks && volume_size % block_size != 0
                             ? static_cast<uint32_t>(volume_size % block_size)
                             : block_size;
    block_entry e;
    e.block_id = id;
    e.raw_len = len;
    if (no_data.count(id)) {
      // A block the agent found nothing to store for: it reads as zeros.
      zeros.assign(len, 0);
      e.offset = NO_OFFSET;
      e.flags = BLOCK_FLAG_NO_DATA;
      e.codec = CODEC_NONE;
      sha256_digest(zeros.data(), len, e.sha256);
      table.push_back(e);
      continue;
    }
    writer_block_data(desc.content, desc.seed, id, raw.data(), len);
    sha256_digest(raw.data(), len, e.sha256);
    const uint8_t* payload = raw.data();
    size_t n =
        codec_compress(desc.codec, desc.level, raw.data(), len, packed.data(), packed.size());
    if (n != 0) {
      payload = packed.data();
      e.codec = desc.codec;
    } else {
      n = len;
      e.codec = CODEC_NONE;
    }
    if (desc.cipher != CIPHER_NONE) {
      n = seal_block(desc.cipher, desc.key.data(), payload, n, sealed.data(), sealed.size());
      payload = sealed.data();
    }
    e.offset = sink.end();
    e.stored_len = static_cast<uint32_t>(n);
    st = sink.append(payload, n);
    if (st != STATUS_OK) return st;
    table.push_back(e);
  }
  st = sink.flush();
  if (st == STATUS_OK) st = sync_close(&fd);
  if (st == STATUS_OK) st = fs_rename(image_tmp.c_str(), image_path.c_str());
  if (st != STATUS_OK) return st;

  header_set_image_bytes(header.get(), sink.written);
  st = meta_write(meta_path.c_str(), 0644, *header, table.data(), table.size());
  if (st != STATUS_OK) return st;

  out->meta_path = meta_path;
  out->image_path = image_path;
  memcpy(out->uuid, header_uuid(*header), UUID_SIZE);
  out->table = std::move(table);
  return STATUS_OK;
}

status_t writer_flip_payload_byte(const writer_result& b, uint64_t block_id,
                                  uint32_t byte_in_payload) {
  auto it = std::find_if(b.table.begin(), b.table.end(),
                         [&](const block_entry& e) { return e.block_id == block_id; });
  if (it == b.table.end()) return STATUS_NOT_FOUND;
  if ((it->flags & BLOCK_FLAG_NO_DATA) || byte_in_payload >= it->stored_len) return STATUS_INVALID;
  unique_fd fd;
  status_t st = fs_open(b.image_path.c_str(), O_RDWR, 0, fd.out());
  if (st != STATUS_OK) return st;
  uint8_t byte = 0;
  const uint64_t at = it->offset + byte_in_payload;
  st = read_exact(fd.get(), &byte, 1, at);
  if (st != STATUS_OK) return st;
  byte ^= 0xFF;
  st = write_all(fd.get(), &byte, 1, at);
  if (st != STATUS_OK) return st;
  return sync_close(&fd);
}

status_t writer_truncate_image(const writer_result& b, uint64_t length) {
  unique_fd fd;
  status_t st = fs_open(b.image_path.c_str(), O_WRONLY, 0, fd.out());
  if (st != STATUS_OK) return st;
  st = fs_ftruncate(fd.get(), length);
  if (st != STATUS_OK) return st;
  return sync_close(&fd);
}

status_t writer_break_table_digest(const writer_result& b) {
  unique_fd fd;
  status_t st = fs_open_read(b.meta_path.c_str(), fd.out());
  if (st != STATUS_OK) return st;
  uint8_t byte = 0;
  st = read_exact(fd.get(), &byte, 1, HDR_TABLE_SHA256);
  if (st != STATUS_OK) return st;
  (void)fd.close();
  byte ^= 0xFF;
  return patch_file(b.meta_path, HDR_TABLE_SHA256, &byte, 1);
}

status_t writer_set_format_version(const writer_result& b, uint16_t version) {
  uint8_t v[2];
  store_le16(v, version);
  return patch_file(b.meta_path, HDR_FORMAT_VERSION, v, sizeof v);
}

status_t writer_set_magic(const writer_result& b, uint32_t magic) {
  uint8_t v[4];
  store_le32(v, magic);
  return patch_file(b.meta_path, HDR_MAGIC, v, sizeof v);
}

status_t writer_write_key_file(const std::string& path, const uint8_t key[32]) {
  static const char digits[] = "0123456789abcdef";
  char text[65];
  for (int i = 0; i < 32; i++) {
    text[2 * i] = digits[key[i] >> 4];
    text[2 * i + 1] = digits[key[i] & 15];
  }
  text[64] = '\n';
  if (fs_exists(path.c_str())) return STATUS_EXISTS;
  return write_new_file(path, 0600, text, sizeof text);
}

// ---- Upload journal ----
// Layout: store/journal.h, shared with the reader.
namespace {

void put_record(std::vector<uint8_t>* out, const uint8_t payload[BLOCK_ENTRY_SIZE], uint8_t type) {
  uint8_t rec[JOURNAL_RECORD_SIZE] = {};
  memcpy(rec, payload, BLOCK_ENTRY_SIZE);
  rec[JR_TYPE] = type;
  store_le32(rec + JR_CRC, crc32c_update(0, rec, JR_CRC));
  out->insert(out->end(), rec, rec + JOURNAL_RECORD_SIZE);
}

}  // namespace

status_t writer_write_journal(const writer_journal_desc& desc, writer_journal_result* out) {
  if (desc.dir.empty() || !valid_stem(desc.stem) || desc.body_size > JOURNAL_BODY_MAX)
    return STATUS_INVALID;
  const std::string image_name = desc.stem + image_ext_for_kind(desc.kind);
  const std::string recorded_name = desc.stem + meta_ext_for_kind(desc.kind);
  if (image_name.size() >= JOURNAL_NAME_LEN) return STATUS_INVALID;
  const std::string journal_path = desc.dir + "/" + desc.stem + ".part";
  const std::string image_path = desc.dir + "/" + image_name + ".tmp";
  if (journal_path.size() >= PATH_CAP || image_path.size() >= PATH_CAP) return STATUS_INVALID;

  // Header and body, then the records.
  const size_t body_len = desc.body_size != 0 ? desc.body_size : JOURNAL_BODY_DEFAULT;
  std::vector<uint8_t> file(JOURNAL_HEADER_SIZE + body_len, 0);
  uint8_t* h = file.data();
  memcpy(h + JH_MAGIC, "ZUVJ", 4);
  store_le32(h + JH_VERSION, JOURNAL_VERSION);
  store_le32(h + JH_BODY_SIZE, desc.body_size);
  set_text(h + JH_RECORDED_NAME, JOURNAL_NAME_LEN, recorded_name);
  set_text(h + JH_IMAGE_NAME, JOURNAL_NAME_LEN, image_name);
  auto body = std::make_unique<backup_header>();
  header_init_full(body.get(), desc.name.c_str(), 1ull << 30, DEFAULT_BLOCK_SIZE);
  header_set_kind(body.get(), desc.kind);
  memcpy(h + JOURNAL_HEADER_SIZE, body->raw, std::min(body_len, HEADER_SIZE));
  uint32_t crc = crc32c_update(0, h + JH_RECORDED_NAME, JH_CRC_END - JH_RECORDED_NAME);
  crc = crc32c_update(crc, h + JOURNAL_HEADER_SIZE, body_len);
  store_le32(h + JH_CRC, crc);

  uint64_t count = 0;
  for (const block_entry& e : desc.records) {
    uint8_t enc[BLOCK_ENTRY_SIZE];
    block_entry_encode(e, enc);
    put_record(&file, enc, JOURNAL_BLOCK);
    count++;
  }
  for (uint64_t id : desc.removed_blocks) {
    uint8_t payload[BLOCK_ENTRY_SIZE] = {};
    store_le64(payload, id);
    put_record(&file, payload, JOURNAL_REMOVE);
    count++;
  }
  if (desc.commit) {
    uint8_t payload[BLOCK_ENTRY_SIZE] = {};
    store_le64(payload, count);
    store_le64(payload + 8, desc.commit_value);
    put_record(&file, payload, JOURNAL_COMMIT);
  }

  // The partial image first: a journal never names an image that is not there.
  if (desc.partial_image_bytes >= 0) {
    unique_fd fd;
    status_t st = fs_create(image_path.c_str(), 0640, fd.out());
    if (st != STATUS_OK) return st;
    std::vector<uint8_t> chunk(1u << 20);
    const uint64_t total = static_cast<uint64_t>(desc.partial_image_bytes);
    for (uint64_t pos = 0, piece = 0; pos < total; pos += chunk.size(), piece++) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), total - pos));
      writer_block_data(writer_content::RANDOM, 7, piece, chunk.data(), n);
      st = write_all(fd.get(), chunk.data(), n, pos);
      if (st != STATUS_OK) return st;
    }
    st = sync_close(&fd);
    if (st != STATUS_OK) return st;
  }

  unique_fd fd;
  status_t st = fs_open(journal_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640, fd.out());
  if (st != STATUS_OK) return st;
  st = write_all(fd.get(), file.data(), file.size(), 0);
  if (st == STATUS_OK) st = sync_close(&fd);
  if (st == STATUS_OK) st = fs_fsync_parent(journal_path.c_str());
  if (st != STATUS_OK) return st;

  out->journal_path = journal_path;
  out->partial_image_path = desc.partial_image_bytes >= 0 ? image_path : std::string();
  memcpy(out->uuid, header_uuid(*body), UUID_SIZE);
  return STATUS_OK;
}
