// The delete plan: the backup to delete and every backup of the catalog that
// depends on it, directly or through others, in removal order. The set is
// the one that passes over the catalog would build:
//
//  1. The set starts with the target's uuid (the target's depth is 0).
//  2. A pass takes the entries in catalog order. An entry joins when its
//     parent_uuid is the uuid of a member and its own uuid is not in the set
//     yet, at its parent member's depth plus one. A member that joins is seen
//     by the entries after it in the same pass.
//  3. Passes repeat until one adds nothing.
//
// So of several files sharing a uuid, the first one a pass meets while its
// parent is a member joins, and the others stay. Removal runs deepest first,
// in joining order among equal depths: the target goes last.
//
// DeletePlanTest.AgreesWithRepeatedPassesOnRandomCatalogs (tests/ops/
// delete_test.cc) holds the plan to these passes run as they read.
#pragma once

#include <cstdint>
#include <vector>

#include "base/status.h"
#include "store/catalog.h"
#include "store/uuid.h"

struct delete_member {
  int32_t position = -1;  // in the catalog; -1 for the target itself
  int32_t depth = 0;      // 0 for the target, its parent member's depth + 1 otherwise
};

// The members for the target with target_uuid, in removal order.
// STATUS_OK, or STATUS_NO_MEMORY (*out is then untouched).
[[nodiscard]] status_t delete_plan_build(const std::vector<catalog_entry>& entries,
                                         const uint8_t target_uuid[UUID_SIZE],
                                         std::vector<delete_member>* out);
