#include "ops/synthetic_full.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "base/log.h"
#include "base/progress.h"
#include "store/backup.h"
#include "store/chain.h"
#include "store/format.h"
#include "store/header.h"
#include "store/naming.h"

namespace {

// The payloads are copied without being opened or re-encoded, so the new FULL
// can only describe them if every member shares the cipher that sealed them
// and the block geometry their entries were cut to. A chain that mixes them is
// damage: refusing it before anything is written keeps a wrong FULL from ever
// appearing.
status_t check_members_agree(const backup_chain& chain) {
  const backup_header& root = *chain.members.front().header;
  for (const loaded_backup& m : chain.members) {
    const backup_header& h = *m.header;
    if (header_cipher(h) != header_cipher(root) ||
        header_block_size(h) != header_block_size(root) ||
        header_volume_size(h) != header_volume_size(root))
      return STATUS_CORRUPT;
  }
  return STATUS_OK;
}

// Every payload to be copied lies inside its member's image. A table whose
// digest was resealed over a wild offset is damage, and is reported as such
// before anything is written, rather than as the I/O error a copy from past
// the end of the file would end in.
status_t check_entries_in_images(const chain_block_map& map, const std::vector<unique_fd>& images) {
  std::vector<uint64_t> sizes(images.size());
  for (size_t i = 0; i < images.size(); i++) {
    struct stat st;
    status_t s = fs_fstat(images[i].get(), &st);
    if (s != STATUS_OK) return s;
    sizes[i] = static_cast<uint64_t>(st.st_size);
  }
  for (const block_slot& slot : map.slots) {
    if (slot.member < 0 || !slot.entry || (slot.entry->flags & BLOCK_FLAG_NO_DATA)) continue;
    const uint64_t size = sizes[static_cast<size_t>(slot.member)];
    if (slot.entry->offset > size || slot.entry->stored_len > size - slot.entry->offset)
      return STATUS_CORRUPT;
  }
  return STATUS_OK;
}

// A stretch of payload bytes that lies back to back both in one member's
// image and in the new image, moved with one in-kernel copy. Consecutive
// blocks of one backup usually sit next to each other, so most of a FULL's
// payloads travel in a handful of calls (or one reflink where the file system
// shares extents).
struct copy_run {
  int member = -1;
  uint64_t src = 0;
  uint64_t dst = 0;
  uint64_t len = 0;
};

// A stretch is copied in calls of at most this many bytes, so that the
// progress line moves during the copy of one large image.
constexpr uint64_t COPY_RUN_MAX = uint64_t{64} << 20;

// A source image shorter than its table says ends the copy early: that is
// damage in the chain, reported as such.
status_t copy_run_flush(const std::vector<unique_fd>& images, int out_fd, copy_run* run,
                        progress_meter* meter) {
  if (run->len == 0) return STATUS_OK;
  size_t copied = 0;
  status_t s = fs_copy_range(images[static_cast<size_t>(run->member)].get(), run->src, out_fd,
                             run->dst, static_cast<size_t>(run->len), &copied);
  if (s != STATUS_OK) return s;
  if (copied != run->len) return STATUS_CORRUPT;
  progress_add(meter, run->len);
  run->len = 0;
  return STATUS_OK;
}

// Writes the new image under its temporary name: the newest payload of every
// block in block order, back to back from offset 0. Fills the new table and
// the image's length.
status_t write_image(const chain_block_map& map, const std::vector<unique_fd>& images, int out_fd,
                     std::vector<block_entry>* table, uint64_t* out_bytes, progress_meter* meter) {
  copy_run run;
  uint64_t out_off = 0;
  for (const block_slot& slot : map.slots) {
    if (slot.member < 0 || !slot.entry) continue;
    block_entry e = *slot.entry;
    if (e.flags & BLOCK_FLAG_NO_DATA) {
      e.offset = NO_OFFSET;
      table->push_back(e);
      continue;
    }
    bool extends = run.len != 0 && run.member == slot.member && run.src + run.len == e.offset &&
                   run.len < COPY_RUN_MAX;
    if (!extends) {
      status_t s = copy_run_flush(images, out_fd, &run, meter);
      if (s != STATUS_OK) return s;
      run.member = slot.member;
      run.src = e.offset;
      run.dst = out_off;
    }
    run.len += e.stored_len;
    e.offset = out_off;
    out_off += e.stored_len;
    table->push_back(e);
  }
  status_t s = copy_run_flush(images, out_fd, &run, meter);
  if (s != STATUS_OK) return s;
  *out_bytes = out_off;
  return STATUS_OK;
}

// The header of the new FULL: fresh identity and time, the volume geometry and
// source_info of the chain's FULL, the retention of the target, and the
// chain's cipher, since the payloads stay sealed as they were.
void make_full_header(const backup_chain& chain, const char* name, backup_header* h) {
  const backup_header& root = *chain.members.front().header;
  const backup_header& target = *chain.members.back().header;
  header_init_full(h, name, header_volume_size(root), header_block_size(root));
  memcpy(h->raw + HDR_SOURCE_INFO, root.raw + HDR_SOURCE_INFO, HDR_SOURCE_INFO_LEN);
  memcpy(h->raw + HDR_RETAIN_UNTIL, target.raw + HDR_RETAIN_UNTIL, HDR_RETENTION_UNIT_LEN);
  header_set_cipher(h, header_cipher(root));
}

// Releases the block map on every path out of collapse().
struct map_owner {
  chain_block_map map;
  map_owner() = default;
  map_owner(const map_owner&) = delete;
  map_owner& operator=(const map_owner&) = delete;
  ~map_owner() { chain_block_map_free(&map); }
};

status_t collapse(const synthetic_full_request& req, const backup_chain& chain) {
  status_t s = check_members_agree(chain);
  if (s != STATUS_OK) return s;

  map_owner owned;
  const chain_block_map& map = owned.map;
  s = chain_block_map_build(chain, &owned.map);
  if (s != STATUS_OK) return s;

  std::vector<unique_fd> images;
  std::vector<block_entry> table;
  std::unique_ptr<backup_header> header;
  try {
    images.resize(chain.members.size());
    size_t used = 0;
    for (const block_slot& slot : map.slots) used += slot.member >= 0 ? 1 : 0;
    table.reserve(used);
    header = std::make_unique<backup_header>();
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  for (size_t i = 0; i < chain.members.size() && s == STATUS_OK; i++)
    s = fs_open_regular(chain.members[i].image_path.c_str(), O_RDONLY, 0, images[i].out());
  if (s != STATUS_OK) return s;
  s = check_entries_in_images(map, images);
  if (s != STATUS_OK) return s;

  make_full_header(chain, req.name, header.get());
  char meta_path[PATH_CAP];
  char image_path[PATH_CAP];
  s = new_backup_paths(req.out_dir, req.name, KIND_FULL, header_created(*header), meta_path,
                       sizeof meta_path, image_path, sizeof image_path);
  if (s != STATUS_OK) return s;

  // Until the meta file exists the new image is invisible to every other
  // command; a failure before that point leaves at most the temporary image.
  std::string tmp_path = std::string(image_path) + ".tmp";
  const std::string tmp_meta_path = std::string(meta_path) + ".tmp";
  unique_fd out;
  // Created new, never over a file already there: the storage server names
  // an upload's partial image the same way (new_backup_paths skips such
  // names, and one that appears since is refused with STATUS_EXISTS).
  s = fs_create_new(tmp_path.c_str(), 0644, out.out());
  uint64_t image_bytes = 0;
  progress_meter meter;
  if (s == STATUS_OK && progress_wanted()) {
    uint64_t stored = 0;
    for (const block_slot& slot : map.slots)
      if (slot.member >= 0 && slot.entry && !(slot.entry->flags & BLOCK_FLAG_NO_DATA))
        stored += slot.entry->stored_len;
    progress_start(&meter, "synthetic-full", stored);
  }
  if (s == STATUS_OK) s = write_image(map, images, out.get(), &table, &image_bytes, &meter);
  progress_stop(&meter);
  if (s == STATUS_OK) s = fs_fsync(out.get());
  status_t c = out.close();
  if (s == STATUS_OK) s = c;
  if (s != STATUS_OK) return s;

  // The meta file is complete under its temporary name before the image
  // takes its final name, so that the image stands without its meta file
  // only for one directory flush: a kill in that moment leaves an image no
  // backup names (the next run takes another name), never a damaged backup.
  header_set_image_bytes(header.get(), image_bytes);
  s = meta_write_temp(meta_path, 0644, *header, table.data(), table.size());
  if (s != STATUS_OK) return s;
  s = fs_rename(tmp_path.c_str(), image_path);
  if (s != STATUS_OK) return s;
  // The image must be in place on disk before the meta file that names it.
  s = fs_fsync_parent(image_path);
  if (s == STATUS_OK) s = fs_rename(tmp_meta_path.c_str(), meta_path);
  if (s == STATUS_OK) s = fs_fsync_parent(meta_path);
  if (s != STATUS_OK) {
    // An image without its meta file is no backup, only a name in the way of
    // the next run: take it back. If the meta file did reach its name (only
    // its final directory flush failed), the backup is whole and stays.
    struct stat st;
    if (fs_stat(meta_path, &st) == STATUS_NOT_FOUND) (void)fs_remove(image_path);
    return s;
  }

  log_write(LOG_INFO_LEVEL,
            "synthetic_full: collapsed %zu-file chain into %s (%llu blocks, %llu bytes)",
            chain.members.size(), meta_path, static_cast<unsigned long long>(table.size()),
            static_cast<unsigned long long>(image_bytes));
  return STATUS_OK;
}

}  // namespace

status_t synthetic_full(const synthetic_full_request& req) {
  if (!req.target || !req.search_dir || !req.out_dir || !req.name) return STATUS_INVALID;
  // The chain is read under shared locks (where the ancestors are, and
  // where the target is), the new FULL is written under the output
  // directory's exclusive one: no recompress swaps a member's files while
  // its payloads are copied, and no other run writes into --out meanwhile.
  char target_dir[PATH_CAP];
  if (!dir_of_path(req.target, target_dir, sizeof target_dir)) return STATUS_INVALID;
  const dir_lock_request want[] = {{req.search_dir, DIR_LOCK_SHARED},
                                   {target_dir, DIR_LOCK_SHARED},
                                   {req.out_dir, DIR_LOCK_EXCLUSIVE}};
  dir_lock_set lock;
  status_t s = dir_lock_take(want, 3, &lock);
  if (s != STATUS_OK) return s;
  backup_chain chain;
  s = chain_resolve(req.target, req.search_dir, &chain);
  if (s != STATUS_OK) return s;
  if (chain.members.size() == 1) {
    log_write(LOG_INFO_LEVEL,
              "synthetic_full: chain is already a single FULL backup, nothing to do");
  } else {
    // Every name is made before the first file is put in place, so memory
    // running out leaves at most a temporary file.
    try {
      s = collapse(req, chain);
    } catch (const std::bad_alloc&) {
      s = STATUS_NO_MEMORY;
    }
  }
  chain_release(&chain);
  return s;
}
