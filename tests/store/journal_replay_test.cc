#include "store/journal_replay.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/journal_fixture.h"
#include "support/test_util.h"

using journal_fixture::Journal;

TEST(JournalReplayTest, BlockReplacesRemoveDropsAndTheLastCommitCounts) {
  test::TempDir dir;
  Journal j;
  j.block(5, 100, 0x01);
  j.block(2, 200, 0x02);
  j.block(5, 300, 0x03);  // replaces the first entry of block 5
  j.remove(2);
  j.remove(2);  // dropped twice counts once
  j.remove(9);  // nothing held
  j.commit(6, 77);
  j.block(7, 400);
  j.commit(7, 88);
  j.block(8, 500);  // after the last commit: does not count
  j.write(dir.file("a.part"));

  journal_replay r;
  ASSERT_EQ(journal_load(dir.file("a.part").c_str(), &r), STATUS_OK);
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].block_id, 5u);
  EXPECT_EQ(r.entries[0].stored_len, 300u);
  EXPECT_EQ(r.entries[0].sha256[0], 0x03);
  EXPECT_EQ(r.entries[1].block_id, 7u);
  EXPECT_EQ(r.drops, 1u);
  EXPECT_EQ(r.commit_value, 88u);
  EXPECT_EQ(r.committed_records, 9u);
}

TEST(JournalReplayTest, WalkStopsAtTheFirstInvalidRecord) {
  struct Case {
    const char* what;
    void (*tail)(Journal&);
  } cases[] = {
      {"bad crc",
       [](Journal& j) {
         j.block(3, 1);
         j.records[j.records.size() - 64 + 10] ^= 1;
       }},
      {"unknown type",
       [](Journal& j) {
         uint8_t p[58] = {};
         j.record(4, p);
       }},
      {"commit with a wrong count", [](Journal& j) { j.commit(5, 1); }},
  };
  for (auto& c : cases) {
    Journal j;
    j.block(1, 10);
    j.commit(1, 42);
    c.tail(j);
    j.block(2, 20);  // valid on its own, but after the break
    j.commit(j.records.size() / 64 - 2, 99);
    auto bytes = j.bytes();
    journal_replay r;
    ASSERT_EQ(journal_replay_records(bytes.data() + 512 + 131072, bytes.size() - 512 - 131072, &r),
              STATUS_OK)
        << c.what;
    EXPECT_EQ(r.commit_value, 42u) << c.what;
    ASSERT_EQ(r.entries.size(), 1u) << c.what;
    EXPECT_EQ(r.entries[0].block_id, 1u) << c.what;
  }
}

TEST(JournalReplayTest, NoValidCommitMeansNoCommittedPart) {
  Journal j;
  j.block(1, 10);
  j.block(2, 10);
  auto bytes = j.bytes();
  journal_replay r;
  EXPECT_EQ(journal_replay_records(bytes.data() + 512 + 131072, bytes.size() - 512 - 131072, &r),
            STATUS_CORRUPT);
  EXPECT_EQ(journal_replay_records(nullptr, 0, &r), STATUS_CORRUPT);
}

TEST(JournalReplayTest, ShortTailIsIgnored) {
  Journal j;
  j.block(1, 10);
  j.commit(1, 5);
  auto bytes = j.bytes();
  bytes.insert(bytes.end(), 63, 0x33);
  journal_replay r;
  ASSERT_EQ(journal_replay_records(bytes.data() + 512 + 131072, bytes.size() - 512 - 131072, &r),
            STATUS_OK);
  EXPECT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.commit_value, 5u);
}
