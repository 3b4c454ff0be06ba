// What a bad block breaks: after its summary, scrub names for each damaged
// backup every restore that reads one of its bad blocks: the backup itself,
// then each DIFF or INC resting on it in whose chain no later backup has an
// entry for that block, along each chain, branches by creation time.
#include "ops/blast_radius.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/log.h"
#include "codec/cipher.h"
#include "ops/scrub.h"
#include "store_writer.h"
#include "support/test_util.h"

namespace {

struct ScrubRun {
  status_t status = STATUS_OK;
  std::vector<std::string> lines;  // without their times
  std::string log;
};

class BlastRadiusTest : public ::testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  // A backup of an 8-block volume of 4 KiB blocks. A FULL stores every
  // block; with a parent, a DIFF (stem "diff...") or an INC stores the
  // blocks listed.
  writer_result add(const std::string& stem, const writer_result* parent,
                    std::vector<uint64_t> blocks = {},
                    const std::function<void(writer_backup_desc&)>& edit = {}) {
    writer_backup_desc d;
    d.dir = store.path();
    d.file_stem = stem;
    d.name = "db";
    d.block_size = 4096;
    d.volume_size = 8 * 4096;
    d.seed = ++made;
    d.created = 1700000000 + static_cast<int64_t>(made) * 60;
    if (parent) {
      d.kind = stem.rfind("diff", 0) == 0 ? KIND_DIFF : KIND_INC;
      d.parent_meta = parent->meta_path;
      d.blocks = std::move(blocks);
    }
    if (edit) edit(d);
    writer_result r;
    EXPECT_EQ(writer_write_backup(d, &r), STATUS_OK) << stem;
    return r;
  }
  std::string meta(const writer_result& b) const {
    return store.path() + "/" + b.meta_path.substr(b.meta_path.rfind('/') + 1);
  }

  ScrubRun scrub(const char* key_file = nullptr, scrub_slice slice = {}) {
    scrub_request req;
    req.backup_dir = store.path().c_str();
    req.decrypt_key_file = key_file;
    req.slice = slice;
    ScrubRun r;
    r.log = test::strip_log_times(test::capture_stderr([&] { r.status = scrub_backups(req); }));
    r.lines = test::lines_of(r.log);
    return r;
  }

  // The lines after the summary.
  static std::vector<std::string> after_summary(const ScrubRun& r) {
    for (size_t i = 0; i < r.lines.size(); i++)
      if (r.lines[i].rfind("INFO  scrub: checked ", 0) == 0)
        return std::vector<std::string>(r.lines.begin() + static_cast<long>(i) + 1, r.lines.end());
    ADD_FAILURE() << "no summary in\n" << r.log;
    return {};
  }

  std::string breaks(const writer_result& damaged, const std::vector<writer_result>& also) const {
    std::string list = meta(damaged);
    for (const writer_result& b : also) list += ", " + meta(b);
    return "WARN  bit rot in " + meta(damaged) + " breaks the restore of: " + list;
  }

  void flip(const writer_result& b, uint64_t block_id) {
    ASSERT_EQ(writer_flip_payload_byte(b, block_id, 0), STATUS_OK);
  }

  test::TempDir store;
  test::TempDir aux;  // key files, outside the store
  uint64_t made = 0;
};

TEST_F(BlastRadiusTest, ADamagedFullBlockThatAnIncStoresAgainBreaksOnlyTheFull) {
  writer_result full = add("full", nullptr);
  writer_result inc = add("inc", &full, {3});
  flip(full, 3);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(full, {})});
}

TEST_F(BlastRadiusTest, ADamagedFullBlockNoIncStoresBreaksEveryRestoreOfTheChain) {
  writer_result full = add("full", nullptr);
  writer_result inc1 = add("inc1", &full, {3});
  writer_result inc2 = add("inc2", &inc1, {4});
  flip(full, 5);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(full, {inc1, inc2})});
}

TEST_F(BlastRadiusTest, ANoDataEntryHidesTheDamagedBlockLikeAPayload) {
  writer_result full = add("full", nullptr);
  writer_result inc = add("inc", &full, {}, [](writer_backup_desc& d) {
    d.blocks = {1};
    d.no_data_blocks = {6};
  });
  flip(full, 6);
  ScrubRun r = scrub();
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(full, {})});
}

TEST_F(BlastRadiusTest, ADamagedDiffBlockBreaksTheDiffAndWhatRestsOnItButNeverTheFull) {
  writer_result full = add("full", nullptr);
  writer_result diff = add("diff", &full, {1, 4});
  writer_result inc = add("inc", &diff, {4});
  flip(diff, 1);
  ScrubRun r = scrub();
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(diff, {inc})});

  // Block 4 of the DIFF is stored again by the INC.
  flip(diff, 1);  // mended
  flip(diff, 4);
  r = scrub();
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(diff, {})});
}

TEST_F(BlastRadiusTest, BranchesComeAlongEachChainInTheOrderTheyWereMade) {
  // full <- diff1 <- inc1 <- inc2
  //      <- diff2 <- inc3
  writer_result full = add("full", nullptr);
  writer_result diff1 = add("diff1", &full, {1});
  writer_result diff2 = add("diff2", &full, {2});
  writer_result inc1 = add("inc1", &diff1, {3});
  writer_result inc3 = add("inc3", &diff2, {4});
  writer_result inc2 = add("inc2", &inc1, {5});
  flip(full, 0);
  ScrubRun r = scrub();
  EXPECT_EQ(after_summary(r),
            std::vector<std::string>{breaks(full, {diff1, inc1, inc2, diff2, inc3})});
}

TEST_F(BlastRadiusTest, EachBadBlockIsFollowedDownItsOwnBranch) {
  // Two bad blocks of the FULL, 2 and 6. diff1 stores 2, so it still reads
  // 6, until inc1 stores 6 too: inc1 and inc2 read neither. diff2 stores
  // 6 but not 2: it reads 2, which the walk of diff1's branch had hidden.
  writer_result full = add("full", nullptr);
  writer_result diff1 = add("diff1", &full, {2});
  writer_result inc1 = add("inc1", &diff1, {6});
  writer_result inc2 = add("inc2", &inc1, {0});
  writer_result diff2 = add("diff2", &full, {6});
  writer_result inc3 = add("inc3", &diff2, {2});
  flip(full, 2);
  flip(full, 6);
  ScrubRun r = scrub();
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(full, {diff1, diff2})});
}

TEST_F(BlastRadiusTest, SealedChainsAreFollowedLikeAnyOther) {
  const std::vector<uint8_t> key(CIPHER_KEY_SIZE, 0x42);
  const std::string key_file = aux.file("block.key");
  ASSERT_EQ(writer_write_key_file(key_file, key.data()), STATUS_OK);
  auto sealed = [&](writer_backup_desc& d) {
    d.cipher = CIPHER_CHACHA20_POLY1305;
    d.key = key;
  };
  writer_result full = add("full", nullptr, {}, sealed);
  writer_result inc1 = add("inc1", &full, {2}, sealed);
  writer_result inc2 = add("inc2", &inc1, {7}, sealed);
  flip(full, 7);
  ScrubRun r = scrub(key_file.c_str());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_NE(r.log.find(meta(full) + " block_id=7: authentication failed"), std::string::npos);
  EXPECT_EQ(after_summary(r), std::vector<std::string>{breaks(full, {inc1})});
}

TEST_F(BlastRadiusTest, EveryDamagedBackupGetsItsLineAfterTheSummaryAndOtherChainsStayOut) {
  writer_result full = add("full", nullptr);
  writer_result inc = add("inc", &full, {1});
  writer_result other = add("other", nullptr, {}, [](writer_backup_desc& d) { d.name = "other"; });
  writer_result other_inc = add("other-inc", &other, {5});
  flip(inc, 1);
  flip(other, 2);
  flip(other, 3);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  // One line per damaged backup, in the order scrub found them (listing order).
  std::vector<std::string> tail = after_summary(r);
  const std::string a = breaks(inc, {}), b = breaks(other, {other_inc});
  ASSERT_EQ(tail.size(), 2u) << r.log;
  const size_t first_a = r.log.find("bit rot detected: " + meta(inc));
  const size_t first_b = r.log.find("bit rot detected: " + meta(other));
  const std::vector<std::string> found_order =
      first_a < first_b ? std::vector<std::string>{a, b} : std::vector<std::string>{b, a};
  EXPECT_EQ(tail, found_order);
}

TEST_F(BlastRadiusTest, ABackupThatCannotBeReadIsWarnedAboutAndLeftOutWithoutChangingTheVerdict) {
  writer_result full = add("full", nullptr);
  writer_result inc1 = add("inc1", &full, {1});
  writer_result inc2 = add("inc2", &inc1, {2});
  writer_result inc3 = add("inc3", &inc2, {3});
  flip(full, 5);
  ASSERT_EQ(writer_break_table_digest(inc2), STATUS_OK);
  ScrubRun r = scrub();
  // The scrub's own verdict: a bad block and a meta file it could not verify.
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  std::vector<std::string> tail = after_summary(r);
  ASSERT_EQ(tail.size(), 2u) << r.log;
  EXPECT_EQ(
      tail[0],
      "WARN  scrub: cannot read " + meta(inc2) +
          " (corrupt or inconsistent data, status=-7): the restores of it and of what rests on it "
          "are not weighed against the bit rot in " +
          meta(full));
  EXPECT_EQ(tail[1], breaks(full, {inc1}));
}

TEST_F(BlastRadiusTest, AHeaderThatCannotBeReadMakesTheListSayItMayNotBeWhole) {
  writer_result full = add("full", nullptr);
  writer_result inc = add("inc", &full, {1});
  flip(full, 4);
  test::write_text(store.file("cut.inib"), "not a header");
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  // The scrub said what it could not read before its summary; after it, the
  // file is only counted.
  std::vector<std::string> tail = after_summary(r);
  EXPECT_EQ(tail, (std::vector<std::string>{
                      breaks(full, {inc}),
                      "WARN  scrub: 1 meta file(s) of " + store.path() +
                          " could not be read: backups resting on the damaged ones may be "
                          "missing above",
                  }));
}

TEST_F(BlastRadiusTest, OnlyTheBlocksTheSliceCheckedCount) {
  writer_result full = add("full", nullptr);
  writer_result inc = add("inc", &full, {0});
  // Block 0 is stored again by the INC, block 7 is not; with the FULL cut in
  // two, the first and the last block are in different slices.
  flip(full, 0);
  flip(full, 7);
  std::vector<std::string> tails;
  for (uint32_t k = 1; k <= 2; k++) {
    ScrubRun r = scrub(nullptr, scrub_slice{k, 2});
    const bool has0 =
        r.log.find("bit rot detected: " + meta(full) + " block_id=0\n") != std::string::npos;
    const bool has7 =
        r.log.find("bit rot detected: " + meta(full) + " block_id=7\n") != std::string::npos;
    ASSERT_NE(has0, has7) << r.log;
    EXPECT_EQ(after_summary(r),
              std::vector<std::string>{has7 ? breaks(full, {inc}) : breaks(full, {})});
  }
}

TEST_F(BlastRadiusTest, TheProgramPrintsTheLineAfterItsSummary) {
  writer_result full = add("full", nullptr);
  writer_result inc = add("inc", &full, {1});
  flip(full, 2);
  test::RunResult r = test::run_zuv({"scrub", "--backup-dir", store.path()});
  EXPECT_EQ(r.exit_status, 1);
  std::vector<std::string> lines = test::lines_of(test::strip_log_times(r.err));
  ASSERT_EQ(lines.size(), 4u) << r.err;
  EXPECT_EQ(lines[1].rfind("INFO  scrub: checked", 0), 0u);
  EXPECT_EQ(lines[2], breaks(full, {inc}));
  EXPECT_EQ(lines[3].rfind("ERROR zuv_maintenance scrub failed:", 0), 0u);
}

}  // namespace
