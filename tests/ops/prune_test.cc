#include "ops/prune.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "ops/prune_plan.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/header.h"
#include "store/naming.h"
#include "support/header_only_backup.h"
#include "support/store_fixtures.h"
#include "support/test_util.h"

namespace {

using test::backup_desc;
using test::disk_backup;
using test::gone;
using test::intact;
using test::uid;
using test::write_backup;

constexpr int64_t NOW = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr int64_t DAY = 86400;
constexpr const char* NOW_TEXT = "2023-11-14 22:13:20 UTC";
constexpr const char* YESTERDAY_TEXT = "2023-11-13 22:13:20 UTC";
constexpr const char* TOMORROW_TEXT = "2023-11-15 22:13:20 UTC";

// A run's status and log, its "keep" lines apart.
struct captured {
  status_t status = 0;
  std::vector<std::string> keeps;  // "INFO  keep: ..." lines, sorted (they follow catalog order)
  std::vector<std::string> rest;   // every other line, in order
};

captured capture(const std::function<status_t()>& run) {
  test::Logged log = test::logged(run);
  captured c;
  c.status = log.status;
  for (const std::string& line : log.lines)
    (line.rfind("INFO  keep: ", 0) == 0 ? c.keeps : c.rest).push_back(line);
  std::sort(c.keeps.begin(), c.keeps.end());
  return c;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string keep_line(const char* kind, const std::string& name, const char* reason,
                      const char* until, const disk_backup& b) {
  std::string line = std::string("INFO  keep: ") + kind + " '" + name + "' (" + reason;
  if (until) line += std::string(", retained until ") + until;
  return line + ") " + b.meta;
}

constexpr const char* NEWEST = "newest backup of this name or part of its chain";
constexpr const char* DEPENDENT_KEPT = "expired, but a backup depending on it is kept";

class PruneTest : public testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  captured prune(const char* name = nullptr, bool dry_run = false, const std::string& where = "") {
    std::string d = where.empty() ? dir.path() : where;
    prune_request req;
    req.search_dir = d.c_str();
    req.name_filter = name;
    req.now = NOW;
    req.dry_run = dry_run;
    return capture([&] { return prune_backups(req); });
  }
  disk_backup add(const backup_desc& s) { return write_backup(dir.path(), s); }
  // A prune in which the removal of one meta file fails.
  captured prune_failing_to_remove(const std::string& meta) {
    test::FaultInjector faults;
    faults.fail_when([&](fs_op op, const char* path) { return op == FS_OP_REMOVE && path == meta; },
                     EACCES);
    return prune();
  }

  std::string summary(const char* verb, int n, int bytes, int kept, bool failed = false) {
    return "INFO  prune " + dir.path() + ": " + verb + " " + std::to_string(n) + " backup(s) (" +
           std::to_string(bytes) + " byte(s) of image data), kept " + std::to_string(kept) +
           (failed ? ", some files could not be removed" : "");
  }

  test::TempDir dir;
};

// ---- Expiry and the reasons a backup is kept ----

TEST_F(PruneTest, RetentionEqualToNowHasExpiredAndOneSecondLaterHasNot) {
  auto at_now = add({.stem = "a", .id = 1, .created = 100, .retain_until = NOW, .image_bytes = 10});
  auto later = add({.stem = "b", .id = 2, .created = 200, .retain_until = NOW + 1});
  auto newest = add({.stem = "c", .id = 3, .created = 300, .retain_until = NOW + DAY});

  captured out = prune();
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.keeps,
            sorted({keep_line("FULL", "db", "not expired yet", "2023-11-14 22:13:21 UTC", later),
                    keep_line("FULL", "db", NEWEST, TOMORROW_TEXT, newest)}));
  EXPECT_EQ(out.rest, (std::vector<std::string>{"INFO  delete: FULL 'db' (expired " +
                                                    std::string(NOW_TEXT) + ") " + at_now.meta,
                                                summary("deleted", 1, 10, 2)}));
  EXPECT_TRUE(gone(at_now));
  EXPECT_TRUE(intact(later));
  EXPECT_TRUE(intact(newest));
}

TEST_F(PruneTest, BackupWithoutRetentionKeepsItsExpiredAncestors) {
  auto full = add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY});
  auto diff = add({.stem = "d",
                   .id = 2,
                   .parent = 1,
                   .kind = KIND_DIFF,
                   .created = 200,
                   .retain_until = NOW - DAY});
  auto inc = add({.stem = "i", .id = 3, .parent = 2, .kind = KIND_INC, .created = 300});
  auto newer = add({.stem = "n", .id = 4, .created = 400, .retain_until = NOW - DAY});

  captured out = prune();
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", DEPENDENT_KEPT, YESTERDAY_TEXT, full),
                               keep_line("DIFF", "db", DEPENDENT_KEPT, YESTERDAY_TEXT, diff),
                               keep_line("INC", "db", "no retention", nullptr, inc),
                               keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, newer)}));
  EXPECT_EQ(out.rest, std::vector<std::string>{summary("deleted", 0, 0, 4)});
  EXPECT_TRUE(intact(full) && intact(diff) && intact(inc) && intact(newer));
}

TEST_F(PruneTest, NewestOfANameKeepsItsWholeChainEvenWhenExpired) {
  auto old = add({.stem = "x", .id = 9, .created = 50, .retain_until = NOW - DAY});
  auto full = add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY});
  auto diff = add({.stem = "d",
                   .id = 2,
                   .parent = 1,
                   .kind = KIND_DIFF,
                   .created = 200,
                   .retain_until = NOW - DAY});
  auto inc = add({.stem = "i",
                  .id = 3,
                  .parent = 2,
                  .kind = KIND_INC,
                  .created = 300,
                  .retain_until = NOW - DAY});
  auto web = add({.stem = "w", .id = 7, .name = "web", .created = 10, .retain_until = NOW - DAY});

  captured out = prune();
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, full),
                               keep_line("DIFF", "db", NEWEST, YESTERDAY_TEXT, diff),
                               keep_line("INC", "db", NEWEST, YESTERDAY_TEXT, inc),
                               keep_line("FULL", "web", NEWEST, YESTERDAY_TEXT, web)}));
  EXPECT_EQ(out.rest, (std::vector<std::string>{"INFO  delete: FULL 'db' (expired " +
                                                    std::string(YESTERDAY_TEXT) + ") " + old.meta,
                                                summary("deleted", 1, 0, 4)}));
  EXPECT_TRUE(gone(old));
}

TEST_F(PruneTest, EqualCreatedTimesAreDecidedByTheGreaterMetaPath) {
  auto lower = add({.stem = "db-a", .id = 1, .created = 500, .retain_until = NOW - DAY});
  auto higher = add({.stem = "db-b", .id = 2, .created = 500, .retain_until = NOW - DAY});

  captured out = prune();
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, higher)}));
  EXPECT_EQ(out.rest.size(), 2u);
  EXPECT_TRUE(gone(lower));
  EXPECT_TRUE(intact(higher));
}

TEST_F(PruneTest, ExpiredFullIsKeptByItsUnexpiredDiff) {
  auto full = add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY});
  auto diff = add({.stem = "d",
                   .id = 2,
                   .parent = 1,
                   .kind = KIND_DIFF,
                   .created = 200,
                   .retain_until = NOW + DAY});
  auto newer = add({.stem = "n", .id = 3, .created = 300, .retain_until = NOW + DAY});

  captured out = prune();
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", DEPENDENT_KEPT, YESTERDAY_TEXT, full),
                               keep_line("DIFF", "db", "not expired yet", TOMORROW_TEXT, diff),
                               keep_line("FULL", "db", NEWEST, TOMORROW_TEXT, newer)}));
  EXPECT_EQ(out.rest, std::vector<std::string>{summary("deleted", 0, 0, 3)});
}

TEST_F(PruneTest, ParentLoopIsKeptAndTheRunEnds) {
  auto a = add({.stem = "a",
                .id = 1,
                .parent = 2,
                .kind = KIND_INC,
                .created = 100,
                .retain_until = NOW - DAY});
  auto b = add({.stem = "b",
                .id = 2,
                .parent = 1,
                .kind = KIND_INC,
                .created = 110,
                .retain_until = NOW - DAY});
  // Its own parent: not its own dependent, so nothing keeps it.
  auto self = add({.stem = "s",
                   .id = 5,
                   .parent = 5,
                   .kind = KIND_INC,
                   .created = 120,
                   .retain_until = NOW - DAY});
  auto newer = add({.stem = "n", .id = 3, .created = 300, .retain_until = NOW + DAY});

  captured out = prune();
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.keeps, sorted({keep_line("INC", "db", DEPENDENT_KEPT, YESTERDAY_TEXT, a),
                               keep_line("INC", "db", DEPENDENT_KEPT, YESTERDAY_TEXT, b),
                               keep_line("FULL", "db", NEWEST, TOMORROW_TEXT, newer)}));
  EXPECT_EQ(out.rest, (std::vector<std::string>{"INFO  delete: INC 'db' (expired " +
                                                    std::string(YESTERDAY_TEXT) + ") " + self.meta,
                                                summary("deleted", 1, 0, 3)}));
  EXPECT_TRUE(intact(a) && intact(b) && gone(self));
}

// ---- Removal: order, dry run, failures ----

TEST_F(PruneTest, ExpiredChainGoesIncThenDiffThenFullEachMetaBeforeItsImage) {
  auto full =
      add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY, .image_bytes = 100});
  auto diff = add({.stem = "d",
                   .id = 2,
                   .parent = 1,
                   .kind = KIND_DIFF,
                   .created = 200,
                   .retain_until = NOW - DAY,
                   .image_bytes = 20});
  auto inc = add({.stem = "i",
                  .id = 3,
                  .parent = 2,
                  .kind = KIND_INC,
                  .created = 300,
                  .retain_until = NOW - DAY,
                  .image_bytes = 3});
  auto newer = add({.stem = "n", .id = 4, .created = 400, .retain_until = NOW - DAY});

  std::vector<std::string> removed;
  captured out;
  {
    test::FaultInjector seen;
    seen.fail_when(
        [&](fs_op op, const char* path) {
          if (op == FS_OP_REMOVE) removed.push_back(path);
          return false;
        },
        EIO);
    out = prune();
  }
  std::string expired = " (expired " + std::string(YESTERDAY_TEXT) + ") ";
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, newer)}));
  EXPECT_EQ(out.rest, (std::vector<std::string>{"INFO  delete: INC 'db'" + expired + inc.meta,
                                                "INFO  delete: DIFF 'db'" + expired + diff.meta,
                                                "INFO  delete: FULL 'db'" + expired + full.meta,
                                                summary("deleted", 3, 123, 1)}));
  EXPECT_EQ(removed, (std::vector<std::string>{inc.meta, inc.image, diff.meta, diff.image,
                                               full.meta, full.image}));
  EXPECT_TRUE(gone(full) && gone(diff) && gone(inc) && intact(newer));
}

TEST_F(PruneTest, DryRunRemovesNothingAndStillTotalsTheImageBytes) {
  auto full =
      add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY, .image_bytes = 1000});
  auto inc = add({.stem = "i",
                  .id = 2,
                  .parent = 1,
                  .kind = KIND_INC,
                  .created = 200,
                  .retain_until = NOW - DAY,
                  .image_bytes = 24});
  auto newer = add({.stem = "n", .id = 3, .created = 300, .retain_until = NOW + DAY});

  captured out = prune(nullptr, true);
  std::string expired = " (expired " + std::string(YESTERDAY_TEXT) + ") ";
  EXPECT_EQ(out.rest, (std::vector<std::string>{
                          "INFO  [dry-run] would delete: INC 'db'" + expired + inc.meta,
                          "INFO  [dry-run] would delete: FULL 'db'" + expired + full.meta,
                          summary("would delete", 2, 1024, 1)}));
  EXPECT_TRUE(intact(full) && intact(inc) && intact(newer));
}

TEST_F(PruneTest, MetaFileThatCannotBeRemovedKeepsItsImageAndFailsTheRun) {
  auto stuck =
      add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY, .image_bytes = 7});
  auto other =
      add({.stem = "g", .id = 2, .created = 110, .retain_until = NOW - DAY, .image_bytes = 5});
  add({.stem = "n", .id = 3, .created = 300, .retain_until = NOW + DAY});

  captured out = prune_failing_to_remove(stuck.meta);
  EXPECT_EQ(out.status, STATUS_IO);
  ASSERT_EQ(out.rest.size(), 4u);
  EXPECT_NE(
      std::find(out.rest.begin(), out.rest.end(), "WARN  could not remove meta file " + stuck.meta),
      out.rest.end());
  EXPECT_EQ(out.rest.back(), summary("deleted", 1, 12, 1, true));
  EXPECT_TRUE(intact(stuck)) << "a meta file without its image is no backup at all";
  EXPECT_TRUE(gone(other));
}

// FULL 1 <- DIFF 2 <- INC 3, all expired beside a newer FULL: the DIFF's meta
// file cannot be removed, so the DIFF stays whole and keeps the FULL it
// rests on; the INC above it goes.
TEST_F(PruneTest, ABackupThatCouldNotBeRemovedKeepsEveryAncestor) {
  auto full = add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY});
  auto diff = add({.stem = "d",
                   .id = 2,
                   .parent = 1,
                   .kind = KIND_DIFF,
                   .created = 110,
                   .retain_until = NOW - DAY});
  auto inc = add({.stem = "i",
                  .id = 3,
                  .parent = 2,
                  .kind = KIND_INC,
                  .created = 120,
                  .retain_until = NOW - DAY});
  add({.stem = "n", .id = 4, .created = 300, .retain_until = NOW + DAY});

  captured out = prune_failing_to_remove(diff.meta);
  EXPECT_EQ(out.status, STATUS_IO);
  std::string expired = " (expired " + std::string(YESTERDAY_TEXT) + ") ";
  EXPECT_EQ(out.rest,
            (std::vector<std::string>{
                "INFO  delete: INC 'db'" + expired + inc.meta,
                "INFO  delete: DIFF 'db'" + expired + diff.meta,
                "WARN  could not remove meta file " + diff.meta,
                "WARN  keeping " + full.meta + ": a backup that depends on it could not be removed",
                summary("deleted", 1, 0, 2, true)}));
  EXPECT_TRUE(gone(inc));
  EXPECT_TRUE(intact(diff) && intact(full));
}

// ---- What the scan hands over ----

// A backup the scan cannot read may rest on one the plan would remove (a
// newer agent's DIFF on its FULL): nothing is removed, dry run or not, and
// no plan is shown that the real run would refuse.
TEST_F(PruneTest, DamagedAndNewerHeadersAreWarnedAboutAndNothingIsRemoved) {
  auto torn = add({.stem = "torn", .id = 1, .created = 100, .retain_until = NOW - DAY});
  test::truncate_file(torn.meta, 100);
  auto h = std::make_unique<backup_header>();
  header_init_full(h.get(), "db", 0, 0);
  store_le16(h->raw + HDR_FORMAT_VERSION, 2);
  std::string future = dir.file("future.infb");
  ASSERT_EQ(meta_write(future.c_str(), 0644, *h, nullptr, 0), STATUS_OK);
  auto old = add({.stem = "o", .id = 2, .created = 200, .retain_until = NOW - DAY});
  add({.stem = "n", .id = 3, .created = 300, .retain_until = NOW + DAY});

  for (bool dry_run : {true, false}) {
    captured out = prune(nullptr, dry_run);
    EXPECT_EQ(out.status, STATUS_CORRUPT);
    EXPECT_TRUE(out.keeps.empty());
    ASSERT_EQ(out.rest.size(), 3u);
    EXPECT_EQ(sorted({out.rest[0], out.rest[1]}),
              sorted({"WARN  skipping " + torn.meta + ": corrupt or incomplete header",
                      "WARN  skipping " + future + ": newer format version"}));
    EXPECT_EQ(out.rest[2],
              "ERROR nothing removed: 2 meta file(s) in " + dir.path() + " could not be read");
    EXPECT_TRUE(test::file_exists(torn.meta) && test::file_exists(future));
    EXPECT_TRUE(intact(old));
  }
}

TEST_F(PruneTest, SubdirectoryNamedLikeAMetaFileRemovesNothing) {
  auto old = add({.stem = "o", .id = 1, .created = 100, .retain_until = NOW - DAY});
  add({.stem = "n", .id = 2, .created = 300, .retain_until = NOW + DAY});
  ASSERT_EQ(fs_mkdir(dir.file("x.infb").c_str(), 0755), STATUS_OK);

  captured out = prune();
  EXPECT_EQ(out.status, STATUS_CORRUPT);
  EXPECT_TRUE(out.keeps.empty());
  EXPECT_EQ(out.rest,
            (std::vector<std::string>{
                "WARN  skipping " + dir.file("x.infb") + ": not a regular file",
                "ERROR nothing removed: 1 meta file(s) in " + dir.path() + " could not be read"}));
  EXPECT_TRUE(intact(old));
}

// Bytes past a small header are the start of its table, not its
// retain_until: such a backup has no retention and is never pruned.
TEST_F(PruneTest, ASmallHeaderLendsNoTableBytesToItsRetention) {
  test::RawHeader raw;
  raw.header_size = 4096;
  raw.name = "db";
  raw.created = 100;
  raw.uuid = test::uuid_of(0x31);
  raw.base_uuid = raw.uuid;
  std::vector<uint8_t> bytes = test::raw_header_bytes(raw);
  bytes.resize(0x6445 + 8 + 64, 0);
  test::put_le(&bytes, 0x6445, NOW - DAY, 8);  // where a full-size header keeps it
  disk_backup small{dir.file("small.infb"), dir.file("small.csfb")};
  test::write_file(small.meta, bytes);
  test::write_text(small.image, "image");
  add({.stem = "n", .id = 2, .created = 300, .retain_until = NOW + DAY});

  captured out = prune();
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_NE(std::find(out.keeps.begin(), out.keeps.end(),
                      keep_line("FULL", "db", "no retention", nullptr, small)),
            out.keeps.end());
  EXPECT_TRUE(intact(small));
}

TEST_F(PruneTest, ControlBytesOfAStoredNameAreShownEscaped) {
  auto odd =
      add({.stem = "o", .id = 1, .name = "db\x1b[2J", .created = 100, .retain_until = NOW - DAY});
  add({.stem = "p", .id = 2, .name = "db\x1b[2J", .created = 200, .retain_until = NOW + DAY});
  captured out = prune(nullptr, true);
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.rest.front(), "INFO  [dry-run] would delete: FULL 'db\\x1b[2J' (expired " +
                                  std::string(YESTERDAY_TEXT) + ") " + odd.meta);
}

TEST_F(PruneTest, MissingDirectoryOrUnmatchedNameLogsOnlyAnEmptySummary) {
  std::string missing = dir.file("nothing-here");
  captured out = prune(nullptr, false, missing);
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.rest, std::vector<std::string>{"INFO  prune " + missing +
                                               ": deleted 0 backup(s) (0 byte(s) of image data), "
                                               "kept 0"});

  auto old = add({.stem = "o", .id = 1, .created = 100, .retain_until = NOW - DAY});
  out = prune("nobody");
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_TRUE(out.keeps.empty());
  EXPECT_EQ(out.rest, std::vector<std::string>{summary("deleted", 0, 0, 0)});
  EXPECT_TRUE(intact(old));
}

// ---- --name ----

TEST_F(PruneTest, KeepsAnAncestorOfABackupOfAnotherName) {
  auto full = add({.stem = "f", .id = 1, .created = 100, .retain_until = NOW - DAY});
  auto newer = add({.stem = "n", .id = 2, .created = 300, .retain_until = NOW - DAY});
  auto web = add({.stem = "w",
                  .id = 3,
                  .parent = 1,
                  .kind = KIND_INC,
                  .name = "web",
                  .created = 200,
                  .retain_until = NOW - DAY});

  // The other name neither shows nor protects through its own newest backup,
  // but as a backup this run never deletes it still depends on the FULL.
  captured out = prune("db");
  EXPECT_EQ(out.status, STATUS_OK);
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", DEPENDENT_KEPT, YESTERDAY_TEXT, full),
                               keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, newer)}));
  EXPECT_EQ(out.rest, std::vector<std::string>{summary("deleted", 0, 0, 2)});
  EXPECT_TRUE(intact(full) && intact(web));

  out = prune();
  EXPECT_EQ(out.keeps, sorted({keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, full),
                               keep_line("FULL", "db", NEWEST, YESTERDAY_TEXT, newer),
                               keep_line("INC", "web", NEWEST, YESTERDAY_TEXT, web)}));
}

TEST_F(PruneTest, NameFilterLeavesOtherNamesUnreportedAndInPlace) {
  auto db_old = add({.stem = "d1", .id = 1, .created = 100, .retain_until = NOW - DAY});
  add({.stem = "d2", .id = 2, .created = 300, .retain_until = NOW + DAY});
  auto web_old =
      add({.stem = "w1", .id = 3, .name = "web", .created = 100, .retain_until = NOW - DAY});
  add({.stem = "w2", .id = 4, .name = "web", .created = 300, .retain_until = NOW + DAY});

  captured out = prune("db");
  EXPECT_EQ(out.keeps.size(), 1u);
  EXPECT_EQ(out.rest.back(), summary("deleted", 1, 0, 1));
  for (const auto& l : out.keeps) EXPECT_EQ(l.find("'web'"), std::string::npos) << l;
  EXPECT_TRUE(gone(db_old));
  EXPECT_TRUE(intact(web_old));
}

// ---- The plan in memory: long chains and agreement with the plain rule ----

catalog_entry entry(const std::string& path, uint32_t id, uint32_t parent, const std::string& name,
                    int64_t created, int64_t retain_until) {
  return test::catalog_entry_of(path, id, parent, name, created, retain_until);
}

// A FULL and n - 1 INC backups on top of it, each one second newer.
std::vector<catalog_entry> chain_of(uint32_t n, int64_t retain_until) {
  std::vector<catalog_entry> c;
  c.reserve(n + 1);
  for (uint32_t k = 0; k < n; k++)
    c.push_back(entry("/s/" + std::to_string(k) + ".inib", k + 1, k, "db", 1000 + k, retain_until));
  return c;
}

TEST(PrunePlanTest, ChainOfAHundredThousandIsPlannedWithoutRecursion) {
  constexpr uint32_t N = 100000;
  auto catalog = chain_of(N, NOW - DAY);
  catalog.push_back(entry("/s/newest.infb", N + 1, 0, "db", 999999, NOW - DAY));
  prune_plan plan;
  ASSERT_EQ(prune_plan_build(catalog, nullptr, NOW, &plan), STATUS_OK);
  ASSERT_EQ(plan.deletions.size(), N);
  for (uint32_t k = 0; k < N; k++) {
    ASSERT_EQ(plan.deletions[k].position, N - 1 - k);
    ASSERT_EQ(plan.deletions[k].depth, static_cast<int32_t>(N - 1 - k));
  }

  // Listed leaf first, the depth walks start at the far end.
  std::reverse(catalog.begin(), catalog.end());
  ASSERT_EQ(prune_plan_build(catalog, nullptr, NOW, &plan), STATUS_OK);
  ASSERT_EQ(plan.deletions.size(), N);
  EXPECT_EQ(plan.deletions.front().depth, static_cast<int32_t>(N - 1));
  EXPECT_EQ(plan.deletions.front().position, 1u);

  // A leaf without retention keeps every ancestor; the newest leaf protects them.
  catalog = chain_of(N, NOW - DAY);
  catalog.back().retain_until = 0;
  catalog.push_back(entry("/s/newest.infb", N + 1, 0, "db", 999999, NOW - DAY));
  ASSERT_EQ(prune_plan_build(catalog, nullptr, NOW, &plan), STATUS_OK);
  EXPECT_TRUE(plan.deletions.empty());
  EXPECT_EQ(plan.decision[0], PRUNE_KEEP_DEPENDENT_KEPT);
  catalog.pop_back();
  ASSERT_EQ(prune_plan_build(catalog, nullptr, NOW, &plan), STATUS_OK);
  EXPECT_EQ(std::count(plan.decision.begin(), plan.decision.end(), PRUNE_KEEP_NEWEST), N);
}

// The rules written out as plainly as they read, recursion and quadratic
// searches included: the plan must agree with it on every small catalog.
struct reference_prune {
  const std::vector<catalog_entry>& all;
  const char* filter;
  int64_t now;
  std::vector<size_t> run;  // catalog positions taking part
  std::vector<long> run_index;
  std::vector<uint8_t> decision, prot, visiting;

  reference_prune(const std::vector<catalog_entry>& entries, const char* name, int64_t t)
      : all(entries), filter(name), now(t), run_index(entries.size(), -1) {
    for (size_t i = 0; i < all.size(); i++) {
      if (filter && all[i].name != filter) continue;
      run_index[i] = static_cast<long>(run.size());
      run.push_back(i);
    }
    decision.assign(run.size(), 0);
    prot.assign(run.size(), 0);
    visiting.assign(run.size(), 0);
  }
  const catalog_entry& at(size_t r) const { return all[run[r]]; }
  long find(const uint8_t* id) const {
    for (size_t r = 0; r < run.size(); r++)
      if (uuid_equal(at(r).uuid, id)) return static_cast<long>(r);
    return -1;
  }
  int32_t walk(size_t r, bool protect) {
    int64_t count = 0;
    for (;;) {
      if (protect) prot[r] = 1;
      if (uuid_is_zero(at(r).parent_uuid)) break;
      long p = find(at(r).parent_uuid);
      if (p < 0) break;
      if (++count > static_cast<int64_t>(run.size())) break;
      r = static_cast<size_t>(p);
    }
    return static_cast<int32_t>(count);
  }
  uint8_t decide(size_t r) {
    if (decision[r]) return decision[r];
    if (visiting[r]) return PRUNE_KEEP_DEPENDENT_KEPT;
    visiting[r] = 1;
    const catalog_entry& e = at(r);
    uint8_t result = PRUNE_DELETE;
    if (prot[r]) {
      result = PRUNE_KEEP_NEWEST;
    } else if (e.retain_until == 0) {
      result = PRUNE_KEEP_NO_RETENTION;
    } else if (e.retain_until > now) {
      result = PRUNE_KEEP_NOT_EXPIRED;
    } else {
      for (size_t j = 0; j < all.size(); j++) {
        if (j == run[r] || !uuid_equal(all[j].parent_uuid, e.uuid)) continue;
        if (run_index[j] < 0 || decide(static_cast<size_t>(run_index[j])) != PRUNE_DELETE) {
          result = PRUNE_KEEP_DEPENDENT_KEPT;
          break;
        }
      }
    }
    visiting[r] = 0;
    decision[r] = result;
    return result;
  }
  void plan(prune_plan* out) {
    for (size_t r = 0; r < run.size(); r++) {
      bool newest = true;
      for (size_t o = 0; o < run.size(); o++) {
        if (at(o).name != at(r).name) continue;
        if (at(o).created > at(r).created ||
            (at(o).created == at(r).created && at(o).meta_path > at(r).meta_path))
          newest = false;
      }
      if (newest) walk(r, true);
    }
    out->decision.assign(all.size(), PRUNE_OTHER_NAME);
    out->deletions.clear();
    for (size_t r = 0; r < run.size(); r++) {
      out->decision[run[r]] = decide(r);
      if (out->decision[run[r]] == PRUNE_DELETE)
        out->deletions.push_back({static_cast<uint32_t>(run[r]), walk(r, false)});
    }
    std::stable_sort(out->deletions.begin(), out->deletions.end(),
                     [](const prune_item& a, const prune_item& b) { return a.depth > b.depth; });
  }
};

TEST(PrunePlanTest, AgreesWithThePlainRuleOnRandomCatalogs) {
  std::mt19937 rng(20240601);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int64_t retains[] = {0, NOW - 1, NOW, NOW + 1};
  for (int round = 0; round < 20000; round++) {
    std::vector<catalog_entry> catalog;
    int n = 1 + pick(10);
    for (int i = 0; i < n; i++) {
      // Few uuids and paths, so that duplicates, loops, self-parents and ties occur.
      catalog.push_back(entry("/s/p" + std::to_string(pick(6)), static_cast<uint32_t>(pick(6)),
                              static_cast<uint32_t>(pick(7)), pick(3) ? "a" : "b", pick(3),
                              retains[pick(4)]));
    }
    const char* filter = pick(3) == 0 ? "a" : nullptr;
    prune_plan got, want;
    ASSERT_EQ(prune_plan_build(catalog, filter, NOW, &got), STATUS_OK);
    reference_prune(catalog, filter, NOW).plan(&want);
    ASSERT_EQ(got.decision, want.decision) << "round " << round;
    ASSERT_EQ(got.deletions.size(), want.deletions.size()) << "round " << round;
    for (size_t k = 0; k < got.deletions.size(); k++) {
      ASSERT_EQ(got.deletions[k].position, want.deletions[k].position) << "round " << round;
      ASSERT_EQ(got.deletions[k].depth, want.deletions[k].depth) << "round " << round;
    }
  }
}

}  // namespace
