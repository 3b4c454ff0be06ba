// The FULL-to-target chain of one backup, found among the catalog of a
// directory through its uuid index, and the newest entry of every block
// along a chain.
#pragma once

#include <cstdint>
#include <vector>

#include "base/status.h"
#include "store/backup.h"

struct backup_chain {
  std::vector<loaded_backup> members;  // [0] is the FULL, back() the target
};

// Resolves and loads the chain of the target, looking for its ancestors in
// search_dir. Nothing is changed: a member whose recompress was interrupted
// is read as the pair that verifies (backup_load_whole), with the WARN line
// of backup_warn_interrupted. STATUS_NOT_FOUND when an ancestor is missing;
// STATUS_CORRUPT when the parent links loop; the statuses of header_read and
// backup_load for damaged members.
[[nodiscard]] status_t chain_resolve(const char* target_meta, const char* search_dir,
                                     backup_chain* out);
void chain_release(backup_chain* chain);

struct block_slot {
  uint64_t block_index = 0;
  int32_t member = -1;                 // -1 when no member has the block
  const block_entry* entry = nullptr;  // into that member's table
};
struct chain_block_map {
  std::vector<block_slot> slots;  // ceil(volume_size / block_size) of member 0
};

// Newest entry per block index along the chain. STATUS_INVALID for an empty
// chain, STATUS_CORRUPT for a block_size of 0. The map points into the
// chain: release it first.
[[nodiscard]] status_t chain_block_map_build(const backup_chain& chain, chain_block_map* out);
void chain_block_map_free(chain_block_map* map);
