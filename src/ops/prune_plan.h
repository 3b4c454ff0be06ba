// The prune plan: which backups of a catalog a prune deletes, and in which
// order, decided from the catalog alone. The rule:
//
//  1. The newest backup of each name is kept with its whole parent chain
//     (KEEP_NEWEST). Newest: the greatest created, then the greatest
//     meta_path byte-wise; backups equal in both are all newest.
//  2. A backup without retention (retain_until 0) is kept (KEEP_NO_RETENTION),
//     and so is one whose retain_until is later than now (KEEP_NOT_EXPIRED).
//     The first of rules 1 and 2 that applies gives the reason.
//  3. Any other backup is deleted only when every backup depending on it (its
//     parent_uuid is the backup's uuid) is deleted in the same run; otherwise
//     it is kept (KEEP_DEPENDENT_KEPT). A backup is not its own dependent;
//     backups whose parent links form a cycle are all kept.
//  4. Deletions run deepest first, in catalog order among equal depths, so
//     that a chain goes from its leaves up.
//
// Parent links (rule 1 and depths) lead to the first backup in catalog order
// that carries the parent_uuid; an all-zero parent_uuid leads nowhere. A
// depth is the number of links followed from the backup; a walk caught in a
// loop counts one more than the backups the run decides. Dependents (rule 3)
// are every backup naming the uuid, whichever file carries it first.
//
// With a name filter only the backups of that name take part. The others are
// PRUNE_OTHER_NAME: never deleted nor reported, never protecting or on a walk,
// but, as backups this run leaves in place, they count as kept dependents.
//
// The rule read as plainly as it is written, recursion and all, is
// reference_prune in tests/ops/prune_test.cc; the planner is held to it by
// PrunePlanTest.AgreesWithThePlainRuleOnRandomCatalogs.
#pragma once

#include <cstdint>
#include <vector>

#include "base/status.h"
#include "store/catalog.h"

enum prune_decision : uint8_t {
  PRUNE_UNDECIDED = 0,
  PRUNE_DELETE = 1,
  PRUNE_KEEP_NO_RETENTION = 2,
  PRUNE_KEEP_NOT_EXPIRED = 3,
  PRUNE_KEEP_DEPENDENT_KEPT = 4,
  PRUNE_KEEP_NEWEST = 5,
  // Outside the name filter: not decided, not reported, not counted.
  PRUNE_OTHER_NAME = 6,
};

// The reason a kept backup is reported with; "" for the other values.
const char* prune_reason_text(uint8_t decision);

struct prune_item {
  uint32_t position = 0;  // in the catalog
  int32_t depth = 0;      // parent links followed (within the name filter)
};

struct prune_plan {
  std::vector<uint8_t> decision;      // one prune_decision per catalog position
  std::vector<prune_item> deletions;  // deepest first; catalog order among equal depths
};

// Decides every entry of the catalog for an expiry time of now; name_filter
// is null for every name. STATUS_OK, or STATUS_NO_MEMORY (*out is then
// untouched).
[[nodiscard]] status_t prune_plan_build(const std::vector<catalog_entry>& entries,
                                        const char* name_filter, int64_t now, prune_plan* out);
