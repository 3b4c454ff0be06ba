#include "ops/recompress.h"

#include <fcntl.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/header.h"
#include "store/naming.h"

// A rewrite replaces two files that only make sense together: the image and
// the meta file whose table points into it. Everything new is written and
// flushed under temporary names first, so that a failure before the swap
// leaves the backup exactly as it was. The swap itself is two renames; the old
// image keeps a second name until the new meta file is in place, so that a
// failure between the renames can put the old image back instead of leaving a
// new image under the old table. A kill between them is put right by
// backup_finish_rewrite in the next run that holds the directory alone (the
// next recompress, prune or delete); readers meanwhile read the pair that
// verifies and change nothing (backup_load_whole).

namespace {

// The buffers of one rewrite, allocated once from the backup's block size and
// never cleared: the block size comes from the header, so a damaged one costs
// address space, not memory, until payloads actually fill the buffers.
struct rewrite_buffers {
  std::unique_ptr<uint8_t[]> read;     // one stored payload, block_size
  std::unique_ptr<uint8_t[]> decoded;  // one block, block_size
  std::unique_ptr<uint8_t[]> output;   // one block compressed with the target codec
  size_t output_cap = 0;
};

// Entries whose lengths exceed the block size would overrun the buffers, and
// a raw_len beyond it cannot describe a block of this backup: the table is
// damaged and is left alone.
status_t check_entries(const loaded_backup& b) {
  uint32_t block_size = header_block_size(*b.header);
  for (const block_entry& e : b.table)
    if (e.stored_len > block_size || e.raw_len > block_size) return STATUS_CORRUPT;
  return STATUS_OK;
}

// Decodes every payload of the image and writes it again with the target
// codec (raw when that does not make it strictly smaller), back to back from
// offset 0, in table order. Fills the new table and the image's length.
status_t rewrite_image(const loaded_backup& b, const recompress_request& req, uint8_t codec,
                       int in_fd, int out_fd, rewrite_buffers* buf, std::vector<block_entry>* table,
                       uint64_t* out_bytes) {
  size_t block_size = header_block_size(*b.header);
  uint64_t out_off = 0;
  for (const block_entry& old : b.table) {
    block_entry e = old;
    if (e.flags & BLOCK_FLAG_NO_DATA) {
      e.offset = NO_OFFSET;
      table->push_back(e);
      continue;
    }
    size_t got = 0;
    status_t s = fs_pread(in_fd, buf->read.get(), e.stored_len, e.offset, &got);
    if (s != STATUS_OK) return s;
    if (got != e.stored_len) return STATUS_CORRUPT;
    size_t raw = 0;
    s = codec_decompress(e.codec, buf->read.get(), e.stored_len, buf->decoded.get(), block_size,
                         &raw);
    if (s != STATUS_OK) return s;
    size_t packed = codec_compress(codec, req.level, buf->decoded.get(), raw, buf->output.get(),
                                   buf->output_cap);
    const uint8_t* payload = packed ? buf->output.get() : buf->decoded.get();
    size_t len = packed ? packed : raw;
    size_t put = 0;
    s = fs_pwrite_all(out_fd, payload, len, out_off, &put);
    if (s != STATUS_OK) return s;
    if (put != len) return STATUS_IO;
    e.codec = packed ? codec : static_cast<uint8_t>(CODEC_NONE);
    e.stored_len = static_cast<uint32_t>(len);
    e.offset = out_off;
    out_off += len;
    table->push_back(e);
  }
  *out_bytes = out_off;
  return STATUS_OK;
}

// Puts the new image and meta file in place of the old ones. On failure the
// backup is left as it was whenever the failing step allows it: only a
// failure of the last directory flush leaves the new pair in place (and the
// old image under its spare name) with an error.
status_t swap_in(const loaded_backup& b, const std::string& new_image,
                 const std::string& new_meta) {
  const std::string old_image = b.image_path + BACKUP_SPARE_SUFFIX;
  status_t s = fs_link(b.image_path.c_str(), old_image.c_str());
  if (s != STATUS_OK) return s;

  s = fs_rename(new_image.c_str(), b.image_path.c_str());
  if (s != STATUS_OK) {
    (void)fs_remove(old_image.c_str());
    return s;
  }
  // The image must be in place on disk before the meta file that points into
  // it can be.
  s = fs_fsync_parent(b.image_path.c_str());
  if (s == STATUS_OK) s = fs_rename(new_meta.c_str(), b.meta_path.c_str());
  if (s != STATUS_OK) {
    // The old meta file still stands: give it back its image.
    (void)fs_rename(old_image.c_str(), b.image_path.c_str());
    (void)fs_fsync_parent(b.image_path.c_str());
    return s;
  }
  s = fs_fsync_parent(b.meta_path.c_str());
  if (s != STATUS_OK) return s;        // the spare name stays: the renames may not be durable
  (void)fs_remove(old_image.c_str());  // only a spare name; the backup is complete
  return STATUS_OK;
}

status_t recompress_loaded(const loaded_backup& b, const recompress_request& req) {
  // Sealed payloads cannot be decoded without the key, and treating them as
  // compressed data would fail or write garbage.
  if (header_cipher(*b.header) != CIPHER_NONE) return STATUS_NOT_SUPPORTED;
  status_t s = check_entries(b);
  if (s != STATUS_OK) return s;

  uint8_t codec = req.codec == CODEC_LZ4 ? CODEC_LZ4 : CODEC_ZSTD;
  size_t block_size = header_block_size(*b.header);
  rewrite_buffers buf;
  std::vector<block_entry> table;
  std::unique_ptr<backup_header> header;
  try {
    buf.read = std::make_unique_for_overwrite<uint8_t[]>(block_size);
    buf.decoded = std::make_unique_for_overwrite<uint8_t[]>(block_size);
    buf.output_cap = codec_bound(codec, block_size);
    buf.output = std::make_unique_for_overwrite<uint8_t[]>(buf.output_cap);
    table.reserve(b.table.size());
    header = std::make_unique<backup_header>(*b.header);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }

  unique_fd in;
  s = fs_open_regular(b.image_path.c_str(), O_RDONLY, 0, in.out());
  if (s != STATUS_OK) return s;
  fs_advise_sequential(in.get());
  const std::string tmp_image = b.image_path + ".recompress.tmp";
  unique_fd out;
  s = fs_create_temp(tmp_image.c_str(), 0644, out.out());
  if (s != STATUS_OK) return s;

  uint64_t image_bytes = 0;
  s = rewrite_image(b, req, codec, in.get(), out.get(), &buf, &table, &image_bytes);
  if (s == STATUS_OK) s = fs_fsync(out.get());
  status_t c = out.close();
  if (s == STATUS_OK) s = c;
  (void)in.close();
  if (s != STATUS_OK) return s;

  header_set_codec(header.get(), codec);
  header_set_image_bytes(header.get(), image_bytes);
  // The new meta file is complete under its temporary name before the swap.
  s = meta_write_temp(b.meta_path.c_str(), 0644, *header, table.data(), table.size());
  if (s != STATUS_OK) return s;
  const std::string tmp_meta = b.meta_path + ".tmp";
  return swap_in(b, tmp_image, tmp_meta);
}

// Removes the spare image a finished rewrite left, and makes that durable.
status_t remove_spare(const char* meta_path) {
  char image[PATH_CAP];
  status_t s = image_path_for_meta(meta_path, image, sizeof image);
  if (s != STATUS_OK) return STATUS_OK;  // backup_load reports the name
  const std::string spare = std::string(image) + BACKUP_SPARE_SUFFIX;
  s = fs_remove(spare.c_str());
  if (s == STATUS_NOT_FOUND) return STATUS_OK;
  if (s == STATUS_OK) s = fs_fsync_parent(spare.c_str());
  return s;
}

}  // namespace

status_t recompress_backup(const recompress_request& req) {
  if (!req.meta_path) return STATUS_INVALID;
  // The directory is held alone from before the first read to the end: no
  // other run reads the backup between the renames, and the temporary files
  // of this backup found there can only be a killed run's.
  char dir[PATH_CAP];
  if (!dir_of_path(req.meta_path, dir, sizeof dir)) return STATUS_INVALID;
  const dir_lock_request want{dir, DIR_LOCK_EXCLUSIVE};
  dir_lock_set lock;
  status_t s = dir_lock_take(&want, 1, &lock);
  if (s != STATUS_OK) return s;
  // A rewrite killed between its renames is put right first, and a spare
  // image it or a finished one left goes before anything new is written:
  // a spare beside a new meta file must always mean a swap under way.
  int outcome = BACKUP_REWRITE_NONE;
  s = backup_finish_rewrite(req.meta_path, &outcome);
  loaded_backup b;
  // Every name is made before the file it names: memory running out leaves
  // the backup as it was, with at most a temporary file beside it.
  try {
    if (s == STATUS_OK) s = remove_spare(req.meta_path);
    if (s == STATUS_OK) s = backup_load(req.meta_path, &b);
    if (s == STATUS_OK) s = recompress_loaded(b, req);
  } catch (const std::bad_alloc&) {
    s = STATUS_NO_MEMORY;
  }
  backup_release(&b);
  return s;
}
