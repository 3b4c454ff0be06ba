// The in-memory planning of prune and delete: which backups of a catalog go,
// and in which order, worked out from the catalog alone (no disk access), so
// that it can be measured and checked apart from the file removal.
//
// Both plans scale with the catalog: lookups go through indexes sorted by
// uuid and by parent uuid (O(n log n) to build), and no walk along a chain
// uses the call stack, so a chain of any length is safe.
#pragma once

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

// Dependents by parent uuid: catalog positions sorted by (parent_uuid, position).
struct catalog_parent_index {
  std::vector<uint32_t> order;
};
void catalog_parent_index_build(const std::vector<catalog_entry>& entries,
                                catalog_parent_index* out);
// The slice [*first, *last) of index.order holding, in catalog order, the
// entries whose parent_uuid equals id.
void catalog_parent_index_range(const catalog_parent_index& index,
                                const std::vector<catalog_entry>& entries,
                                const uint8_t id[UUID_SIZE], size_t* first, size_t* last);

// remove_backup_files with a caller-owned header area, so that a run removing
// many backups reuses one 128 KiB buffer.
[[nodiscard]] status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                                 uint64_t* out_image_bytes, backup_header* scratch);

// A time as "%Y-%m-%d %H:%M:%S UTC"; the plain number of seconds when the
// time cannot be broken down (beyond the calendar gmtime_r knows).
void prune_format_time(int64_t t, char* out, size_t cap);
