#include "ops/delete.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "ops/delete_plan.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/header.h"
#include "store/naming.h"
#include "support/header_only_backup.h"
#include "support/test_util.h"

namespace {

using test::backup_desc;
using test::disk_backup;
using test::gone;
using test::intact;
using test::uid;
using test::write_backup;

std::string uid_text(uint32_t n) {
  char text[UUID_TEXT_SIZE];
  uuid_format(uid(n).data(), text);
  return text;
}

class DeleteTest : public testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  test::Logged remove(const disk_backup& target, bool dry_run = false,
                      const std::string& where = "") {
    std::string d = where.empty() ? dir.path() : where;
    delete_request req;
    req.meta_path = target.meta.c_str();
    req.search_dir = d.c_str();
    req.dry_run = dry_run;
    return test::logged([&] { return delete_backup(req); });
  }
  disk_backup add(const backup_desc& s) { return write_backup(dir.path(), s); }

  // Backup 1 (FULL) <- 2 (DIFF) <- 3 (INC), with 100, 20 and 3 bytes of image data.
  void add_chain() {
    full = add({.stem = "f", .id = 1, .image_bytes = 100});
    diff = add({.stem = "d", .id = 2, .parent = 1, .kind = KIND_DIFF, .image_bytes = 20});
    inc = add({.stem = "i", .id = 3, .parent = 2, .kind = KIND_INC, .image_bytes = 3});
  }
  std::string line(const char* action, const char* kind, uint32_t id, const disk_backup& b) {
    return std::string("INFO  ") + action + ": " + kind + " 'db' uuid=" + uid_text(id) +
           " meta=" + b.meta;
  }

  test::TempDir dir;
  disk_backup full, diff, inc;
};

TEST_F(DeleteTest, DeletingAFullRemovesIncThenDiffThenFullAndNothingUnrelated) {
  add_chain();
  auto other = add({.stem = "g", .id = 7, .name = "db"});
  auto other_inc = add({.stem = "h", .id = 8, .parent = 7, .kind = KIND_INC});
  auto orphan = add({.stem = "o", .id = 9, .parent = 99, .kind = KIND_DIFF});

  test::Logged out = remove(full);
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           line("deleting", "INC", 3, inc), line("deleting", "DIFF", 2, diff),
                           line("deleting", "FULL", 1, full),
                           "INFO  deleted 3 backup(s), 123 byte(s) of image data"}));
  EXPECT_TRUE(gone(full) && gone(diff) && gone(inc));
  EXPECT_TRUE(intact(other) && intact(other_inc) && intact(orphan));
}

TEST_F(DeleteTest, DeletingAnIncKeepsItsParentAndTakesItsOwnDependents) {
  add_chain();
  auto next = add({.stem = "j", .id = 4, .parent = 3, .kind = KIND_INC, .image_bytes = 1});

  test::Logged out = remove(inc);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           line("deleting", "INC", 4, next), line("deleting", "INC", 3, inc),
                           "INFO  deleted 2 backup(s), 4 byte(s) of image data"}));
  EXPECT_TRUE(gone(inc) && gone(next));
  EXPECT_TRUE(intact(full) && intact(diff));
}

TEST_F(DeleteTest, TargetOutsideTheSearchDirectoryGoesWithItsDependentsThere) {
  test::TempDir elsewhere;
  auto target = write_backup(elsewhere.path(), {.stem = "f", .id = 1, .image_bytes = 5});
  auto dep = add({.stem = "d", .id = 2, .parent = 1, .kind = KIND_DIFF, .image_bytes = 6});

  test::Logged out = remove(target);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           line("deleting", "DIFF", 2, dep), line("deleting", "FULL", 1, target),
                           "INFO  deleted 2 backup(s), 11 byte(s) of image data"}));
  EXPECT_TRUE(gone(target) && gone(dep));
}

TEST_F(DeleteTest, DryRunRemovesNothingAndStillTotalsTheImageBytes) {
  add_chain();
  test::Logged out = remove(full, true);
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           line("[dry-run] would delete", "INC", 3, inc),
                           line("[dry-run] would delete", "DIFF", 2, diff),
                           line("[dry-run] would delete", "FULL", 1, full),
                           "INFO  would delete 3 backup(s), 123 byte(s) of image data"}));
  EXPECT_TRUE(intact(full) && intact(diff) && intact(inc));
}

// ---- Refusals and failures ----

TEST_F(DeleteTest, MissingSearchDirectoryIsRefusedAndNothingIsRemoved) {
  add_chain();
  std::string mistyped = dir.file("no-such-dir");
  test::Logged out = remove(full, false, mistyped);
  EXPECT_EQ(out.status, STATUS_NOT_FOUND);
  EXPECT_EQ(out.lines, std::vector<std::string>{"ERROR cannot open backup directory " + mistyped +
                                                ": No such file or directory"});
  EXPECT_TRUE(intact(full) && intact(diff) && intact(inc));
}

TEST_F(DeleteTest, EmptySearchDirectoryDeletesTheTargetAlone) {
  test::TempDir empty;
  auto target = add({.stem = "x", .id = 5, .image_bytes = 9});
  test::Logged out = remove(target, false, empty.path());
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.lines,
            (std::vector<std::string>{line("deleting", "FULL", 5, target),
                                      "INFO  deleted 1 backup(s), 9 byte(s) of image data"}));
  EXPECT_TRUE(gone(target));
}

TEST_F(DeleteTest, UnreadableTargetOrDirectoryRemovesNothing) {
  add_chain();
  disk_backup missing{dir.file("missing.infb"), dir.file("missing.csfb")};
  test::Logged out = remove(missing);
  EXPECT_EQ(out.status, STATUS_NOT_FOUND);
  EXPECT_TRUE(out.lines.empty());

  test::truncate_file(diff.meta, 100);
  out = remove(diff);
  EXPECT_EQ(out.status, STATUS_CORRUPT);
  EXPECT_TRUE(out.lines.empty());

  ASSERT_EQ(fs_mkdir(dir.file("sub.inib").c_str(), 0755), STATUS_OK);
  out = remove(full);
  EXPECT_EQ(out.status, STATUS_CORRUPT);
  EXPECT_EQ(out.lines,
            (std::vector<std::string>{
                "WARN  skipping " + diff.meta + ": corrupt or incomplete header",
                "WARN  skipping " + dir.file("sub.inib") + ": not a regular file",
                "ERROR nothing removed: 2 meta file(s) in " + dir.path() + " could not be read"}));
  EXPECT_TRUE(intact(full) && intact(inc));
}

// The DIFF's meta file stays: it keeps its image, and the FULL it rests on
// is kept too, so the DIFF is still a whole backup that a second run can
// remove. The INC above it goes.
TEST_F(DeleteTest, FailedRemovalKeepsTheBackupWholeWithEveryAncestorAndFailsTheCommand) {
  add_chain();
  test::Logged out;
  {
    test::FaultInjector faults;
    faults.fail_when(
        [&](fs_op op, const char* path) { return op == FS_OP_REMOVE && path == diff.meta; },
        EACCES);
    out = remove(full);
  }
  EXPECT_EQ(out.status, STATUS_IO);
  EXPECT_EQ(out.lines,
            (std::vector<std::string>{
                line("deleting", "INC", 3, inc), line("deleting", "DIFF", 2, diff),
                "WARN  could not remove meta file " + diff.meta,
                "WARN  keeping " + full.meta + ": a backup that depends on it could not be removed",
                "INFO  deleted 2 backup(s), 23 byte(s) of image data"}));
  EXPECT_TRUE(gone(inc));
  EXPECT_TRUE(intact(diff) && intact(full));
}

// The target's own dependents lie beside it, --search-dir names another
// directory (which exists): both are looked at, so none is orphaned.
TEST_F(DeleteTest, DependentsBesideTheTargetGoWithItWhenSearchDirIsAnotherDirectory) {
  add_chain();
  test::TempDir elsewhere;
  auto far = write_backup(elsewhere.path(), {.stem = "x", .id = 4, .parent = 3, .kind = KIND_INC});
  auto unrelated = write_backup(elsewhere.path(), {.stem = "u", .id = 9});
  test::Logged out = remove(full, false, elsewhere.path());
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_TRUE(gone(full) && gone(diff) && gone(inc) && gone(far));
  EXPECT_TRUE(intact(unrelated));
  EXPECT_EQ(out.lines.front(), line("deleting", "INC", 4, far));
  EXPECT_EQ(out.lines.back(), "INFO  deleted 4 backup(s), 123 byte(s) of image data");

  // The same directory spelled another way is scanned once.
  add_chain();
  out = remove(full, true, dir.path() + "/.");
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.lines.back(), "INFO  would delete 3 backup(s), 123 byte(s) of image data");
}

// A file the scan cannot read, beside the target or in --search-dir, stops
// the run before any plan is shown, with or without --dry-run.
TEST_F(DeleteTest, AnUnreadableMetaFileInEitherDirectoryRemovesNothing) {
  add_chain();
  test::TempDir elsewhere;
  const std::string cut = elsewhere.file("cut.indb");
  test::write_text(cut, "short");
  for (bool dry_run : {true, false}) {
    test::Logged out = remove(full, dry_run, elsewhere.path());
    EXPECT_EQ(out.status, STATUS_CORRUPT);
    EXPECT_EQ(out.lines,
              (std::vector<std::string>{"WARN  skipping " + cut + ": corrupt or incomplete header",
                                        "ERROR nothing removed: 1 meta file(s) in " +
                                            elsewhere.path() + " could not be read"}));
    EXPECT_TRUE(intact(full) && intact(diff) && intact(inc));
  }
}

TEST_F(DeleteTest, ControlBytesOfAStoredNameAreShownEscaped) {
  auto odd = add({.stem = "o", .id = 5, .name = std::string("a\tb\x7f") + "\n"});
  test::Logged out = remove(odd, true);
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.lines.front(), "INFO  [dry-run] would delete: FULL 'a\\x09b\\x7f\\x0a' uuid=" +
                                   uid_text(5) + " meta=" + odd.meta);
}

// ---- The deletion set in memory ----

catalog_entry entry(const std::string& path, uint32_t id, uint32_t parent) {
  return test::catalog_entry_of(path, id, parent);
}

TEST(DeletePlanTest, DependentListedBeforeItsParentIsStillFound) {
  std::vector<catalog_entry> catalog = {entry("/s/i", 3, 2), entry("/s/x", 9, 8),
                                        entry("/s/d", 2, 1), entry("/s/f", 1, 0)};
  std::vector<delete_member> plan;
  ASSERT_EQ(delete_plan_build(catalog, uid(1).data(), &plan), STATUS_OK);
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].position, 0);
  EXPECT_EQ(plan[0].depth, 2);
  EXPECT_EQ(plan[1].position, 2);
  EXPECT_EQ(plan[1].depth, 1);
  EXPECT_EQ(plan[2].position, -1);  // the target, read through its own path
  EXPECT_EQ(plan[2].depth, 0);
}

TEST(DeletePlanTest, ChainOfAHundredThousandListedBackwardsCompletes) {
  constexpr uint32_t N = 100000;
  std::vector<catalog_entry> catalog;
  catalog.reserve(N);
  for (uint32_t k = N; k >= 1; k--) catalog.push_back(entry("/s/" + std::to_string(k), k, k - 1));
  std::vector<delete_member> plan;
  ASSERT_EQ(delete_plan_build(catalog, uid(1).data(), &plan), STATUS_OK);
  ASSERT_EQ(plan.size(), N);  // the FULL in the catalog is the target itself
  for (uint32_t k = 0; k + 1 < N; k++) {
    ASSERT_EQ(plan[k].position, static_cast<int32_t>(k));
    ASSERT_EQ(plan[k].depth, static_cast<int32_t>(N - 1 - k));
  }
  EXPECT_EQ(plan.back().position, -1);
}

// The passes as they read: over the catalog again and again until one adds
// nothing. The plan must name the same files at the same depths.
std::vector<delete_member> reference_delete(const std::vector<catalog_entry>& catalog,
                                            const uint8_t* target) {
  struct member {
    int32_t position;
    const uint8_t* uuid;
    int32_t depth;
  };
  std::vector<member> set = {{-1, target, 0}};
  for (bool changed = true; changed && !catalog.empty();) {
    changed = false;
    for (size_t i = 0; i < catalog.size(); i++) {
      const catalog_entry& e = catalog[i];
      if (std::any_of(set.begin(), set.end(),
                      [&](const member& m) { return uuid_equal(m.uuid, e.uuid); }))
        continue;
      for (size_t m = 0; m < set.size(); m++) {
        if (!uuid_equal(set[m].uuid, e.parent_uuid)) continue;
        set.push_back({static_cast<int32_t>(i), e.uuid, set[m].depth + 1});
        changed = true;
        break;
      }
    }
  }
  std::vector<delete_member> out;
  for (const member& m : set) out.push_back({m.position, m.depth});
  std::stable_sort(out.begin(), out.end(), [](const delete_member& a, const delete_member& b) {
    return a.depth > b.depth;
  });
  return out;
}

TEST(DeletePlanTest, AgreesWithRepeatedPassesOnRandomCatalogs) {
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<uint32_t>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 20000; round++) {
    std::vector<catalog_entry> catalog;
    int n = static_cast<int>(pick(12));
    for (int i = 0; i < n; i++)
      catalog.push_back(entry("/s/" + std::to_string(i), pick(8), pick(9)));
    auto target = uid(pick(9));
    std::vector<delete_member> got;
    ASSERT_EQ(delete_plan_build(catalog, target.data(), &got), STATUS_OK);
    std::vector<delete_member> want = reference_delete(catalog, target.data());
    ASSERT_EQ(got.size(), want.size()) << "round " << round;
    for (size_t k = 0; k < got.size(); k++) {
      ASSERT_EQ(got[k].position, want[k].position) << "round " << round << " member " << k;
      ASSERT_EQ(got[k].depth, want[k].depth) << "round " << round << " member " << k;
    }
  }
}

}  // namespace
