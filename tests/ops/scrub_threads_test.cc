// Scrub on several threads: the report (every line, its order, the summary
// and the status) is the one of a single thread, for clean, damaged, sealed,
// skipped, unverifiable and half-recompressed backups alike, across backups
// of different block sizes that follow each other in the pipeline; and its
// memory does not grow with the number of blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/fs.h"
#include "base/log.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "ops/recompress.h"
#include "ops/scrub.h"
#include "ops/sweep_support.h"
#include "store/backup.h"
#include "store_writer.h"
#include "support/alloc_fault.h"
#include "support/test_util.h"

namespace {

const size_t THREAD_COUNTS[] = {1, 2, 3, 8};

struct Report {
  status_t status = STATUS_OK;
  std::string log;
};

Report scrub_with(const std::string& dir, const std::string& key_file, size_t threads) {
  scrub_request req;
  req.backup_dir = dir.c_str();
  req.decrypt_key_file = key_file.empty() ? nullptr : key_file.c_str();
  req.threads = threads;
  testing::internal::CaptureStderr();
  Report r;
  r.status = scrub_backups(req);
  r.log = test::strip_log_times(testing::internal::GetCapturedStderr());
  return r;
}

std::vector<uint8_t> key_of(uint8_t seed) {
  std::vector<uint8_t> key(CIPHER_KEY_SIZE);
  for (size_t i = 0; i < key.size(); i++) key[i] = static_cast<uint8_t>(seed * 31 + i);
  return key;
}

class ScrubThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  writer_result write(const std::string& stem,
                      const std::function<void(writer_backup_desc&)>& edit) {
    writer_backup_desc desc;
    desc.dir = dir_;
    desc.file_stem = stem;
    desc.seed = seed_++;
    if (edit) edit(desc);
    writer_result r;
    EXPECT_EQ(writer_write_backup(desc, &r), STATUS_OK) << stem;
    return r;
  }

  std::string key_file(const std::string& name, const std::vector<uint8_t>& key) {
    const std::string path = aux_.file(name);
    EXPECT_EQ(writer_write_key_file(path, key.data()), STATUS_OK);
    return path;
  }

  test::TempDir tmp_, aux_;
  std::string dir_ = tmp_.path();
  uint64_t seed_ = 1;
};

// Every kind of backup the store writer makes, and every kind of damage,
// side by side in one directory; then many small backups whose block sizes
// take turns, so that the pipeline runs across backup boundaries and its
// buffers change size.
TEST_F(ScrubThreadsTest, EveryReportIsTheSameOnAnyNumberOfThreads) {
  const std::vector<uint8_t> key = key_of(1);
  const std::string good_key = key_file("good.key", key);
  const std::string wrong_key = key_file("wrong.key", key_of(2));

  write("zstd", [](auto& d) { d.codec = CODEC_ZSTD; });
  write("lz4-4k", [](auto& d) {
    d.codec = CODEC_LZ4;
    d.block_size = 4096;
    d.volume_size = 40 * 4096 + 100;
  });
  write("raw-nodata", [](auto& d) {
    d.codec = CODEC_NONE;
    d.blocks = {0, 2, 5, 9};
    d.no_data_blocks = {1, 3};
  });
  write("big-1m", [](auto& d) {
    d.block_size = 1 << 20;
    d.volume_size = (7 << 20) / 2;
  });
  write("aes", [&](auto& d) {
    d.cipher = CIPHER_AES_256_GCM;
    d.key = key;
  });
  writer_result chacha = write("chacha", [&](auto& d) {
    d.cipher = CIPHER_CHACHA20_POLY1305;
    d.key = key;
  });
  ASSERT_EQ(writer_flip_payload_byte(chacha, 4, 3), STATUS_OK);
  writer_result rot = write("rot", {});
  ASSERT_EQ(writer_flip_payload_byte(rot, 2, 100), STATUS_OK);
  ASSERT_EQ(writer_flip_payload_byte(rot, 9, 7), STATUS_OK);
  writer_result cut = write("cut", {});
  ASSERT_EQ(writer_truncate_image(cut, cut.table[6].offset + 10), STATUS_OK);
  writer_result oversize = write("oversize", {});
  {
    loaded_backup b;
    ASSERT_EQ(backup_load(oversize.meta_path.c_str(), &b), STATUS_OK);
    b.table[3].stored_len = header_block_size(*b.header) + 1;
    b.table[5].raw_len = header_block_size(*b.header) + 1;
    ASSERT_EQ(meta_write(b.meta_path.c_str(), 0644, *b.header, b.table.data(), b.table.size()),
              STATUS_OK);
  }
  ASSERT_EQ(writer_set_magic(write("magic", {}), 0x12345678), STATUS_OK);
  ASSERT_EQ(writer_set_format_version(write("newer", {}), 2), STATUS_OK);
  ASSERT_EQ(writer_break_table_digest(write("digest", {})), STATUS_OK);
  ASSERT_EQ(fs_remove(write("noimage", {}).image_path.c_str()), STATUS_OK);
  write("empty", [](auto& d) { d.volume_size = 0; });

  // A recompress killed between its renames: the new image beside the old
  // meta file, the old image under its spare name, the new meta file under
  // its temporary name.
  writer_result half = write("half", {});
  const test::Snapshot before = test::snapshot(dir_);
  recompress_request rewrite;
  rewrite.meta_path = half.meta_path.c_str();
  rewrite.codec = CODEC_LZ4;
  rewrite.threads = 1;
  ASSERT_EQ(test::quietly([&] { return recompress_backup(rewrite); }), STATUS_OK);
  const test::Snapshot after = test::snapshot(dir_);
  test::Snapshot interrupted = before;
  interrupted["half.csfb"] = after.at("half.csfb");
  interrupted["half.csfb" + std::string(BACKUP_SPARE_SUFFIX)] = before.at("half.csfb");
  interrupted["half.infb.tmp"] = after.at("half.infb");
  test::restore(dir_, interrupted);

  for (int i = 0; i < 24; i++) {
    char stem[16];
    snprintf(stem, sizeof stem, "small-%02d", i);
    writer_result small = write(stem, [i](auto& d) {
      d.block_size = i % 3 == 0 ? 8192 : 4096;
      d.volume_size = 3 * d.block_size;
    });
    if (i == 11) {
      ASSERT_EQ(writer_flip_payload_byte(small, 1, 0), STATUS_OK);
    }
  }

  // The last block of every backup that verifies blocks is bad: whatever
  // the listing order, a line about the next backup must wait for that
  // block's line, which is still in the pipeline when the next one is read.
  for (const std::string& name : test::list_dir(dir_)) {
    if (!test::is_meta_name(name) || name == "half.infb") continue;
    loaded_backup b;
    if (backup_load((dir_ + "/" + name).c_str(), &b) != STATUS_OK) continue;
    if (!std::filesystem::exists(b.image_path)) continue;
    for (size_t i = b.table.size(); i-- > 0;) {
      const block_entry& e = b.table[i];
      if (e.flags & BLOCK_FLAG_NO_DATA ||
          e.offset + e.stored_len > std::filesystem::file_size(b.image_path))
        continue;
      std::vector<uint8_t> image = test::read_file(b.image_path);
      image[e.offset + e.stored_len / 2] ^= 0xFF;
      test::write_file(b.image_path, image);
      break;
    }
  }

  const test::Snapshot store = test::snapshot(dir_);
  for (const std::string& k : {std::string(), good_key, wrong_key}) {
    SCOPED_TRACE(k.empty() ? "no key" : k);
    const Report one = scrub_with(dir_, k, 1);
    EXPECT_EQ(one.status, STATUS_CORRUPT);
    // The report is worth comparing: it holds each kind of line.
    for (const char* line :
         {"ERROR bit rot detected: ", "WARN  scrub: skipping unreadable/corrupt",
          "WARN  scrub: cannot open image", ": interrupted recompress;", "INFO  scrub: checked"})
      EXPECT_NE(one.log.find(line), std::string::npos) << line << "\n" << one.log;
    EXPECT_EQ(one.log.find("authentication failed") != std::string::npos, !k.empty());
    EXPECT_EQ(one.log.find("it is encrypted and no --decrypt-key-file") != std::string::npos,
              k.empty());
    for (size_t threads : THREAD_COUNTS) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      const Report r = scrub_with(dir_, k, threads);
      EXPECT_EQ(r.status, one.status);
      EXPECT_EQ(r.log, one.log);
    }
  }
  EXPECT_EQ(test::snapshot(dir_), store) << "scrub changed the store";
}

TEST_F(ScrubThreadsTest, CleanStorePassesOnAnyNumberOfThreadsWithTheSameSummary) {
  for (int i = 0; i < 6; i++) write("db-" + std::to_string(i), {});
  const Report one = scrub_with(dir_, "", 1);
  ASSERT_EQ(one.status, STATUS_OK);
  EXPECT_EQ(one.log,
            "INFO  scrub: checked 96 blocks, 0 bad, 0 file(s) skipped (encrypted, no "
            "--decrypt-key-file)\n");
  for (size_t threads : THREAD_COUNTS) {
    const Report r = scrub_with(dir_, "", threads);
    EXPECT_EQ(r.status, STATUS_OK) << threads;
    EXPECT_EQ(r.log, one.log) << threads;
  }
}

// ---- Memory ----

// Operator new calls of a scrub of the store, on every thread.
uint64_t allocations_of_scrub(const std::string& dir, size_t threads) {
  uint64_t calls = 0;
  status_t s = test::quietly([&] {
    test::AllocFault count(0, test::AllocFault::EVERY_THREAD);
    scrub_request req;
    req.backup_dir = dir.c_str();
    req.threads = threads;
    status_t st = scrub_backups(req);
    calls = count.calls();
    return st;
  });
  EXPECT_EQ(s, STATUS_OK);
  return calls;
}

// The same backups with 16 times the blocks cost not one allocation more:
// nothing is allocated per block, on the calling thread or on a worker.
TEST_F(ScrubThreadsTest, NothingIsAllocatedPerBlock) {
  if (!test::alloc_fault_works()) GTEST_SKIP() << "operator new is not the test binary's own";
  test::TempDir few_dir, many_dir;
  for (int i = 0; i < 3; i++) {
    for (auto [dir, blocks] : {std::pair{few_dir.path(), 4}, std::pair{many_dir.path(), 64}}) {
      writer_backup_desc desc;
      desc.dir = dir;
      desc.file_stem = "db-" + std::to_string(i);
      desc.block_size = 4096;
      desc.volume_size = static_cast<uint64_t>(blocks) * 4096;
      writer_result w;
      ASSERT_EQ(writer_write_backup(desc, &w), STATUS_OK);
    }
  }
  for (size_t threads : {1, 3}) {
    EXPECT_EQ(allocations_of_scrub(few_dir.path(), threads),
              allocations_of_scrub(many_dir.path(), threads))
        << threads << " threads";
  }
}

// Peak resident memory of the program scrubbing dir.
long peak_rss_kib_of_scrub(const std::string& dir, const std::string& threads) {
  const pid_t pid = test::start_zuv({"scrub", "--backup-dir", dir, "--threads", threads});
  EXPECT_GT(pid, 0);
  int status = 0;
  struct rusage ru {};
  EXPECT_EQ(wait4(pid, &status, 0, &ru), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return ru.ru_maxrss;
}

// A few block buffers per thread, whatever the size of the image.
TEST_F(ScrubThreadsTest, PeakMemoryIsFlatInTheNumberOfBlocks) {
  test::TempDir small_dir, large_dir;
  for (auto [dir, blocks] : {std::pair{small_dir.path(), 4}, std::pair{large_dir.path(), 64}}) {
    writer_backup_desc desc;
    desc.dir = dir;
    desc.file_stem = "db";
    desc.block_size = 512 << 10;
    desc.volume_size = static_cast<uint64_t>(blocks) * desc.block_size;
    desc.codec = CODEC_LZ4;
    writer_result w;
    ASSERT_EQ(writer_write_backup(desc, &w), STATUS_OK);
  }
  for (const char* threads : {"1", "3"}) {
    const long small = peak_rss_kib_of_scrub(small_dir.path(), threads);
    const long large = peak_rss_kib_of_scrub(large_dir.path(), threads);
    // 60 blocks more are 30 MiB more image; the buffers stay a few MiB.
    EXPECT_LT(large - small, 4096)
        << threads << " threads: " << small << " KiB, then " << large << " KiB";
  }
}

TEST_F(ScrubThreadsTest, ProgramPrintsTheSameReportOnOneThreadAndOnSeveral) {
  writer_result a = write("a", {});
  write("b", [](auto& d) { d.block_size = 4096; });
  ASSERT_EQ(writer_flip_payload_byte(a, 3, 1), STATUS_OK);
  test::RunResult one = test::run_zuv({"scrub", "--backup-dir", dir_, "--threads", "1"});
  test::RunResult several = test::run_zuv({"scrub", "--backup-dir", dir_, "--threads", "4"});
  EXPECT_EQ(one.exit_status, 1);
  EXPECT_EQ(several.exit_status, one.exit_status);
  EXPECT_EQ(test::strip_log_times(several.err), test::strip_log_times(one.err));
  EXPECT_NE(one.err.find("bit rot detected: " + dir_ + "/a.infb block_id=3"), std::string::npos);
}

}  // namespace
