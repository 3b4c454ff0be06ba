#include "store/chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/catalog_fixture.h"
#include "store/header.h"

namespace {

using test::backup_header_of;
using test::CatalogTest;
using test::listing_order;

}  // namespace

// ---- chain_resolve ----

TEST_F(CatalogTest, FullResolvesAloneWithoutScanning) {
  std::string full = put("f.infb", 1, 0, 0, {0});
  backup_chain chain;
  ASSERT_EQ(chain_resolve(full.c_str(), dir_.file("does-not-exist").c_str(), &chain), STATUS_OK);
  ASSERT_EQ(chain.members.size(), 1u);
  EXPECT_EQ(chain.members[0].meta_path, full);
  EXPECT_EQ(chain.members[0].table.size(), 1u);
  chain_release(&chain);
  EXPECT_TRUE(chain.members.empty());
}

TEST_F(CatalogTest, ChainRunsFromTheFullToTheTarget) {
  std::string f = put("f.infb", 1, 0, 0, {0, 1, 2});
  std::string d = put("d.indb", 2, 1, 1, {1});
  put("other.infb", 9, 0, 0);
  std::string i = put("i.inib", 3, 2, 2, {2});
  backup_chain chain;
  ASSERT_EQ(chain_resolve(i.c_str(), dir_.path().c_str(), &chain), STATUS_OK);
  ASSERT_EQ(chain.members.size(), 3u);
  EXPECT_EQ(chain.members[0].meta_path, f);
  EXPECT_EQ(chain.members[1].meta_path, d);
  EXPECT_EQ(chain.members[2].meta_path, i);
  EXPECT_EQ(chain.members[0].table.size(), 3u);
  chain_release(&chain);
}

TEST_F(CatalogTest, TargetMayLieOutsideTheSearchDirectory) {
  test::TempDir elsewhere;
  std::string f = put("f.infb", 1, 0, 0);
  std::string i = elsewhere.file("i.inib");
  test::write_raw_meta(i, backup_header_of(3, 1, 2), {});
  backup_chain chain;
  ASSERT_EQ(chain_resolve(i.c_str(), dir_.path().c_str(), &chain), STATUS_OK);
  ASSERT_EQ(chain.members.size(), 2u);
  EXPECT_EQ(chain.members[0].meta_path, f);
  EXPECT_EQ(chain.members[1].meta_path, i);

  test::TempDir empty;
  EXPECT_EQ(chain_resolve(i.c_str(), empty.path().c_str(), &chain), STATUS_NOT_FOUND);
  EXPECT_TRUE(chain.members.empty());
}

TEST_F(CatalogTest, MissingAncestorIsNotFound) {
  put("f.infb", 1, 0, 0);
  std::string i = put("i2.inib", 3, 2, 2);  // its parent INC (uuid 2) is gone
  backup_chain chain;
  EXPECT_EQ(chain_resolve(i.c_str(), dir_.path().c_str(), &chain), STATUS_NOT_FOUND);
  EXPECT_TRUE(chain.members.empty());
  EXPECT_EQ(chain_resolve(dir_.file("none.inib").c_str(), dir_.path().c_str(), &chain),
            STATUS_NOT_FOUND);
}

TEST_F(CatalogTest, ParentLoopWithoutAFullIsCorruptAndEnds) {
  std::string a = put("a.inib", 2, 3, 2);
  put("b.inib", 3, 2, 2);
  put("f.infb", 1, 0, 0);
  std::string self = put("self.indb", 4, 4, 1);
  backup_chain chain;
  EXPECT_EQ(chain_resolve(a.c_str(), dir_.path().c_str(), &chain), STATUS_CORRUPT);
  EXPECT_EQ(chain_resolve(self.c_str(), dir_.path().c_str(), &chain), STATUS_CORRUPT);
  EXPECT_TRUE(chain.members.empty());
}

TEST_F(CatalogTest, DuplicateUuidTakesTheFirstListed) {
  put("f1.infb", 1, 0, 0, {0});
  put("f2.infb", 1, 0, 0, {0, 1});
  std::string i = put("i.inib", 3, 1, 2);
  std::string first;
  for (const auto& n : listing_order(dir_.path())) {
    if (n == "f1.infb" || n == "f2.infb") {
      first = dir_.file(n);
      break;
    }
  }
  backup_chain chain;
  ASSERT_EQ(chain_resolve(i.c_str(), dir_.path().c_str(), &chain), STATUS_OK);
  ASSERT_EQ(chain.members.size(), 2u);
  EXPECT_EQ(chain.members[0].meta_path, first);
  chain_release(&chain);
}

TEST_F(CatalogTest, DamagedMemberFailsTheChainAndLeavesItEmpty) {
  std::string f = put("f.infb", 1, 0, 0, {0, 1});
  std::string i = put("i.inib", 3, 1, 2, {1});
  test::flip_byte(f, 4096 + 5);  // inside the FULL's table
  int fds = test::open_fd_count();
  backup_chain chain;
  EXPECT_EQ(chain_resolve(i.c_str(), dir_.path().c_str(), &chain), STATUS_CORRUPT);
  EXPECT_TRUE(chain.members.empty());
  EXPECT_EQ(test::open_fd_count(), fds);
}

TEST_F(CatalogTest, LongChainResolvesInOrderWhateverTheListing) {
  constexpr int kLength = 120;  // uuid bytes 1..120; each INC's parent is the one before
  std::mt19937 gen(4);
  std::vector<int> order(kLength);
  for (int k = 0; k < kLength; k++) order[k] = k + 1;
  std::shuffle(order.begin(), order.end(), gen);
  for (int id : order) {
    auto b = static_cast<uint8_t>(id);
    put("m" + std::to_string(id) + (id == 1 ? ".infb" : ".inib"), b,
        id == 1 ? 0 : static_cast<uint8_t>(id - 1), id == 1 ? 0 : 2);
  }
  backup_chain chain;
  ASSERT_EQ(chain_resolve(dir_.file("m120.inib").c_str(), dir_.path().c_str(), &chain), STATUS_OK);
  ASSERT_EQ(chain.members.size(), static_cast<size_t>(kLength));
  for (int k = 0; k < kLength; k++) ASSERT_EQ(header_uuid(*chain.members[k].header)[0], k + 1) << k;
  chain_release(&chain);
}

// ---- chain_block_map_build ----

TEST_F(CatalogTest, NewestMemberWinsEachBlockAndBlocksBeyondTheVolumeAreIgnored) {
  put("f.infb", 1, 0, 0, {0, 1, 2, 3});  // 5 MiB in 2 MiB blocks: 3 slots, block 3 is beyond
  std::string i = put("i.inib", 3, 1, 2, {1});
  backup_chain chain;
  ASSERT_EQ(chain_resolve(i.c_str(), dir_.path().c_str(), &chain), STATUS_OK);
  chain_block_map map;
  ASSERT_EQ(chain_block_map_build(chain, &map), STATUS_OK);
  ASSERT_EQ(map.slots.size(), 3u);
  EXPECT_EQ(map.slots[0].member, 0);
  EXPECT_EQ(map.slots[1].member, 1);
  EXPECT_EQ(map.slots[2].member, 0);
  for (uint64_t k = 0; k < 3; k++) EXPECT_EQ(map.slots[k].block_index, k);
  EXPECT_EQ(map.slots[0].entry, &chain.members[0].table[0]);
  EXPECT_EQ(map.slots[1].entry, &chain.members[1].table[0]);
  EXPECT_EQ(map.slots[2].entry, &chain.members[0].table[2]);
  chain_block_map_free(&map);
  EXPECT_TRUE(map.slots.empty());
  chain_release(&chain);
}

namespace {

// A chain built in memory, for the map's edge cases.
backup_chain chain_of(uint64_t volume_size, uint32_t block_size,
                      std::vector<std::vector<uint64_t>> member_blocks) {
  backup_chain chain;
  for (const auto& ids : member_blocks) {
    loaded_backup b;
    b.header = std::make_unique<backup_header>();
    header_init_full(b.header.get(), "x", volume_size, 1);
    header_set_block_size(b.header.get(), block_size);
    for (uint64_t id : ids) {
      block_entry e;
      e.block_id = id;
      b.table.push_back(e);
    }
    chain.members.push_back(std::move(b));
  }
  return chain;
}

}  // namespace

TEST(ChainBlockMapTest, SlotsWithoutAnEntryStayEmpty) {
  auto chain = chain_of(10 * 4096, 4096, {{0, 9}, {9}});
  chain.members[1].table[0].flags = BLOCK_FLAG_NO_DATA;
  chain_block_map map;
  ASSERT_EQ(chain_block_map_build(chain, &map), STATUS_OK);
  ASSERT_EQ(map.slots.size(), 10u);
  EXPECT_EQ(map.slots[5].member, -1);
  EXPECT_EQ(map.slots[5].entry, nullptr);
  EXPECT_EQ(map.slots[9].member, 1) << "a no-data entry is placed like any other";
}

TEST(ChainBlockMapTest, SlotCountIsTheVolumeRoundedUpToWholeBlocks) {
  chain_block_map map;
  ASSERT_EQ(chain_block_map_build(chain_of(0, 4096, {{0}}), &map), STATUS_OK);
  EXPECT_EQ(map.slots.size(), 0u);
  ASSERT_EQ(chain_block_map_build(chain_of(4096, 4096, {{}}), &map), STATUS_OK);
  EXPECT_EQ(map.slots.size(), 1u);
  ASSERT_EQ(chain_block_map_build(chain_of(4097, 4096, {{}}), &map), STATUS_OK);
  EXPECT_EQ(map.slots.size(), 2u);
}

TEST(ChainBlockMapTest, DamagedOrEmptyChainsAreRefused) {
  chain_block_map map;
  EXPECT_EQ(chain_block_map_build(backup_chain{}, &map), STATUS_INVALID);
  EXPECT_EQ(chain_block_map_build(chain_of(4096, 0, {{0}}), &map), STATUS_CORRUPT);
  // Rounding up must not wrap this to zero slots; it is far too large to hold.
  EXPECT_EQ(chain_block_map_build(chain_of(~uint64_t{0}, 2, {{0}}), &map), STATUS_NO_MEMORY);
  EXPECT_TRUE(map.slots.empty());
}
