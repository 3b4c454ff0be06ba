#include "store/catalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/fs.h"
#include "base/log.h"
#include "support/store_fixtures.h"
#include "support/test_util.h"

namespace {

using test::uuid_of;

// Names in the order the kernel lists them: the order a catalog keeps.
std::vector<std::string> listing_order(const std::string& dir) {
  std::vector<std::string> names;
  unique_dir d;
  if (fs_dir_open(dir.c_str(), &d.dir) != STATUS_OK) return names;
  const char* name = nullptr;
  while (fs_dir_next(&d.dir, &name) == STATUS_OK && name) names.emplace_back(name);
  return names;
}

test::RawHeader backup_header_of(uint8_t id, uint8_t parent, uint8_t kind) {
  test::RawHeader h;
  h.uuid = uuid_of(id);
  h.parent_uuid = uuid_of(parent);
  h.base_uuid = uuid_of(1);
  h.kind = kind;
  h.block_size = 2 * 1024 * 1024;
  h.volume_size = 5 * 1024 * 1024;
  h.header_size = 4096;  // small headers keep long chains cheap to write
  return h;
}

std::vector<test::RawEntry> blocks(std::initializer_list<uint64_t> ids) {
  std::vector<test::RawEntry> v;
  for (uint64_t id : ids) {
    test::RawEntry e;
    e.block_id = id;
    e.offset = id * 1000;
    e.stored_len = 10;
    e.raw_len = 100;
    v.push_back(e);
  }
  return v;
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  // Writes a backup of the given kind named after its uuid byte.
  std::string put(const std::string& file, uint8_t id, uint8_t parent, uint8_t kind,
                  std::initializer_list<uint64_t> ids = {}) {
    std::string path = dir_.file(file);
    test::write_raw_meta(path, backup_header_of(id, parent, kind), blocks(ids));
    return path;
  }

  status_t scan(std::vector<catalog_entry>* out, std::string* log = nullptr) {
    return scan_dir(dir_.path(), out, log);
  }
  status_t scan_dir(const std::string& dir, std::vector<catalog_entry>* out,
                    std::string* log = nullptr) {
    ::testing::internal::CaptureStderr();
    status_t s = catalog_scan(dir.c_str(), out);
    std::string err = test::strip_log_times(::testing::internal::GetCapturedStderr());
    if (log) *log = err;
    return s;
  }

  test::TempDir dir_;
};

}  // namespace

// ---- catalog_scan ----

TEST_F(CatalogTest, MissingDirectoryIsAnEmptyCatalog) {
  std::vector<catalog_entry> c;
  std::string log;
  EXPECT_EQ(scan_dir(dir_.file("nothing-here"), &c, &log), STATUS_OK);
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(log, "");
}

TEST_F(CatalogTest, EntriesCarryTheHeaderFieldsInListingOrder) {
  test::RawHeader h = backup_header_of(0x21, 0x20, 2);
  h.name = std::string(70, 'q');  // stored as 63 bytes without a terminator
  h.created = 1234567890;
  h.retain_until = 1900000000;
  h.header_size = 131072;  // retain_until lies beyond a small header
  test::write_raw_meta(dir_.file("a.inib"), h, {});
  put("b.infb", 0x20, 0, 0);
  put("c.indb", 0x22, 0x20, 1);

  std::vector<catalog_entry> c;
  ASSERT_EQ(scan(&c), STATUS_OK);
  std::vector<std::string> expected;
  for (const auto& n : listing_order(dir_.path())) expected.push_back(dir_.file(n));
  ASSERT_EQ(c.size(), 3u);
  for (size_t i = 0; i < 3; i++) EXPECT_EQ(c[i].meta_path, expected[i]);

  auto a =
      std::find_if(c.begin(), c.end(), [&](auto& e) { return e.meta_path == dir_.file("a.inib"); });
  ASSERT_NE(a, c.end());
  EXPECT_EQ(memcmp(a->uuid, uuid_of(0x21).data(), 16), 0);
  EXPECT_EQ(memcmp(a->parent_uuid, uuid_of(0x20).data(), 16), 0);
  EXPECT_EQ(a->kind, 2);
  EXPECT_EQ(a->name, std::string(63, 'q'));
  EXPECT_EQ(a->created, 1234567890);
  EXPECT_EQ(a->retain_until, 1900000000);
}

TEST_F(CatalogTest, DamagedAndNewerHeadersAreSkippedWithAWarning) {
  put("good.infb", 0x20, 0, 0);
  put("short.infb", 0x21, 0, 0);
  test::truncate_file(dir_.file("short.infb"), 100);
  test::RawHeader newer = backup_header_of(0x22, 0, 0);
  newer.format_version = 2;
  test::write_raw_meta(dir_.file("newer.indb"), newer, {});

  std::vector<catalog_entry> c;
  std::string log;
  ASSERT_EQ(scan(&c, &log), STATUS_OK);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].meta_path, dir_.file("good.infb"));
  EXPECT_NE(
      log.find("WARN  skipping " + dir_.file("short.infb") + ": corrupt or incomplete header\n"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("WARN  skipping " + dir_.file("newer.indb") + ": newer format version\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

TEST_F(CatalogTest, OnlyMetaFileNamesAreRead) {
  put("a.infb", 0x20, 0, 0);
  for (const char* other : {"a.csfb", "a.infb.tmp", "b.infb.part", "c.INFB", "notes.txt"})
    test::write_text(dir_.file(other), "not a header");
  ASSERT_EQ(mkdir(dir_.file("sub").c_str(), 0755), 0);
  test::write_raw_meta(dir_.file("sub/deep.infb"), backup_header_of(0x30, 0, 0), {});

  std::vector<catalog_entry> c;
  std::string log;
  ASSERT_EQ(scan(&c, &log), STATUS_OK);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].meta_path, dir_.file("a.infb"));
  EXPECT_EQ(log, "");
}

TEST_F(CatalogTest, FileThatVanishesAfterTheListingIsSkippedSilently) {
  put("a.infb", 0x20, 0, 0);
  put("gone.infb", 0x21, 0, 0);
  test::FaultInjector faults;
  faults.fail_when(
      [](fs_op op, const char* path) {
        return op == FS_OP_OPEN && path && std::string(path).ends_with("/gone.infb");
      },
      ENOENT);
  std::vector<catalog_entry> c;
  std::string log;
  ASSERT_EQ(scan(&c, &log), STATUS_OK);
  EXPECT_TRUE(faults.fired());
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(log, "");
}

TEST_F(CatalogTest, SubdirectoryWithAMetaNameFailsTheWholeScan) {
  put("a.infb", 0x20, 0, 0);
  ASSERT_EQ(mkdir(dir_.file("x.infb").c_str(), 0755), 0);
  std::vector<catalog_entry> c(1);
  c[0].name = "kept";
  std::string log;
  EXPECT_EQ(scan(&c, &log), STATUS_IO);
  EXPECT_EQ(log,
            "ERROR cannot read backup header " + dir_.file("x.infb") + " (I/O error, status=-1)\n");
  ASSERT_EQ(c.size(), 1u) << "the caller's array is left alone";
  EXPECT_EQ(c[0].name, "kept");
}

TEST_F(CatalogTest, OtherHeaderFailuresKeepTheirStatus) {
  put("a.infb", 0x20, 0, 0);
  test::FaultInjector faults;
  faults.only({FS_OP_PREAD});
  faults.fail_at(1, ENOMEM);
  std::vector<catalog_entry> c;
  std::string log;
  EXPECT_EQ(scan(&c, &log), STATUS_NO_MEMORY);
  EXPECT_EQ(log, "ERROR cannot read backup header " + dir_.file("a.infb") +
                     " (out of memory, status=-2)\n");
}

TEST_F(CatalogTest, DirectoryThatCannotBeOpenedIsAnIoError) {
  test::write_text(dir_.file("plain"), "");
  std::vector<catalog_entry> c;
  std::string log;
  EXPECT_EQ(scan_dir(dir_.file("plain"), &c, &log), STATUS_IO);
  EXPECT_EQ(log,
            "ERROR cannot open backup directory " + dir_.file("plain") + ": Not a directory\n");
}

TEST_F(CatalogTest, FailedListingIsNotTakenForTheEnd) {
  put("a.infb", 0x20, 0, 0);
  put("b.infb", 0x21, 0, 0);
  test::FaultInjector faults;
  faults.only({FS_OP_READDIR});
  faults.fail_at(2, EIO);
  std::vector<catalog_entry> c;
  std::string log;
  EXPECT_EQ(scan(&c, &log), STATUS_IO);
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(log, "ERROR cannot read backup directory " + dir_.path() + ": Input/output error\n");
}

TEST_F(CatalogTest, FreeEmptiesTheCatalog) {
  put("a.infb", 0x20, 0, 0);
  std::vector<catalog_entry> c;
  ASSERT_EQ(scan(&c), STATUS_OK);
  catalog_free(&c);
  EXPECT_TRUE(c.empty());
  catalog_free(&c);
}

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
