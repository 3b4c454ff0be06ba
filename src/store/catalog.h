// Catalog scan and backup chains: which backups a directory holds (from their
// headers alone), the FULL-to-target chain of one backup, and the newest entry
// of every block along a chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "store/backup.h"
#include "store/uuid.h"

struct catalog_entry {
  std::string meta_path;  // "<dir>/<file name>"
  uint8_t uuid[UUID_SIZE] = {};
  uint8_t parent_uuid[UUID_SIZE] = {};
  uint8_t kind = 0;
  std::string name;  // header name up to its first 0 byte, at most 63 bytes
  int64_t created = 0;
  int64_t retain_until = 0;
};

// Lists the meta files of one directory (not its subdirectories) in listing
// order. A missing directory is an empty catalog. Damaged or newer headers
// are skipped with a WARN line, vanished files silently; any other header
// read failure fails the scan with an ERROR line.
[[nodiscard]] status_t catalog_scan(const char* dir, std::vector<catalog_entry>* out);
// The scan a removal needs: an entry named like a meta file that cannot be
// read, for whatever reason (damaged, cut short, newer format version, not a
// regular file, a dangling link, a read error), does not end the scan: it is
// logged (the WARN lines above, "not a regular file" and "dangling symbolic
// link" as their reasons, or the ERROR line of a read error) and counted in
// *unreadable, so that the caller can refuse to remove anything. Only memory
// running out or a directory that cannot be listed fails the scan.
[[nodiscard]] status_t catalog_scan_counting(const char* dir, std::vector<catalog_entry>* out,
                                             uint64_t* unreadable);
void catalog_free(std::vector<catalog_entry>* entries);

struct backup_chain {
  std::vector<loaded_backup> members;  // [0] is the FULL, back() the target
};

// Resolves and loads the chain of the target, looking for its ancestors in
// search_dir. Nothing is changed: a member whose recompress was interrupted
// is read as the pair that verifies (backup_load_whole), with the WARN line
// of backup_warn_interrupted. -4 when an ancestor is missing; -7 when the parent links loop;
// statuses of header_read/backup_load for damaged members.
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

// Newest entry per block index along the chain. -3 for an empty chain, -7 for
// a block_size of 0. The map points into the chain: release it first.
[[nodiscard]] status_t chain_block_map_build(const backup_chain& chain, chain_block_map* out);
void chain_block_map_free(chain_block_map* map);
