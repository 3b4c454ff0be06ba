// The in-memory planning of prune and delete: which backups of a catalog go,
// and in which order, worked out from the catalog alone (no disk access), so
// that it can be measured and checked apart from the file removal.
//
// Both plans scale with the catalog: the uuid links are resolved once through
// keys sorted by uuid and by parent uuid (O(n log n) at worst, linear for
// random uuids), every later look-up is an array access, the removal order
// comes from a count per depth, and no walk along a chain uses the call
// stack, so a chain of any length is safe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cli/status.h"
#include "store/catalog.h"
#include "store/header.h"
#include "store/uuid.h"

enum prune_decision : uint8_t {
  PRUNE_UNDECIDED = 0,
  PRUNE_DELETE = 1,
  PRUNE_KEEP_NO_RETENTION = 2,
  PRUNE_KEEP_NOT_EXPIRED = 3,
  PRUNE_KEEP_DEPENDENT_KEPT = 4,
  PRUNE_KEEP_NEWEST = 5,
  // Outside the --name filter: never removed by this run, not reported and
  // not counted, but kept all the same, so its parent counts as depended on.
  PRUNE_OTHER_NAME = 6,
};

// The reason a kept backup is reported with; "" for the other values.
const char* prune_reason_text(uint8_t decision);

struct prune_item {
  uint32_t position = 0;  // in the catalog
  int32_t depth = 0;      // ancestors found in the catalog (within the name filter)
};

struct prune_plan {
  std::vector<uint8_t> decision;      // one prune_decision per catalog position
  std::vector<prune_item> deletions;  // deepest first; catalog order among equal depths
};

// Decides every entry of the catalog for an expiry time of now. With a
// name_filter (null for every name) only entries of that exact name are
// decided and walked; entries of other names are PRUNE_OTHER_NAME.
// 0, or -2 when memory runs out (*out is then untouched).
[[nodiscard]] status_t prune_plan_build(const std::vector<catalog_entry>& entries,
                                        const char* name_filter, int64_t now, prune_plan* out);

struct delete_member {
  int64_t position = -1;  // in the catalog; -1 for the target itself
  int32_t depth = 0;      // 0 for the target, its parent member's depth + 1 otherwise
};

// The target (by uuid) and every catalog entry that depends on it, directly
// or through others, in removal order: deepest first, the target last, the
// order of joining among equal depths. An entry joins the set when its
// parent_uuid is a member's uuid and its own uuid is not yet in the set; of
// several files sharing a uuid, the one that the repeated passes over the
// catalog in catalog order would meet first joins, and the others stay.
// 0, or -2 when memory runs out.
[[nodiscard]] status_t delete_plan_build(const std::vector<catalog_entry>& entries,
                                         const uint8_t target_uuid[UUID_SIZE],
                                         std::vector<delete_member>* out);

// The uuid links of a catalog, resolved once so that every later lookup is an
// array access. Both uuid columns are copied into compact keys, sorted, and
// joined by one merge: the catalog entries themselves are never touched in
// random order, which keeps the build close to the cost of the two sorts at
// any catalog size.
struct catalog_uuid_key {
  uint64_t hi = 0, lo = 0;  // the 16 uuid bytes, as two words
  uint32_t position = 0;
};
// Per catalog position, everything a walk along the links needs of it, in
// one place: walks follow chains in no order the catalog is stored in, and
// each entry met should cost one cache line, not one per field.
struct catalog_link {
  uint32_t dep_first = 0, dep_last = 0;  // its dependents: a slice of dependents
  uint32_t first_same_uuid = 0;          // first position in catalog order with this uuid
  uint32_t next_same_uuid = 0;           // next position with this uuid, or UINT32_MAX
  // dependents[dep_first] when the slice is not empty, else UINT32_MAX: along
  // a chain, the one dependent is found without a second look-up.
  uint32_t first_dependent = 0;
};
struct catalog_links {
  // Keys of parent_uuid sorted by (parent_uuid, position): the dependents of
  // one uuid form one slice, in catalog order.
  std::vector<catalog_uuid_key> by_parent;
  // The positions of by_parent alone, for the walks.
  std::vector<uint32_t> dependents;
  std::vector<catalog_link> at;  // per catalog position
};
// Throws std::bad_alloc when memory runs out.
void catalog_links_build(const std::vector<catalog_entry>& entries, catalog_links* out);
// The slice [*first, *last) of links.dependents whose parent_uuid equals id,
// for a uuid that need not be in the catalog.
void catalog_links_dependents(const catalog_links& links, const uint8_t id[UUID_SIZE],
                              size_t* first, size_t* last);

// Orders items (each with a depth of 0 or more) deepest first, keeping their
// order among equal depths, in linear time: depths are bounded by the
// catalog size, so a count per depth replaces a comparison sort.
// Throws std::bad_alloc when memory runs out.
template <typename T>
void sort_deepest_first(std::vector<T>* items) {
  if (items->size() < 2) return;
  int32_t deepest = 0;
  for (const T& t : *items) deepest = std::max(deepest, t.depth);
  std::vector<size_t> start(static_cast<size_t>(deepest) + 2, 0);
  for (const T& t : *items) start[static_cast<size_t>(deepest - t.depth) + 1]++;
  for (size_t d = 1; d < start.size(); d++) start[d] += start[d - 1];
  std::vector<T> out(items->size());
  for (const T& t : *items) out[start[static_cast<size_t>(deepest - t.depth)]++] = t;
  items->swap(out);
}

// remove_backup_files with a caller-owned header area, so that a run removing
// many backups reuses one 128 KiB buffer.
[[nodiscard]] status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                                 uint64_t* out_image_bytes, backup_header* scratch);

// A time as "%Y-%m-%d %H:%M:%S UTC"; the plain number of seconds when the
// time cannot be broken down (beyond the calendar gmtime_r knows).
void prune_format_time(int64_t t, char* out, size_t cap);
