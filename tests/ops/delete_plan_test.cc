#include "ops/delete_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/header_only_backup.h"
#include "store/format.h"

// The plan's agreement with the repeated passes on random catalogs, and its
// long chains, are tested in delete_test.cc; these pin which of several
// files sharing a uuid joins.

namespace {

using test::uid;

catalog_entry entry(uint32_t id, uint32_t parent) {
  return test::catalog_entry_of("", id, parent);
}

std::vector<std::pair<int32_t, int32_t>> plan_of(const std::vector<catalog_entry>& catalog,
                                                 uint32_t target) {
  std::vector<delete_member> members;
  EXPECT_EQ(delete_plan_build(catalog, uid(target).data(), &members), STATUS_OK);
  std::vector<std::pair<int32_t, int32_t>> out;
  for (const delete_member& m : members) out.emplace_back(m.position, m.depth);
  return out;
}

using plan = std::vector<std::pair<int32_t, int32_t>>;

TEST(DeletePlanTest, OfFilesSharingAUuidTheFirstMetWithItsParentInTheSetJoins) {
  // Uuid 5 is carried by entry 0 (on 2) and entry 2 (on the target). The
  // first pass meets entry 0 before 2 has joined, so entry 2 joins for uuid
  // 5, and entry 0 is passed over in the second pass.
  std::vector<catalog_entry> catalog = {entry(5, 2), entry(2, 1), entry(5, 1), entry(6, 5)};
  EXPECT_EQ(plan_of(catalog, 1), (plan{{3, 2}, {1, 1}, {2, 1}, {-1, 0}}));

  // Listed after 2, entry 0 is met with its parent in the set first.
  catalog = {entry(2, 1), entry(5, 2), entry(5, 1), entry(6, 5)};
  EXPECT_EQ(plan_of(catalog, 1), (plan{{3, 3}, {1, 2}, {0, 1}, {-1, 0}}));
}

TEST(DeletePlanTest, FilesCarryingTheTargetsUuidNeverJoin) {
  // The target is read through its own path; a copy in the catalog, or one
  // depending on the target, stays with the target.
  std::vector<catalog_entry> catalog = {entry(1, 0), entry(2, 1), entry(1, 2), entry(3, 3)};
  EXPECT_EQ(plan_of(catalog, 1), (plan{{1, 1}, {-1, 0}}));
  // Deleting uuid 3, whose file names itself as parent, takes nothing else.
  EXPECT_EQ(plan_of(catalog, 3), (plan{{-1, 0}}));
}

}  // namespace
