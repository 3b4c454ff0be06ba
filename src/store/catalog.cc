#include "store/catalog.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "cli/log.h"
#include "store/catalog_index.h"
#include "store/fs.h"
#include "store/memory.h"
#include "store/naming.h"

namespace {

constexpr size_t CATALOG_INITIAL = 16;
constexpr size_t CHAIN_INITIAL = 8;

// True when the directory entry itself is gone (removed since the listing),
// as opposed to a name that stays but cannot be opened (a dangling link).
bool entry_gone(const char* path) {
  struct stat st;
  return fs_lstat(path, &st) == STATUS_NOT_FOUND;
}

// The reason a scan gives for an entry it skips, or null when it fails the
// scan (or, counting, logs the entry as a read error).
const char* skip_reason(status_t s, int err, bool counting) {
  if (s == STATUS_CORRUPT) return "corrupt or incomplete header";
  if (s == STATUS_NOT_SUPPORTED) return "newer format version";
  if (counting && s == STATUS_NOT_FOUND) return "dangling symbolic link";
  if (counting && s == STATUS_IO && err == FS_ERR_NOT_REGULAR) return fs_strerror(err);
  return nullptr;
}

// With unreadable null, as catalog_scan; otherwise as catalog_scan_counting.
status_t catalog_scan_into(const char* dir, std::vector<catalog_entry>* entries, backup_header* h,
                           uint64_t* unreadable) {
  unique_dir listing;
  status_t s = fs_dir_open(dir, &listing.dir);
  if (s != STATUS_OK) {
    int err = errno;
    // A store that does not exist yet simply holds no backups.
    if (err == ENOENT) return STATUS_OK;
    log_write(LOG_ERROR_LEVEL, "cannot open backup directory %s: %s", dir, strerror(err));
    return STATUS_IO;
  }

  std::string path;
  for (;;) {
    const char* name = nullptr;
    s = fs_dir_next(&listing.dir, &name);
    if (s != STATUS_OK) {
      // A listing cut short would hide backups from delete and prune, which
      // then could remove a backup something still depends on.
      log_write(LOG_ERROR_LEVEL, "cannot read backup directory %s: %s", dir, strerror(errno));
      return s;
    }
    if (!name) break;
    if (!is_meta_file_name(name)) continue;

    path.assign(dir).append("/").append(name);
    s = header_read_known(path.c_str(), h);
    if (s != STATUS_OK) {
      const int err = errno;
      // A file removed since the listing is no backup. A dangling link is a
      // name that stays: for a removal it counts like any unreadable entry.
      if (s == STATUS_NOT_FOUND && (!unreadable || entry_gone(path.c_str()))) continue;
      const char* reason = skip_reason(s, err, unreadable != nullptr);
      if (reason) {
        log_write(LOG_WARN_LEVEL, "skipping %s: %s", path.c_str(), reason);
      } else {
        log_write(LOG_ERROR_LEVEL, "cannot read backup header %s (%s, status=%d)", path.c_str(),
                  status_message(s), s);
      }
      // For a removal every entry that cannot be read counts, whatever the
      // reason, and the scan goes on so that the count is whole: the backup
      // it may hold takes part in chains nobody can see.
      if (s == STATUS_NO_MEMORY || (!unreadable && !reason)) return s;
      if (unreadable) (*unreadable)++;
      continue;
    }

    catalog_entry e;
    e.meta_path = path;
    memcpy(e.uuid, header_uuid(*h), UUID_SIZE);
    memcpy(e.parent_uuid, header_parent_uuid(*h), UUID_SIZE);
    e.kind = header_kind(*h);
    char text[HDR_NAME_LEN];
    header_name_copy(*h, text);
    e.name = text;
    e.created = header_created(*h);
    e.retain_until = header_retain_until(*h);
    entries->push_back(std::move(e));
  }
  return STATUS_OK;
}

status_t scan(const char* dir, std::vector<catalog_entry>* out, uint64_t* unreadable) {
  std::vector<catalog_entry> entries;
  uint64_t count = 0;
  status_t s;
  try {
    entries.reserve(CATALOG_INITIAL);
    // One header area for the whole scan, zeroed once: only the known fields
    // are read into it, and only those of the table above are kept.
    auto h = std::make_unique<backup_header>();
    s = catalog_scan_into(dir, &entries, h.get(), unreadable ? &count : nullptr);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  if (s != STATUS_OK) return s;
  out->swap(entries);
  if (unreadable) *unreadable = count;
  return STATUS_OK;
}

}  // namespace

status_t catalog_scan(const char* dir, std::vector<catalog_entry>* out) {
  return scan(dir, out, nullptr);
}

status_t catalog_scan_counting(const char* dir, std::vector<catalog_entry>* out,
                               uint64_t* unreadable) {
  return scan(dir, out, unreadable);
}

void catalog_free(std::vector<catalog_entry>* entries) {
  std::vector<catalog_entry>().swap(*entries);
}

namespace {

// Meta paths from the target back to its FULL, in the order found.
status_t chain_paths(const char* target_meta, const char* search_dir,
                     std::vector<std::string>* paths) {
  auto h = std::make_unique<backup_header>();
  status_t s = header_read_known(target_meta, h.get());
  if (s != STATUS_OK) return s;
  paths->reserve(CHAIN_INITIAL);
  paths->emplace_back(target_meta);
  if (header_kind(*h) == KIND_FULL) return STATUS_OK;

  uint8_t parent[UUID_SIZE];
  memcpy(parent, header_parent_uuid(*h), UUID_SIZE);
  h.reset();

  std::vector<catalog_entry> catalog;
  s = catalog_scan(search_dir, &catalog);
  if (s != STATUS_OK) return s;
  if (catalog.empty()) return STATUS_NOT_FOUND;
  catalog_index index;
  s = catalog_index_build(catalog, &index);
  if (s != STATUS_OK) return s;

  // Without a loop every ancestor is a different catalog entry; more
  // ancestors than entries means the parent links go round in a circle.
  size_t ancestors = 0;
  for (;;) {
    int64_t pos = catalog_index_find(index, parent);
    if (pos < 0) return STATUS_NOT_FOUND;
    if (++ancestors > catalog.size()) return STATUS_CORRUPT;
    const catalog_entry& e = catalog[static_cast<size_t>(pos)];
    paths->push_back(e.meta_path);
    if (e.kind == KIND_FULL) return STATUS_OK;
    memcpy(parent, e.parent_uuid, UUID_SIZE);
  }
}

}  // namespace

status_t chain_resolve(const char* target_meta, const char* search_dir, backup_chain* out) {
  chain_release(out);
  std::vector<loaded_backup> members;
  try {
    std::vector<std::string> paths;
    status_t s = chain_paths(target_meta, search_dir, &paths);
    if (s != STATUS_OK) return s;

    // Loaded only once the whole chain is known; member 0 is the FULL.
    members.resize(paths.size());
    for (size_t i = 0; i < paths.size(); i++) {
      // A member whose recompress was killed between its renames is read
      // as the pair that verifies, and left as it is: the chain is only read.
      const char* path = paths[paths.size() - 1 - i].c_str();
      int state = BACKUP_PAIR_WHOLE;
      s = backup_load_whole(path, &members[i], &state);
      if (s == STATUS_OK && backup_pair_interrupted(state)) backup_warn_interrupted(path);
      if (s != STATUS_OK) {
        for (auto& m : members) backup_release(&m);
        return s;
      }
    }
  } catch (const std::bad_alloc&) {
    for (auto& m : members) backup_release(&m);
    return STATUS_NO_MEMORY;
  }
  out->members.swap(members);
  return STATUS_OK;
}

void chain_release(backup_chain* chain) {
  for (auto& m : chain->members) backup_release(&m);
  std::vector<loaded_backup>().swap(chain->members);
}

status_t chain_block_map_build(const backup_chain& chain, chain_block_map* out) {
  if (chain.members.empty() || !chain.members[0].header) return STATUS_INVALID;
  const backup_header& full = *chain.members[0].header;
  const uint64_t block_size = header_block_size(full);
  if (block_size == 0) return STATUS_CORRUPT;
  const uint64_t volume_size = header_volume_size(full);
  // ceil(volume_size / block_size) without the overflow of (v - 1 + b) / b.
  const uint64_t count = volume_size / block_size + (volume_size % block_size != 0 ? 1 : 0);

  std::vector<block_slot> slots;
  if (memory_resize(&slots, static_cast<size_t>(count)) != STATUS_OK) return STATUS_NO_MEMORY;
  for (size_t i = 0; i < slots.size(); i++) slots[i].block_index = i;

  // Later members overwrite earlier ones: the newest entry for a block wins.
  for (size_t m = 0; m < chain.members.size(); m++) {
    for (const block_entry& e : chain.members[m].table) {
      if (e.block_id >= count) continue;  // beyond the volume
      block_slot& slot = slots[static_cast<size_t>(e.block_id)];
      slot.member = static_cast<int32_t>(m);
      slot.entry = &e;
    }
  }
  out->slots.swap(slots);
  return STATUS_OK;
}

void chain_block_map_free(chain_block_map* map) {
  std::vector<block_slot>().swap(map->slots);
}
