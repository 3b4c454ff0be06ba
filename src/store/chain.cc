#include "store/chain.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/memory.h"
#include "store/catalog.h"
#include "store/catalog_index.h"

namespace {

constexpr size_t CHAIN_INITIAL = 8;

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
