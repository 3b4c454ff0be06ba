// The uuid index of a catalog: which entries carry a uuid and which name it
// as their parent_uuid. The uuids are copied out of the catalog into keys
// sorted by (uuid, position): a uuid is found by binary search, and entries
// sharing a uuid stay in catalog order, so the first one found is the first
// one listed. The links between the catalog's own entries are resolved once,
// into columns read by position. The chain walk, the prune plan and the
// delete plan all take their links from here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/status.h"
#include "store/catalog.h"
#include "store/uuid.h"

struct catalog_index_key {
  uint64_t hi, lo;    // the 16 uuid bytes as two words, ordered as numbers
  uint32_t position;  // in the catalog
};

// No catalog position.
constexpr uint32_t CATALOG_NO_ENTRY = UINT32_MAX;

struct catalog_index {
  std::vector<catalog_index_key> by_uuid;    // each entry's uuid, by (uuid, position)
  std::vector<catalog_index_key> by_parent;  // each entry's parent_uuid, by (parent_uuid, position)
  // Per catalog position, among the indexed entries (CATALOG_NO_ENTRY for
  // none, and at the positions of entries not indexed):
  std::vector<uint32_t> first_carrier;    // the first carrying the entry's uuid
  std::vector<uint32_t> next_carrier;     // the next one carrying it, in catalog order
  std::vector<uint32_t> parent;           // the first carrying the entry's parent_uuid
  std::vector<uint32_t> first_dependent;  // the first naming the entry's uuid as parent_uuid
  std::vector<uint32_t> next_dependent;   // the next one naming the same parent_uuid
};

// Indexes every entry, or with only, the entries i with (*only)[i] != 0.
// STATUS_OK, or STATUS_NO_MEMORY (*out is then unchanged), also for a
// catalog too large for 32-bit positions.
[[nodiscard]] status_t catalog_index_build(const std::vector<catalog_entry>& entries,
                                           catalog_index* out,
                                           const std::vector<uint8_t>* only = nullptr);

// The indexed entries whose parent_uuid is id, in catalog order.
std::span<const catalog_index_key> catalog_index_dependents(const catalog_index& index,
                                                            const uint8_t id[UUID_SIZE]);
// The position of the first indexed entry whose uuid is id, or -1.
int64_t catalog_index_find(const catalog_index& index, const uint8_t id[UUID_SIZE]);
