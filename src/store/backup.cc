#include "store/backup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <limits>
#include <new>

#include "base/fs.h"
#include "base/log.h"
#include "codec/digest.h"
#include "store/naming.h"
#include "store/uuid.h"

namespace {

// The table is read, hashed and decoded this many entries at a time, so a
// large table never sits in memory twice (raw bytes and decoded entries).
constexpr size_t LOAD_CHUNK_ENTRIES = 16384;

// Reads block_count entries at header_size, verifying them against the
// header's table_sha256. *table is filled only on success.
status_t table_read(const char* meta_path, const backup_header& h,
                    std::vector<block_entry>* table) {
  const uint64_t count = header_block_count(h);
  const uint64_t start = header_size_field(h);

  // A damaged block_count must never turn into a huge allocation: the table
  // has to fit in the file that claims to hold it.
  if (count > std::numeric_limits<uint64_t>::max() / BLOCK_ENTRY_SIZE) return STATUS_CORRUPT;
  const uint64_t table_len = count * BLOCK_ENTRY_SIZE;
  if (table_len > std::numeric_limits<size_t>::max()) return STATUS_CORRUPT;
  unique_fd fd;
  status_t s = fs_open_regular(meta_path, O_RDONLY, 0, fd.out());
  if (s != STATUS_OK) return s;
  struct stat st;
  s = fs_fstat(fd.get(), &st);
  if (s != STATUS_OK) return s;
  const auto file_size = static_cast<uint64_t>(st.st_size);
  if (table_len > file_size || start > file_size - table_len) return STATUS_CORRUPT;

  std::vector<block_entry> entries;
  std::vector<uint8_t> raw;
  try {
    entries.resize(static_cast<size_t>(count));
    raw.resize(static_cast<size_t>(count < LOAD_CHUNK_ENTRIES ? count : LOAD_CHUNK_ENTRIES) *
               BLOCK_ENTRY_SIZE);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }

  sha256_handle sha = nullptr;
  sha256_begin(&sha);
  size_t done = 0;
  while (done < count) {
    size_t n = count - done < LOAD_CHUNK_ENTRIES ? count - done : LOAD_CHUNK_ENTRIES;
    size_t len = n * BLOCK_ENTRY_SIZE;
    size_t got = 0;
    s = fs_pread_full(fd.get(), raw.data(), len, start + done * BLOCK_ENTRY_SIZE, &got);
    if (s == STATUS_OK && got < len) s = STATUS_CORRUPT;
    if (s != STATUS_OK) {
      uint8_t discard[SHA256_SIZE];
      sha256_finish(&sha, discard);
      return s;
    }
    sha256_update(&sha, raw.data(), len);
    for (size_t i = 0; i < n; i++) {
      block_entry_decode(raw.data() + i * BLOCK_ENTRY_SIZE, &entries[done + i]);
    }
    done += n;
  }
  (void)fd.close();
  uint8_t digest[SHA256_SIZE];
  sha256_finish(&sha, digest);
  if (!digest_equal(digest, h.raw + HDR_TABLE_SHA256, SHA256_SIZE)) return STATUS_CORRUPT;
  table->swap(entries);
  return STATUS_OK;
}

}  // namespace

void block_entry_decode(const uint8_t src[BLOCK_ENTRY_SIZE], block_entry* out) {
  out->block_id = load_le64(src + ENT_BLOCK_ID);
  out->offset = load_le64(src + ENT_OFFSET);
  out->stored_len = load_le32(src + ENT_STORED_LEN);
  out->raw_len = load_le32(src + ENT_RAW_LEN);
  out->codec = src[ENT_CODEC];
  out->flags = src[ENT_FLAGS];
  memcpy(out->sha256, src + ENT_SHA256, sizeof(out->sha256));
}

void block_entry_encode(const block_entry& e, uint8_t dst[BLOCK_ENTRY_SIZE]) {
  store_le64(dst + ENT_BLOCK_ID, e.block_id);
  store_le64(dst + ENT_OFFSET, e.offset);
  store_le32(dst + ENT_STORED_LEN, e.stored_len);
  store_le32(dst + ENT_RAW_LEN, e.raw_len);
  dst[ENT_CODEC] = e.codec;
  dst[ENT_FLAGS] = e.flags;
  memcpy(dst + ENT_SHA256, e.sha256, sizeof(e.sha256));
}

bool block_entry_fits(const block_entry& e, uint32_t block_size, uint8_t cipher) {
  // 64-bit sum: a block_size near the top of u32 must not wrap the limit.
  uint64_t stored_max = uint64_t{block_size} + (cipher != CIPHER_NONE ? SEAL_OVERHEAD : 0);
  return e.stored_len <= stored_max && e.raw_len <= block_size;
}

namespace {

// Loads the header and table of read_path as the backup of meta_path whose
// payloads lie in image_path (all three the same backup's unless a rewrite
// was interrupted; see backup_load_whole).
status_t load_from(const char* read_path, const char* meta_path, const char* image_path,
                   loaded_backup* out) {
  std::unique_ptr<backup_header> header;
  try {
    header = std::make_unique<backup_header>();
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  status_t s = header_read(read_path, header.get());
  if (s != STATUS_OK) return s;
  try {
    out->meta_path = meta_path;
    out->header = std::move(header);
    if (!image_path) return STATUS_INVALID;  // the header stays loaded, with no table
    out->image_path = image_path;
  } catch (const std::bad_alloc&) {
    backup_release(out);
    return STATUS_NO_MEMORY;
  }
  if (header_block_count(*out->header) == 0) return STATUS_OK;
  return table_read(read_path, *out->header, &out->table);
}

}  // namespace

status_t backup_load(const char* meta_path, loaded_backup* out) {
  backup_release(out);
  out->meta_path.clear();
  out->image_path.clear();
  char image[PATH_CAP];
  const bool named = image_path_for_meta(meta_path, image, sizeof(image)) == STATUS_OK;
  return load_from(meta_path, meta_path, named ? image : nullptr, out);
}

void backup_release(loaded_backup* b) {
  b->header.reset();
  std::vector<block_entry>().swap(b->table);
}

namespace {

// STATUS_OK when the meta file at path verifies whole (header and table) and
// belongs to the backup of header old; STATUS_NO_MEMORY or STATUS_IO when
// that could not be found out; STATUS_CORRUPT otherwise.
status_t meta_file_verifies(const char* path, const backup_header& old, backup_header* scratch) {
  status_t s = header_read(path, scratch);
  if (s == STATUS_OK && memcmp(header_uuid(*scratch), header_uuid(old), UUID_SIZE) != 0)
    s = STATUS_CORRUPT;
  if (s == STATUS_OK && header_block_count(*scratch) != 0) {
    std::vector<block_entry> table;
    s = table_read(path, *scratch, &table);
  }
  if (s == STATUS_OK || s == STATUS_NO_MEMORY || s == STATUS_IO) return s;
  return STATUS_CORRUPT;
}

}  // namespace

status_t backup_rewrite_inspect(const char* meta_path, backup_rewrite_view* out) {
  out->state = BACKUP_PAIR_WHOLE;
  char image[PATH_CAP];
  if (image_path_for_meta(meta_path, image, sizeof image) != STATUS_OK) return STATUS_OK;
  std::unique_ptr<backup_header> old_h, new_h;
  try {
    out->image = image;
    out->spare = std::string(image) + BACKUP_SPARE_SUFFIX;
    out->tmp_meta = std::string(meta_path) + ".tmp";
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }

  // Only the states between the two renames need anything: a spare that is
  // not the image in place, beside a new meta file not yet renamed. A spare
  // that is another name of the image predates the first rename; one
  // without a new meta file outlived the second.
  struct stat sp, im, tm;
  status_t s = fs_stat(out->spare.c_str(), &sp);
  if (s == STATUS_NOT_FOUND) return STATUS_OK;
  if (s == STATUS_OK) s = fs_stat(image, &im);
  if (s == STATUS_NOT_FOUND) return STATUS_OK;  // no image: its readers report it
  if (s != STATUS_OK) return s;
  out->state = BACKUP_PAIR_STALE_SPARE;
  if (sp.st_dev == im.st_dev && sp.st_ino == im.st_ino) return STATUS_OK;
  s = fs_stat(out->tmp_meta.c_str(), &tm);
  if (s == STATUS_NOT_FOUND) return STATUS_OK;
  if (s != STATUS_OK) return s;

  out->state = BACKUP_PAIR_UNDECIDED;
  try {
    old_h = std::make_unique<backup_header>();
    new_h = std::make_unique<backup_header>();
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  // Without the meta file's header neither pair can be judged: the state
  // stays unknown, and a damaged meta file is reported as such.
  s = header_read(meta_path, old_h.get());
  if (s != STATUS_OK) return s;
  const uint64_t old_fits = header_image_bytes(*old_h);
  // Both whole pairs need the spare to be the image the meta file describes.
  if (static_cast<uint64_t>(sp.st_size) != old_fits) return STATUS_OK;
  s = meta_file_verifies(out->tmp_meta.c_str(), *old_h, new_h.get());
  // Not knowing is not a verdict: the pair is left for a later reader.
  if (s == STATUS_NO_MEMORY || s == STATUS_IO) return s;
  if (s == STATUS_OK && header_image_bytes(*new_h) == static_cast<uint64_t>(im.st_size)) {
    out->state = BACKUP_PAIR_FINISHABLE;
  } else if (static_cast<uint64_t>(im.st_size) != old_fits) {
    out->state = BACKUP_PAIR_UNDOABLE;
  }
  return STATUS_OK;
}

status_t backup_load_whole(const char* meta_path, loaded_backup* out, int* state) {
  backup_release(out);
  out->meta_path.clear();
  out->image_path.clear();
  *state = BACKUP_PAIR_WHOLE;
  backup_rewrite_view view;
  status_t s = backup_rewrite_inspect(meta_path, &view);
  if (s != STATUS_OK) return s;
  *state = view.state;
  if (view.state == BACKUP_PAIR_FINISHABLE)
    return load_from(view.tmp_meta.c_str(), meta_path, view.image.c_str(), out);
  if (view.state == BACKUP_PAIR_UNDOABLE)
    return load_from(meta_path, meta_path, view.spare.c_str(), out);
  return backup_load(meta_path, out);
}

void backup_warn_interrupted(const char* meta_path) {
  log_write(LOG_WARN_LEVEL,
            "%s: interrupted recompress; the next recompress, prune or delete in this directory "
            "finishes it",
            meta_path);
}

status_t backup_finish_rewrite(const char* meta_path, int* outcome) {
  *outcome = BACKUP_REWRITE_NONE;
  backup_rewrite_view view;
  status_t s = backup_rewrite_inspect(meta_path, &view);
  if (s != STATUS_OK) return s;
  if (view.state == BACKUP_PAIR_FINISHABLE) {
    s = fs_rename(view.tmp_meta.c_str(), meta_path);
    if (s == STATUS_OK) s = fs_fsync_parent(meta_path);
    if (s != STATUS_OK) return s;
    (void)fs_remove(view.spare.c_str());  // only the old image now, which nothing describes
    log_write(LOG_WARN_LEVEL, "finished an interrupted recompress of %s", meta_path);
    *outcome = BACKUP_REWRITE_FINISHED;
  } else if (view.state == BACKUP_PAIR_UNDOABLE) {
    s = fs_rename(view.spare.c_str(), view.image.c_str());
    if (s == STATUS_OK) s = fs_fsync_parent(view.image.c_str());
    if (s != STATUS_OK) return s;
    log_write(LOG_WARN_LEVEL, "undid an interrupted recompress of %s", meta_path);
    *outcome = BACKUP_REWRITE_UNDONE;
  }
  return STATUS_OK;
}

status_t meta_write_temp(const char* dest_path, mode_t mode, const backup_header& header,
                         const block_entry* entries, size_t count) {
  if (count > std::numeric_limits<size_t>::max() / BLOCK_ENTRY_SIZE) return STATUS_NO_MEMORY;
  const size_t table_len = count * BLOCK_ENTRY_SIZE;

  std::unique_ptr<backup_header> copy;
  std::vector<uint8_t> table;
  std::string tmp_path;
  try {
    copy = std::make_unique<backup_header>(header);
    table.resize(table_len);
    tmp_path = std::string(dest_path) + ".tmp";
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }

  for (size_t i = 0; i < count; i++) {
    block_entry_encode(entries[i], table.data() + i * BLOCK_ENTRY_SIZE);
  }
  store_le64(copy->raw + HDR_BLOCK_COUNT, count);
  store_le32(copy->raw + HDR_HEADER_SIZE, static_cast<uint32_t>(HEADER_SIZE));
  if (count > 0) {
    sha256_handle sha = nullptr;
    sha256_begin(&sha);
    sha256_update(&sha, table.data(), table_len);
    sha256_finish(&sha, copy->raw + HDR_TABLE_SHA256);
  } else {
    memset(copy->raw + HDR_TABLE_SHA256, 0, SHA256_SIZE);
  }

  // Readers only ever see the old file or the complete new one: the new
  // contents are made durable under the temporary name before the rename.
  unique_fd fd;
  status_t s = fs_create_temp(tmp_path.c_str(), mode, fd.out());
  if (s != STATUS_OK) return s;
  size_t put = 0;
  s = fs_pwrite_all(fd.get(), copy->raw, HEADER_SIZE, 0, &put);
  if (s != STATUS_OK) return s;
  if (put < HEADER_SIZE) return STATUS_IO;
  if (table_len > 0) {
    s = fs_pwrite_all(fd.get(), table.data(), table_len, HEADER_SIZE, &put);
    if (s != STATUS_OK) return s;
    if (put < table_len) return STATUS_IO;
  }
  s = fs_fsync(fd.get());
  status_t closed = fd.close();
  if (s != STATUS_OK) return s;
  // A failed close can mean lost writes on some file systems: no rename then.
  return closed;
}

status_t meta_write(const char* dest_path, mode_t mode, const backup_header& header,
                    const block_entry* entries, size_t count) {
  status_t s = meta_write_temp(dest_path, mode, header, entries, count);
  if (s != STATUS_OK) return s;
  std::string tmp_path;
  try {
    tmp_path = std::string(dest_path) + ".tmp";
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  s = fs_rename(tmp_path.c_str(), dest_path);
  if (s != STATUS_OK) return s;
  // Without this the rename itself may not survive a crash.
  return fs_fsync_parent(dest_path);
}
