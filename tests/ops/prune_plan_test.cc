#include "ops/prune_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/header_only_backup.h"
#include "store/format.h"

// The plan's agreement with the plain rule on random catalogs, and its long
// chains, are tested in prune_test.cc; these pin the corners of the rule
// that a planner working per uuid could get wrong.

namespace {

using test::uid;

constexpr int64_t NOW = 1700000000;
constexpr int64_t EXPIRED = NOW - 1;

catalog_entry entry(const std::string& stem, uint32_t id, uint32_t parent, const char* name,
                    int64_t created) {
  return test::catalog_entry_of("/s/" + stem + ".inib", id, parent, name, created, EXPIRED);
}

prune_plan plan_of(const std::vector<catalog_entry>& catalog, const char* filter = nullptr) {
  prune_plan plan;
  EXPECT_EQ(prune_plan_build(catalog, filter, NOW, &plan), STATUS_OK);
  return plan;
}

TEST(PrunePlanTest, WithANameFilterLinksLeadOnlyToBackupsOfThatName) {
  // Uuid 1 is carried by a "web" backup listed first and by the "db" FULL.
  std::vector<catalog_entry> catalog = {
      entry("web", 1, 0, "web", 10),    entry("full", 1, 0, "db", 20),
      entry("inc", 2, 1, "db", 30),     entry("newest", 3, 2, "db", 40),
      entry("odd", 4, 9, "db", 25),     entry("above-web", 5, 6, "db", 26),
      entry("web-inc", 6, 4, "web", 27)};

  // Within the run the newest chain reaches the db FULL; "web-inc" depends
  // on "odd", so that stays.
  prune_plan plan = plan_of(catalog, "db");
  EXPECT_EQ(plan.decision,
            (std::vector<uint8_t>{PRUNE_OTHER_NAME, PRUNE_KEEP_NEWEST, PRUNE_KEEP_NEWEST,
                                  PRUNE_KEEP_NEWEST, PRUNE_KEEP_DEPENDENT_KEPT, PRUNE_DELETE,
                                  PRUNE_OTHER_NAME}));
  // "above-web" hangs off a web backup: no link within the run, depth 0.
  ASSERT_EQ(plan.deletions.size(), 1u);
  EXPECT_EQ(plan.deletions[0].position, 5u);
  EXPECT_EQ(plan.deletions[0].depth, 0);

  // For every name the chain walk takes the first carrier of uuid 1, the
  // web backup, and the db FULL is kept only by its dependent.
  plan = plan_of(catalog);
  EXPECT_EQ(plan.decision[0], PRUNE_KEEP_NEWEST);
  EXPECT_EQ(plan.decision[1], PRUNE_KEEP_DEPENDENT_KEPT);
}

TEST(PrunePlanTest, EveryCarrierOfAUuidHasItsDependents) {
  // 2 and its duplicate 2' carry uuid 2. 1 depends on 2, 2' on 1: the
  // cycle 1 -> 2' keeps both, and 2 is kept by its dependent 1, though no
  // parent walk ever meets the cycle.
  std::vector<catalog_entry> catalog = {entry("two", 2, 3, "db", 10), entry("one", 1, 2, "db", 11),
                                        entry("two-again", 2, 1, "db", 12),
                                        entry("newest", 9, 0, "db", 99)};
  prune_plan plan = plan_of(catalog);
  EXPECT_EQ(plan.decision,
            (std::vector<uint8_t>{PRUNE_KEEP_DEPENDENT_KEPT, PRUNE_KEEP_DEPENDENT_KEPT,
                                  PRUNE_KEEP_DEPENDENT_KEPT, PRUNE_KEEP_NEWEST}));
  EXPECT_TRUE(plan.deletions.empty());
}

TEST(PrunePlanTest, ManyCarriersOfOneUuidWaitForAllTheirDependents) {
  // N expired files share uuid 1, one of them naming itself as parent; N
  // expired backups depend on uuid 1. Everything but the newest goes. Links
  // lead to the first carrier: the dependents and the self-parent carrier
  // are at depth 1, the other carriers at depth 0.
  constexpr uint32_t N = 50000;
  constexpr uint32_t SELF = 7;
  std::vector<catalog_entry> catalog;
  for (uint32_t k = 0; k < N; k++)
    catalog.push_back(entry("c" + std::to_string(k), 1, k == SELF ? 1 : 0, "db", 10));
  for (uint32_t k = 0; k < N; k++)
    catalog.push_back(entry("d" + std::to_string(k), 100 + k, 1, "db", 20));
  catalog.push_back(entry("newest", 2, 0, "db", 99));

  std::vector<uint32_t> order = {SELF};
  for (uint32_t k = N; k < 2 * N; k++) order.push_back(k);
  for (uint32_t k = 0; k < N; k++)
    if (k != SELF) order.push_back(k);

  prune_plan plan = plan_of(catalog);
  EXPECT_EQ(plan.decision.back(), PRUNE_KEEP_NEWEST);
  ASSERT_EQ(plan.deletions.size(), order.size());
  for (size_t k = 0; k < order.size(); k++) {
    ASSERT_EQ(plan.deletions[k].position, order[k]) << k;
    ASSERT_EQ(plan.deletions[k].depth, k <= N ? 1 : 0) << k;
  }

  // A second carrier naming itself as parent: the two wait for each other.
  memcpy(catalog[SELF + 1].parent_uuid, uid(1).data(), UUID_SIZE);
  plan = plan_of(catalog);
  EXPECT_EQ(plan.deletions.size(), N);  // the dependents alone
  EXPECT_EQ(plan.decision[0], PRUNE_KEEP_DEPENDENT_KEPT);
  EXPECT_EQ(plan.decision[SELF], PRUNE_KEEP_DEPENDENT_KEPT);
}

}  // namespace
