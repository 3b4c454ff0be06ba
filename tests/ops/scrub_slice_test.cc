// Scrub in slices: over the runs 1/N to N/N every block with data is checked
// exactly once, each run reads about 1/N of the stored bytes, one contiguous
// stretch of each image; what is said about a backup as a whole is said in
// the right runs; and the options are refused in every malformed form.
#include "ops/scrub_slice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/log.h"
#include "ops/scrub.h"
#include "store_writer.h"
#include "support/test_util.h"

namespace {

// ---- The option texts ----

TEST(ScrubSliceParseTest, TakesKOfNInDigitsOnly) {
  scrub_slice s;
  ASSERT_TRUE(scrub_slice_parse("1/1", &s));
  EXPECT_EQ(s.index, 1u);
  EXPECT_EQ(s.count, 1u);
  ASSERT_TRUE(scrub_slice_parse("3/7", &s));
  EXPECT_EQ(s.index, 3u);
  EXPECT_EQ(s.count, 7u);
  ASSERT_TRUE(scrub_slice_parse("10000/10000", &s));
  EXPECT_EQ(s.index, 10000u);
  ASSERT_TRUE(scrub_slice_parse("02/03", &s));
  EXPECT_EQ(s.index, 2u);
  EXPECT_EQ(s.count, 3u);
}

TEST(ScrubSliceParseTest, RefusesEveryOtherFormAndLeavesTheSliceAlone) {
  for (const char* text : {"",
                           "/",
                           "1",
                           "13",
                           "1/",
                           "/3",
                           "0/3",
                           "4/3",
                           "1/0",
                           "0/0",
                           "a/3",
                           "1/b",
                           "1/3x",
                           " 1/3",
                           "1/3 ",
                           "+1/3",
                           "-1/3",
                           "1/-3",
                           "1/3/4",
                           "1//3",
                           "1.0/3",
                           "1/10001",
                           "10001/10001",
                           "1/4294967297",
                           "99999999999999999999/3",
                           "1/99999999999999999999999999"}) {
    scrub_slice s{5, 9};
    EXPECT_FALSE(scrub_slice_parse(text, &s)) << '"' << text << '"';
    EXPECT_EQ(s.index, 5u) << text;
    EXPECT_EQ(s.count, 9u) << text;
  }
  scrub_slice s;
  EXPECT_FALSE(scrub_slice_parse(nullptr, &s));

  uint32_t n = 0;
  EXPECT_TRUE(scrub_slice_count_parse("1", &n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(scrub_slice_count_parse("10000", &n));
  EXPECT_EQ(n, 10000u);
  for (const char* text : {"", "0", "10001", "-1", "+3", " 3", "3 ", "3x", "1/3", "4294967299"}) {
    n = 77;
    EXPECT_FALSE(scrub_slice_count_parse(text, &n)) << '"' << text << '"';
    EXPECT_EQ(n, 77u) << text;
  }
}

// ---- The cut of one table ----

block_entry data_entry(uint64_t id, uint32_t stored_len) {
  block_entry e;
  e.block_id = id;
  e.stored_len = stored_len;
  return e;
}
block_entry no_data_entry(uint64_t id) {
  block_entry e;
  e.block_id = id;
  e.flags = BLOCK_FLAG_NO_DATA;
  return e;
}

// The slice (from 1) of every entry with data of the table; 0 for the
// others. Fails the test unless each slice is one run of the table.
std::vector<uint32_t> slices_of(const std::vector<block_entry>& table, const uint8_t* uuid,
                                uint32_t count) {
  std::vector<uint32_t> slice_of(table.size(), 0);
  for (uint32_t k = 1; k <= count; k++) {
    scrub_stretch st = scrub_slice_stretch(table, uuid, scrub_slice{k, count});
    EXPECT_LE(st.first, st.end);
    EXPECT_LE(st.end, table.size());
    bool any = false;
    for (size_t i = st.first; i < st.end; i++) {
      if (table[i].flags & BLOCK_FLAG_NO_DATA) continue;
      EXPECT_EQ(slice_of[i], 0u) << "entry " << i << " in slices " << slice_of[i] << " and " << k;
      slice_of[i] = k;
      any = true;
    }
    bool has_data = std::any_of(table.begin(), table.end(), [](const block_entry& e) {
      return !(e.flags & BLOCK_FLAG_NO_DATA);
    });
    if (has_data) {
      EXPECT_EQ(st.in_slice, any) << "slice " << k;
    }
  }
  return slice_of;
}

TEST(ScrubSliceStretchTest, EveryEntryWithDataFallsInExactlyOneSliceInTableOrder) {
  // Entries of very different sizes, NO_DATA entries between them, entries
  // stored in no bytes, and lengths whose sum passes 64 bits times a count.
  std::vector<block_entry> table;
  for (uint64_t i = 0; i < 40; i++) {
    if (i % 7 == 3) {
      table.push_back(no_data_entry(i));
    } else {
      const uint32_t len = i % 11 == 0  ? 0
                           : i % 5 == 0 ? 0xFFFFFFFFu
                                        : static_cast<uint32_t>(i * 97);
      table.push_back(data_entry(i, len));
    }
  }
  for (uint8_t fill : {0, 1, 0x5a, 0xff}) {
    uint8_t uuid[UUID_SIZE];
    std::fill(uuid, uuid + UUID_SIZE, fill);
    for (uint32_t count : {1u, 2u, 3u, 7u, 39u, 40u, 41u, 10000u}) {
      std::vector<uint32_t> slice_of = slices_of(table, uuid, count);
      for (size_t i = 0; i < table.size(); i++) {
        if (table[i].flags & BLOCK_FLAG_NO_DATA) continue;
        EXPECT_NE(slice_of[i], 0u) << "entry " << i << " of " << count << " slices";
      }
    }
  }
}

// ---- Stores scrubbed slice by slice ----

struct SliceRun {
  status_t status = STATUS_OK;
  std::string log;
  // The bad blocks it logged, per meta path, in the order logged.
  std::map<std::string, std::vector<uint64_t>> bad;
};

SliceRun scrub_slice_of(const std::string& dir, uint32_t k, uint32_t n, size_t threads = 1,
                        const char* key_file = nullptr) {
  scrub_request req;
  req.backup_dir = dir.c_str();
  req.threads = threads;
  req.slice = scrub_slice{k, n};
  req.decrypt_key_file = key_file;
  SliceRun r;
  r.log = test::strip_log_times(test::capture_stderr([&] { r.status = scrub_backups(req); }));
  const std::string rot = "ERROR bit rot detected: ";
  for (const std::string& line : test::lines_of(r.log)) {
    if (line.rfind(rot, 0) != 0) continue;
    const size_t at = line.rfind(" block_id=");
    r.bad[line.substr(rot.size(), at - rot.size())].push_back(
        std::stoull(line.substr(at + std::string(" block_id=").size())));
  }
  return r;
}

// Flips the first byte of every payload: each block with data a run
// checks is then logged, so the log says which blocks a slice read.
void damage_every_block(const writer_result& b) {
  std::vector<uint8_t> image = test::read_file(b.image_path);
  for (const block_entry& e : b.table) {
    if ((e.flags & BLOCK_FLAG_NO_DATA) || e.stored_len == 0) continue;
    ASSERT_LT(e.offset, image.size());
    image[e.offset] ^= 0xFF;
  }
  test::write_file(b.image_path, image);
}

// The meta path as scrub names it: the directory given and the file name.
std::string meta_in(const std::string& dir, const writer_result& b) {
  return dir + "/" + b.meta_path.substr(b.meta_path.rfind('/') + 1);
}

// Runs slices 1..n over a store whose every block is damaged and checks that
// each block with data was read by exactly one slice, and that what a slice
// read of an image is one run of its table and one contiguous stretch of the
// image, read front to back. Returns the stored bytes each slice read.
std::vector<uint64_t> expect_exact_cover(const std::string& dir,
                                         const std::vector<writer_result>& backups, uint32_t n) {
  std::vector<uint64_t> bytes(n, 0);
  std::map<std::string, std::map<uint64_t, int>> reads;  // meta -> block_id -> times read
  for (uint32_t k = 1; k <= n; k++) {
    SliceRun r = scrub_slice_of(dir, k, n);
    EXPECT_EQ(test::lines_of(r.log).at(0), "INFO  scrub: checking slice " + std::to_string(k) +
                                               "/" + std::to_string(n) + " of " + dir);
    for (const writer_result& b : backups) {
      const std::string meta = meta_in(dir, b);
      auto it = r.bad.find(meta);
      if (it == r.bad.end()) continue;
      const std::vector<uint64_t>& ids = it->second;
      // Where the first block read lies in the table; the rest must follow
      // it entry by entry (skipping NO_DATA ones), payload after payload.
      size_t i = 0;
      while (i < b.table.size() && b.table[i].block_id != ids[0]) i++;
      if (i == b.table.size()) {
        ADD_FAILURE() << meta << ": block " << ids[0] << " is not in its table";
        return bytes;
      }
      const block_entry* prev = nullptr;
      for (uint64_t id : ids) {
        while (i < b.table.size() && (b.table[i].flags & BLOCK_FLAG_NO_DATA)) i++;
        if (i == b.table.size()) {
          ADD_FAILURE() << meta << ": slice " << k << " read past the table";
          return bytes;
        }
        const block_entry& e = b.table[i];
        EXPECT_EQ(e.block_id, id) << meta << ": slice " << k << " is not one run of the table";
        if (prev) {
          EXPECT_EQ(e.offset, prev->offset + prev->stored_len) << meta << " slice " << k;
        }
        prev = &e;
        bytes[k - 1] += e.stored_len;
        reads[meta][id]++;
        i++;
      }
    }
  }
  for (const writer_result& b : backups) {
    const std::string meta = meta_in(dir, b);
    for (const block_entry& e : b.table) {
      if (e.flags & BLOCK_FLAG_NO_DATA) continue;
      EXPECT_EQ(reads[meta][e.block_id], 1) << meta << " block " << e.block_id << " of " << n;
    }
  }
  return bytes;
}

// Every slice between `low` and `high` times the even 1/n of the total.
void expect_balanced(const std::vector<uint64_t>& bytes, double low, double high) {
  uint64_t total = 0;
  for (uint64_t b : bytes) total += b;
  const double even = static_cast<double>(total) / static_cast<double>(bytes.size());
  for (size_t k = 0; k < bytes.size(); k++) {
    EXPECT_GE(static_cast<double>(bytes[k]), even * low)
        << "slice " << k + 1 << " of " << bytes.size() << ": " << bytes[k] << " of " << total;
    EXPECT_LE(static_cast<double>(bytes[k]), even * high)
        << "slice " << k + 1 << " of " << bytes.size() << ": " << bytes[k] << " of " << total;
  }
}

class ScrubSliceTest : public ::testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  writer_result add(const std::string& stem, const std::function<void(writer_backup_desc&)>& edit) {
    writer_backup_desc desc;
    desc.dir = store.path();
    desc.file_stem = stem;
    desc.seed = seed++;
    desc.created = 1700000000 + static_cast<int64_t>(seed);
    if (edit) edit(desc);
    writer_result r;
    EXPECT_EQ(writer_write_backup(desc, &r), STATUS_OK) << stem;
    backups.push_back(r);
    return r;
  }

  // Chains of `names` volumes: a FULL of full_blocks blocks of block_size
  // bytes, then a DIFF and INCs changing a few blocks each, some with NO_DATA
  // entries.
  void add_chains(int names, uint64_t full_blocks, uint32_t block_size, int incs) {
    for (int v = 0; v < names; v++) {
      const std::string name = "vol" + std::to_string(v);
      writer_result full = add(name + "-full", [&](writer_backup_desc& d) {
        d.name = name;
        d.block_size = block_size;
        d.volume_size = full_blocks * block_size;
      });
      std::string parent = full.meta_path;
      for (int i = 0; i <= incs; i++) {
        writer_result r = add(name + "-" + std::to_string(i), [&](writer_backup_desc& d) {
          d.name = name;
          d.kind = i == 0 ? KIND_DIFF : KIND_INC;
          d.parent_meta = parent;
          for (uint64_t b = 0; b < full_blocks; b++)
            if ((b * 7 + static_cast<uint64_t>(i) * 3 + static_cast<uint64_t>(v)) % 9 == 0)
              d.blocks.push_back(b);
          if (i % 2 == 1) d.no_data_blocks = {full_blocks - 1};
          d.blocks.erase(std::remove(d.blocks.begin(), d.blocks.end(), full_blocks - 1),
                         d.blocks.end());
        });
        parent = r.meta_path;
      }
    }
  }

  void damage_all() {
    for (const writer_result& b : backups) damage_every_block(b);
  }

  test::TempDir store;
  std::vector<writer_result> backups;
  uint64_t seed = 1;
};

TEST_F(ScrubSliceTest, ManyBackupsAreCoveredOnceAndEvenlyOnARealisticStore) {
  // Three volumes of 8 MiB in 4 KiB blocks, each a FULL, a DIFF and five INCs.
  add_chains(3, 2048, 4096, 5);
  damage_all();
  for (uint32_t n : {2u, 3u, 7u}) {
    SCOPED_TRACE(n);
    expect_balanced(expect_exact_cover(store.path(), backups, n), 0.9, 1.1);
  }
}

TEST_F(ScrubSliceTest, ASmallStoreIsCoveredOnceAndWithinAFactorOfTwo) {
  // A few MiB in 64 KiB blocks: two volumes of 48 blocks, a DIFF and four
  // INCs of about five blocks each, and a few backups of a block or two.
  // A backup with fewer blocks than slices lands on the slices its uuid
  // picks, so the figure holds whatever the uuids only while such backups
  // are not most of the store.
  add_chains(2, 48, 65536, 4);
  for (int i = 0; i < 4; i++) {
    add("tiny" + std::to_string(i), [&](writer_backup_desc& d) {
      d.name = "tiny";
      d.volume_size = 2 * 65536;
      d.blocks = i % 2 == 0 ? std::vector<uint64_t>{0} : std::vector<uint64_t>{0, 1};
    });
  }
  damage_all();
  for (uint32_t n : {2u, 3u, 4u}) {
    SCOPED_TRACE(n);
    expect_balanced(expect_exact_cover(store.path(), backups, n), 0.5, 2.0);
  }
}

TEST_F(ScrubSliceTest, OneHugeBackupIsCutIntoEvenContiguousStretches) {
  add("huge", [](writer_backup_desc& d) {
    d.block_size = 4096;
    d.volume_size = 4096 * 4096;  // 4096 blocks
  });
  damage_all();
  uint64_t largest = 0;
  for (const block_entry& e : backups[0].table) largest = std::max<uint64_t>(largest, e.stored_len);
  for (uint32_t n : {2u, 3u, 16u, 100u}) {
    SCOPED_TRACE(n);
    std::vector<uint64_t> bytes = expect_exact_cover(store.path(), backups, n);
    uint64_t total = 0;
    for (uint64_t b : bytes) total += b;
    // Within a block (and the one byte each block weighs more) of the even share.
    for (uint64_t b : bytes) {
      EXPECT_LE(b, total / n + largest + 4096) << b << " of " << total;
      EXPECT_GE(b + largest + 4096, total / n) << b << " of " << total;
    }
  }
}

TEST_F(ScrubSliceTest, TheSummaryCountsTheSlicesBlocksAndACleanStorePassesEverySlice) {
  add_chains(2, 16, 65536, 2);
  std::vector<SliceRun> runs;
  uint64_t total = 0;
  for (const writer_result& b : backups)
    for (const block_entry& e : b.table) total += (e.flags & BLOCK_FLAG_NO_DATA) ? 0 : 1;

  SliceRun whole = scrub_slice_of(store.path(), 0, 0);
  EXPECT_EQ(whole.status, STATUS_OK);
  EXPECT_EQ(whole.log,
            "INFO  scrub: checked " + std::to_string(total) +
                " blocks, 0 bad, 0 file(s) skipped (encrypted, no --decrypt-key-file)\n");

  uint64_t sum = 0;
  for (uint32_t k = 1; k <= 3; k++) {
    SliceRun r = scrub_slice_of(store.path(), k, 3);
    EXPECT_EQ(r.status, STATUS_OK);
    std::vector<std::string> lines = test::lines_of(r.log);
    ASSERT_EQ(lines.size(), 2u) << r.log;
    EXPECT_EQ(lines[0],
              "INFO  scrub: checking slice " + std::to_string(k) + "/3 of " + store.path());
    unsigned long long checked = 0;
    ASSERT_EQ(sscanf(lines[1].c_str(), "INFO  scrub: checked %llu blocks, 0 bad, 0 file(s) skipped",
                     &checked),
              1)
        << lines[1];
    EXPECT_GT(checked, 0u);
    sum += checked;
  }
  EXPECT_EQ(sum, total);

  // 1/1 checks what a run without --subset checks.
  SliceRun one = scrub_slice_of(store.path(), 1, 1);
  EXPECT_EQ(one.log, "INFO  scrub: checking slice 1/1 of " + store.path() + "\n" + whole.log);
}

TEST_F(ScrubSliceTest, LinesAboutAWholeBackupComeInTheRunsThatReadItAndUnreadableMetaInEvery) {
  // A sealed backup scrubbed without its key, and a backup with data whose
  // image is missing: said in each run whose slice holds one of their blocks.
  std::vector<uint8_t> key(32, 7);
  writer_result sealed = add("sealed", [&](writer_backup_desc& d) {
    d.cipher = CIPHER_AES_256_GCM;
    d.key = key;
    d.volume_size = 2 * 65536;
  });
  writer_result lost = add("lost", [](writer_backup_desc& d) { d.volume_size = 65536; });
  // A backup of NO_DATA entries only, image missing: said in one run of the cycle.
  writer_result hollow = add("hollow", [](writer_backup_desc& d) {
    d.volume_size = 3 * 65536;
    d.blocks = {};
    d.no_data_blocks = {0, 1, 2};
  });
  add("plain", [](writer_backup_desc& d) { d.volume_size = 8 * 65536; });
  ASSERT_EQ(remove(lost.image_path.c_str()), 0);
  ASSERT_EQ(remove(hollow.image_path.c_str()), 0);
  // A meta file whose table does not verify: its share is unknown.
  writer_result broken = add("broken", {});
  ASSERT_EQ(writer_break_table_digest(broken), STATUS_OK);

  const std::string skip = "WARN  scrub: skipping " + meta_in(store.path(), sealed) +
                           ", it is encrypted and no --decrypt-key-file was given\n";
  const std::string lost_line = "WARN  scrub: cannot open image " + lost.image_path + "\n";
  const std::string hollow_line = "WARN  scrub: cannot open image " + hollow.image_path + "\n";
  const std::string broken_line =
      "WARN  scrub: skipping unreadable/corrupt meta file " + meta_in(store.path(), broken) + "\n";
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
  };

  const uint32_t n = 4;
  size_t skips = 0, losts = 0, hollows = 0;
  for (uint32_t k = 1; k <= n; k++) {
    SliceRun r = scrub_slice_of(store.path(), k, n);
    EXPECT_EQ(count(r.log, broken_line), 1u) << r.log;
    EXPECT_EQ(r.status, STATUS_CORRUPT);
    const size_t skipped = count(r.log, skip);
    skips += skipped;
    EXPECT_NE(r.log.find("(encrypted, no --decrypt-key-file)"), std::string::npos);
    EXPECT_NE(r.log.find(" bad, " + std::to_string(skipped) + " file(s) skipped"),
              std::string::npos)
        << r.log;
    losts += count(r.log, lost_line);
    hollows += count(r.log, hollow_line);
  }
  // The sealed backup has two blocks, the lost one one block: one or two runs.
  EXPECT_GE(skips, 1u);
  EXPECT_LE(skips, 2u);
  EXPECT_EQ(losts, 1u);
  EXPECT_EQ(hollows, 1u);
}

TEST_F(ScrubSliceTest, EachSlicesReportIsTheSameOnAnyNumberOfThreads) {
  add_chains(2, 40, 4096, 3);
  add("other-size", [](writer_backup_desc& d) {
    d.block_size = 65536;
    d.volume_size = 12 * 65536;
  });
  ASSERT_EQ(writer_flip_payload_byte(backups[0], 3, 0), STATUS_OK);
  ASSERT_EQ(writer_flip_payload_byte(backups[0], 30, 0), STATUS_OK);
  ASSERT_EQ(writer_flip_payload_byte(backups.back(), 5, 0), STATUS_OK);
  for (uint32_t k = 1; k <= 3; k++) {
    SliceRun one = scrub_slice_of(store.path(), k, 3, 1);
    for (size_t threads : {2u, 3u, 8u}) {
      SliceRun several = scrub_slice_of(store.path(), k, 3, threads);
      EXPECT_EQ(several.status, one.status) << k << " on " << threads;
      EXPECT_EQ(several.log, one.log) << k << " on " << threads;
    }
  }
}

// ---- Through the program ----

TEST(ScrubSliceProgramTest, MalformedSlicesAreUsageErrorsWithOneLine) {
  test::TempDir store;
  const std::string line = "error: --subset must be K/N with 1 <= K <= N <= 10000\n";
  // Every form is refused by the parser (above); here, that the program
  // turns a refusal into the line and exit status 2, however it is written.
  for (const char* value : {"0/3", "4/3", "1/99999999999999999999", ""}) {
    test::RunResult r = test::run_zuv({"scrub", "--backup-dir", store.path(), "--subset", value});
    EXPECT_EQ(r.exit_status, 2) << value;
    EXPECT_EQ(r.err, line) << value;
    EXPECT_EQ(r.out, "") << value;
    r = test::run_zuv({"scrub", "--backup-dir", store.path(), std::string("--subset=") + value});
    EXPECT_EQ(r.exit_status, 2) << value;
    EXPECT_EQ(r.err, line) << value;
  }
  // Its value missing, and refused before anything is opened.
  test::RunResult r = test::run_zuv({"scrub", "--backup-dir", store.file("missing"), "--subset"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, line);

  for (const char* value : {"0", "10001", "1/3"}) {
    r = test::run_zuv({"run-loop", "--backup-dir", store.path(), "--subsets", value});
    EXPECT_EQ(r.exit_status, 2) << value;
    EXPECT_EQ(r.err, "error: --subsets must be a whole number from 1 to 10000\n") << value;
  }
}

TEST(ScrubSliceProgramTest, ASliceRunPassesOrFailsLikeAWholeOne) {
  test::TempDir store;
  writer_backup_desc desc;
  desc.dir = store.path();
  desc.file_stem = "db";
  writer_result b;
  ASSERT_EQ(writer_write_backup(desc, &b), STATUS_OK);
  ASSERT_EQ(writer_flip_payload_byte(b, 0, 0), STATUS_OK);
  int failed = 0;
  for (const char* slice : {"1/2", "2/2"}) {
    test::RunResult r = test::run_zuv({"scrub", "--backup-dir", store.path(), "--subset", slice});
    const bool found = r.err.find("bit rot detected: " + store.path() + "/db.infb block_id=0\n") !=
                       std::string::npos;
    EXPECT_EQ(r.exit_status, found ? 1 : 0) << r.err;
    failed += found ? 1 : 0;
  }
  EXPECT_EQ(failed, 1);
}

}  // namespace
