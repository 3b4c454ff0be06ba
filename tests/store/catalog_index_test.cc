#include "store/catalog_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/store_fixtures.h"

namespace {

using test::uuid_of;

constexpr uint32_t NONE = CATALOG_NO_ENTRY;

// The positions along one of the index's lists, from first.
std::vector<uint32_t> follow(uint32_t first, const std::vector<uint32_t>& next) {
  std::vector<uint32_t> out;
  for (uint32_t p = first; p != NONE; p = next[p]) out.push_back(p);
  return out;
}

TEST(CatalogIndexTest, FindsEveryUuidAndTheFirstOfDuplicates) {
  std::vector<catalog_entry> c(500);
  std::mt19937 gen(9);
  for (auto& e : c)
    for (auto& b : e.uuid) b = static_cast<uint8_t>(gen());
  memcpy(c[300].uuid, c[100].uuid, 16);
  memcpy(c[499].uuid, c[100].uuid, 16);
  catalog_index index;
  ASSERT_EQ(catalog_index_build(c, &index), STATUS_OK);
  for (size_t i = 0; i < c.size(); i++) {
    int64_t want = (i == 300 || i == 499) ? 100 : static_cast<int64_t>(i);
    ASSERT_EQ(catalog_index_find(index, c[i].uuid), want) << i;
    ASSERT_EQ(index.first_carrier[i], want) << i;
  }
  EXPECT_EQ(follow(100, index.next_carrier), (std::vector<uint32_t>{100, 300, 499}));
  EXPECT_EQ(index.next_carrier[99], NONE);
  uint8_t absent[16] = {};
  EXPECT_EQ(catalog_index_find(index, absent), -1);
}

TEST(CatalogIndexTest, EmptyCatalogFindsNothing) {
  std::vector<catalog_entry> c;
  catalog_index index;
  ASSERT_EQ(catalog_index_build(c, &index), STATUS_OK);
  EXPECT_EQ(catalog_index_find(index, uuid_of(1).data()), -1);
  catalog_index never_built;
  EXPECT_EQ(catalog_index_find(never_built, uuid_of(1).data()), -1);
  EXPECT_TRUE(catalog_index_dependents(never_built, uuid_of(1).data()).empty());
}

// Entries 0..6 with uuids 1 2 3 2 4 5 7 and parent uuids 0 1 1 9 1 1 2.
std::vector<catalog_entry> small_catalog() {
  const uint8_t ids[] = {1, 2, 3, 2, 4, 5, 7}, parents[] = {0, 1, 1, 9, 1, 1, 2};
  std::vector<catalog_entry> c(7);
  for (size_t i = 0; i < c.size(); i++) {
    memcpy(c[i].uuid, uuid_of(ids[i]).data(), 16);
    memcpy(c[i].parent_uuid, uuid_of(parents[i]).data(), 16);
  }
  return c;
}

std::vector<uint32_t> positions(std::span<const catalog_index_key> keys) {
  std::vector<uint32_t> out;
  for (const catalog_index_key& k : keys) out.push_back(k.position);
  return out;
}

TEST(CatalogIndexTest, LinksLeadToTheFirstParentAndEveryDependentInCatalogOrder) {
  std::vector<catalog_entry> c = small_catalog();
  catalog_index index;
  ASSERT_EQ(catalog_index_build(c, &index), STATUS_OK);
  // Uuid 2 is carried by 1 and 3: its dependent 6 links to 1, and both
  // carriers list 6 as their dependent.
  EXPECT_EQ(index.parent, (std::vector<uint32_t>{NONE, 0, 0, NONE, 0, 0, 1}));
  EXPECT_EQ(follow(index.first_dependent[0], index.next_dependent),
            (std::vector<uint32_t>{1, 2, 4, 5}));
  EXPECT_EQ(follow(index.first_dependent[3], index.next_dependent), (std::vector<uint32_t>{6}));
  EXPECT_EQ(index.first_dependent[1], 6u);
  EXPECT_EQ(index.first_dependent[2], NONE);

  // Uuids outside the catalog are looked up: 9 is named by 3, 0 by 0.
  EXPECT_EQ(positions(catalog_index_dependents(index, uuid_of(1).data())),
            (std::vector<uint32_t>{1, 2, 4, 5}));
  EXPECT_EQ(positions(catalog_index_dependents(index, uuid_of(9).data())),
            (std::vector<uint32_t>{3}));
  EXPECT_EQ(positions(catalog_index_dependents(index, uuid_of(0).data())),
            (std::vector<uint32_t>{0}));
  EXPECT_TRUE(catalog_index_dependents(index, uuid_of(3).data()).empty());
}

TEST(CatalogIndexTest, IndexOfSomeEntriesLinksOnlyThose) {
  std::vector<catalog_entry> c = small_catalog();
  const std::vector<uint8_t> only = {1, 0, 1, 1, 0, 1, 1};
  catalog_index index;
  ASSERT_EQ(catalog_index_build(c, &index, &only), STATUS_OK);
  EXPECT_EQ(catalog_index_find(index, uuid_of(2).data()), 3);  // the first, 1, is left out
  EXPECT_EQ(catalog_index_find(index, uuid_of(4).data()), -1);
  EXPECT_EQ(index.parent, (std::vector<uint32_t>{NONE, NONE, 0, NONE, NONE, 0, 3}));
  EXPECT_EQ(follow(index.first_dependent[0], index.next_dependent), (std::vector<uint32_t>{2, 5}));
  EXPECT_EQ(index.first_carrier[1], NONE);
  EXPECT_EQ(positions(catalog_index_dependents(index, uuid_of(1).data())),
            (std::vector<uint32_t>{2, 5}));
}

}  // namespace
