#include "store/catalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/fs.h"
#include "store/catalog_fixture.h"
#include "support/test_util.h"

namespace {

using test::backup_header_of;
using test::CatalogTest;
using test::listing_order;
using test::uuid_of;

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
