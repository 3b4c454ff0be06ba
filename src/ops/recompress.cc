#include "ops/recompress.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "base/memory.h"
#include "base/page_cache.h"
#include "base/progress.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "ops/pipeline.h"
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

// How the work is shared out: the calling thread reads the payloads in table
// order into the slots of the pipeline (ops/pipeline.h); the workers decode
// each and compress it again; the calling thread takes them back in table
// order and writes them back to back. Each block is compressed alone, with
// the same codec and level, so the new image and table are byte for byte
// those of one thread; the first failure in table order is the one
// returned, and nothing is written after it.
//
// The buffers are allocated once for the whole backup, from its block size,
// and never cleared: the block size comes from the header, so a damaged one
// costs address space, not memory, until payloads actually fill them.
struct rewrite_slot {
  std::unique_ptr<uint8_t[]> read;    // one stored payload, block_size
  std::unique_ptr<uint8_t[]> output;  // the new payload, output_cap
  size_t index = 0;                   // its entry in the table
  status_t status = STATUS_OK;        // of the read, then of the decoding
  size_t len = 0;                     // of the new payload
  uint8_t codec = CODEC_NONE;         // of the new payload
};

struct rewrite_run {
  const loaded_backup* b = nullptr;
  uint8_t codec = CODEC_ZSTD;
  int level = 0;
  size_t block_size = 0;
  // The compressor's bound, and never less than a block: a payload that
  // does not get smaller is copied here as it is.
  size_t output_cap = 0;
  std::array<rewrite_slot, PIPELINE_MAX_SLOTS> slots;
  std::array<std::unique_ptr<uint8_t[]>, PIPELINE_MAX_THREADS> decoded;  // per worker
  std::array<codec_workspace, PIPELINE_MAX_THREADS> codecs;              // per worker
  progress_meter meter;   // on a terminal only: stored bytes of the old image taken back
  ordered_pipeline pipe;  // declared last: stopped before the buffers go
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

// Decodes one payload and compresses it with the target codec (kept raw
// when that does not make it strictly smaller). Runs on a worker.
void rewrite_job(void* ctx, size_t slot, size_t worker) {
  auto* run = static_cast<rewrite_run*>(ctx);
  rewrite_slot& s = run->slots[slot];
  if (s.status != STATUS_OK) return;  // the read failed
  const block_entry& e = run->b->table[s.index];
  uint8_t* decoded = run->decoded[worker].get();
  size_t raw = 0;
  codec_workspace* codec = &run->codecs[worker];
  s.status =
      codec_decompress(e.codec, s.read.get(), e.stored_len, decoded, run->block_size, &raw, codec);
  if (s.status != STATUS_OK) return;
  const size_t packed =
      codec_compress(run->codec, run->level, decoded, raw, s.output.get(), run->output_cap, codec);
  if (packed != 0) {
    s.len = packed;
    s.codec = run->codec;
  } else {
    if (raw != 0) memcpy(s.output.get(), decoded, raw);
    s.len = raw;
    s.codec = CODEC_NONE;
  }
}

status_t buffers_allocate(rewrite_run* run) {
  try {
    for (size_t i = 0; i < pipeline_slots(run->pipe); i++) {
      run->slots[i].read = std::make_unique_for_overwrite<uint8_t[]>(run->block_size);
      run->slots[i].output = std::make_unique_for_overwrite<uint8_t[]>(run->output_cap);
    }
    const size_t workers = std::max<size_t>(run->pipe.worker_count, 1);
    for (size_t i = 0; i < workers; i++)
      run->decoded[i] = std::make_unique_for_overwrite<uint8_t[]>(run->block_size);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

// The state of the writing end: the running offset and the first failure.
struct rewrite_out {
  int fd = -1;
  uint64_t offset = 0;
  status_t status = STATUS_OK;
  cache_writer* cache = nullptr;  // flushes and drops what is written, stretch by stretch
};

// Takes the oldest payload back and writes it (unless something failed
// before it) at the running offset; fills its entry of the new table.
void take_oldest(rewrite_run* run, rewrite_out* out, std::vector<block_entry>* table) {
  const rewrite_slot& s = run->slots[pipeline_wait_oldest(&run->pipe)];
  if (out->status == STATUS_OK) out->status = s.status;
  if (out->status == STATUS_OK) {
    size_t put = 0;
    out->status = fs_pwrite_all(out->fd, s.output.get(), s.len, out->offset, &put);
    if (out->status == STATUS_OK && put != s.len) out->status = STATUS_IO;
  }
  if (out->status == STATUS_OK) {
    block_entry& e = (*table)[s.index];
    e = run->b->table[s.index];
    e.codec = s.codec;
    e.stored_len = static_cast<uint32_t>(s.len);
    e.offset = out->offset;
    out->offset += s.len;
    out->status = cache_writer_wrote(out->cache, out->offset);
  }
  progress_add(&run->meter, run->b->table[s.index].stored_len);
  pipeline_release_oldest(&run->pipe);
}

// Decodes every payload of the image and writes it again with the target
// codec (raw when that does not make it strictly smaller), back to back from
// offset 0, in table order. Fills the new table (sized like the old) and
// the image's length.
status_t rewrite_image(rewrite_run* run, int in_fd, cache_reader* in_cache, int out_fd,
                       cache_writer* out_cache, std::vector<block_entry>* table,
                       uint64_t* out_bytes) {
  const loaded_backup& b = *run->b;
  rewrite_out out;
  out.fd = out_fd;
  out.cache = out_cache;
  for (size_t i = 0; i < b.table.size() && out.status == STATUS_OK; i++) {
    const block_entry& old = b.table[i];
    if (old.flags & BLOCK_FLAG_NO_DATA) {
      (*table)[i] = old;
      (*table)[i].offset = NO_OFFSET;
      continue;
    }
    if (pipeline_full(run->pipe)) take_oldest(run, &out, table);
    if (out.status != STATUS_OK) break;
    rewrite_slot& s = run->slots[pipeline_next_slot(run->pipe)];
    s.index = i;
    cache_reader_before(in_cache, old.offset, old.stored_len);
    size_t got = 0;
    s.status = fs_pread(in_fd, s.read.get(), old.stored_len, old.offset, &got);
    if (s.status == STATUS_OK && got != old.stored_len) s.status = STATUS_CORRUPT;
    const bool read = s.status == STATUS_OK;
    pipeline_submit(&run->pipe);  // a failed read goes too: it is reported in its turn
    if (!read) break;
  }
  while (!pipeline_empty(run->pipe)) take_oldest(run, &out, table);
  if (out.status != STATUS_OK) return out.status;
  *out_bytes = out.offset;
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

  // Large (the slots, the thread handles): it lives on the stack of this call.
  rewrite_run run;
  run.b = &b;
  run.codec = req.codec == CODEC_LZ4 ? CODEC_LZ4 : CODEC_ZSTD;
  run.level = req.level;
  run.block_size = header_block_size(*b.header);
  run.output_cap = std::max(codec_bound(run.codec, run.block_size), run.block_size);
  std::vector<block_entry> table;
  std::unique_ptr<backup_header> header;
  // Threads are only worth starting for more than one block.
  size_t threads = req.threads != 0 ? req.threads : pipeline_default_threads();
  if (b.table.size() < 2) threads = 1;
  (void)pipeline_start(&run.pipe, threads, rewrite_job, &run);
  s = buffers_allocate(&run);
  if (s != STATUS_OK) return s;
  if (memory_resize(&table, b.table.size()) != STATUS_OK) return STATUS_NO_MEMORY;
  try {
    header = std::make_unique<backup_header>(*b.header);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }

  unique_fd in;
  struct stat in_stat;
  s = fs_open_regular_stat(b.image_path.c_str(), O_RDONLY, 0, in.out(), &in_stat);
  if (s != STATUS_OK) return s;
  const std::string tmp_image = b.image_path + ".recompress.tmp";
  unique_fd out;
  s = fs_create_temp(tmp_image.c_str(), 0644, out.out());
  if (s != STATUS_OK) return s;

  // Neither image stays in the page cache: the old one is read once, and
  // the new one is dropped stretch by stretch as it reaches the disk.
  cache_reader in_cache;
  cache_reader_open(&in_cache, in.get(), static_cast<uint64_t>(in_stat.st_size), run.block_size);
  cache_writer out_cache;
  cache_writer_open(&out_cache, out.get());
  uint64_t image_bytes = 0;
  if (progress_wanted()) {
    uint64_t stored = 0;
    for (const block_entry& e : b.table)
      if (!(e.flags & BLOCK_FLAG_NO_DATA)) stored += e.stored_len;
    progress_start(&run.meter, "recompress", stored);
  }
  s = rewrite_image(&run, in.get(), &in_cache, out.get(), &out_cache, &table, &image_bytes);
  pipeline_stop(&run.pipe);
  progress_stop(&run.meter);
  cache_reader_close(&in_cache);
  if (s == STATUS_OK) s = fs_fsync(out.get());
  cache_writer_close(&out_cache);  // every page is clean once flushed
  status_t c = out.close();
  if (s == STATUS_OK) s = c;
  (void)in.close();
  if (s != STATUS_OK) return s;

  header_set_codec(header.get(), run.codec);
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
