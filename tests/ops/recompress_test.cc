#include "ops/recompress.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/header.h"
#include "store_writer.h"
#include "support/backup_checks.h"
#include "support/test_util.h"

namespace {

using test::restore;
using test::snapshot;
using test::Snapshot;

using test::Blocks;

class RecompressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path() + "/store";
    std::filesystem::create_directory(dir_);
  }

  writer_result write(writer_content content = writer_content::MIXED, uint8_t cipher = 0) {
    writer_backup_desc desc;
    desc.dir = dir_;
    desc.content = content;
    desc.blocks = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    desc.no_data_blocks = {3};
    desc.retain_until = 5555;
    desc.cipher = cipher;
    if (cipher != 0) desc.key.assign(CIPHER_KEY_SIZE, 0x42);
    writer_result r;
    EXPECT_EQ(writer_write_backup(desc, &r), STATUS_OK);
    return r;
  }

  // threads: 0 for one per CPU, as the program's default.
  static status_t recompress(const std::string& meta, int32_t codec, int32_t level = 9,
                             size_t threads = 0) {
    recompress_request req;
    req.meta_path = meta.c_str();
    req.codec = codec;
    req.level = level;
    req.threads = threads;
    return recompress_backup(req);
  }

  // Only the temporary names a failed or interrupted rewrite may leave.
  void expect_only_temporaries_besides(const writer_result& b) {
    for (const std::string& name : test::list_dir(dir_)) {
      std::string path = dir_ + "/" + name;
      if (path == b.meta_path || path == b.image_path) continue;
      EXPECT_TRUE(name.ends_with(".tmp") || name.ends_with(".recompress.old")) << name;
    }
  }

  test::TempDir tmp_;
  std::string dir_;
};

// Header bytes a rewrite may change: codec, image_bytes and table_sha256.
void expect_header_same_but_layout(const backup_header& before, const backup_header& after) {
  backup_header patched = after;
  patched.raw[HDR_CODEC] = before.raw[HDR_CODEC];
  memcpy(patched.raw + HDR_IMAGE_BYTES, before.raw + HDR_IMAGE_BYTES, 8);
  memcpy(patched.raw + HDR_TABLE_SHA256, before.raw + HDR_TABLE_SHA256, 32);
  EXPECT_EQ(memcmp(patched.raw, before.raw, HEADER_SIZE), 0);
}

// ---- What a rewrite keeps and what it changes ----

TEST_F(RecompressTest, ZstdToLz4AndBackKeepsIdentityDigestsAndData) {
  writer_result w = write();
  // Bytes of the header this program does not know must survive.
  for (uint64_t off : {0x300ull, 0x7000ull, 0x1FFFFull}) test::flip_byte(w.meta_path, off, 0x5A);
  loaded_backup before;
  ASSERT_EQ(backup_load(w.meta_path.c_str(), &before), STATUS_OK);
  Blocks original;
  test::expect_backup_whole(w.meta_path, {}, &original);
  ASSERT_EQ(original.size(), 15u);

  for (int32_t codec : {CODEC_LZ4, CODEC_ZSTD}) {
    SCOPED_TRACE(codec == CODEC_LZ4 ? "to lz4" : "back to zstd");
    ASSERT_EQ(recompress(w.meta_path, codec, 3), STATUS_OK);
    loaded_backup after;
    ASSERT_EQ(backup_load(w.meta_path.c_str(), &after), STATUS_OK);
    EXPECT_EQ(header_codec(*after.header), codec);
    expect_header_same_but_layout(*before.header, *after.header);
    ASSERT_EQ(after.table.size(), before.table.size());
    int compressed = 0;
    for (size_t i = 0; i < after.table.size(); i++) {
      const block_entry& a = after.table[i];
      const block_entry& b = before.table[i];
      EXPECT_EQ(a.block_id, b.block_id);
      EXPECT_EQ(a.raw_len, b.raw_len);
      EXPECT_EQ(a.flags, b.flags);
      EXPECT_EQ(memcmp(a.sha256, b.sha256, 32), 0);
      if (a.flags & BLOCK_FLAG_NO_DATA) continue;
      EXPECT_TRUE(a.codec == codec || a.codec == CODEC_NONE) << int(a.codec);
      if (a.codec == CODEC_NONE) {
        EXPECT_EQ(a.stored_len, a.raw_len);
      }
      if (a.codec == codec) {
        EXPECT_LT(a.stored_len, a.raw_len);
        compressed++;
      }
    }
    EXPECT_GT(compressed, 0);
    Blocks now;
    test::expect_backup_whole(w.meta_path, {}, &now);
    EXPECT_EQ(now, original);
    expect_only_temporaries_besides(w);
  }
  EXPECT_TRUE(test::list_dir(dir_).size() == 2u);
}

TEST_F(RecompressTest, IncompressibleBlocksAreStoredRaw) {
  writer_result w = write(writer_content::RANDOM);
  Blocks original;
  test::expect_backup_whole(w.meta_path, {}, &original);
  ASSERT_EQ(recompress(w.meta_path, CODEC_LZ4), STATUS_OK);
  loaded_backup after;
  ASSERT_EQ(backup_load(w.meta_path.c_str(), &after), STATUS_OK);
  for (const block_entry& e : after.table) {
    if (e.flags & BLOCK_FLAG_NO_DATA) continue;
    EXPECT_EQ(e.codec, CODEC_NONE);
    EXPECT_EQ(e.stored_len, e.raw_len);
  }
  Blocks now;
  test::expect_backup_whole(w.meta_path, {}, &now);
  EXPECT_EQ(now, original);
}

TEST_F(RecompressTest, EmptyBackupGetsAnEmptyImageAndTheTargetCodec) {
  std::string meta = dir_ + "/empty-202401010000.infb";
  std::string image = dir_ + "/empty-202401010000.csfb";
  backup_header h;
  header_init_full(&h, "empty", 1048576, 65536);
  ASSERT_EQ(meta_write(meta.c_str(), 0644, h, nullptr, 0), STATUS_OK);
  test::write_file(image, {});
  ASSERT_EQ(recompress(meta, CODEC_LZ4), STATUS_OK);
  backup_header after;
  ASSERT_EQ(header_read(meta.c_str(), &after), STATUS_OK);
  EXPECT_EQ(header_codec(after), CODEC_LZ4);
  EXPECT_EQ(header_block_count(after), 0u);
  EXPECT_EQ(header_image_bytes(after), 0u);
  EXPECT_EQ(test::file_size(image), 0u);
  EXPECT_EQ(test::file_size(meta), HEADER_SIZE);
}

TEST_F(RecompressTest, UnknownTargetNameWarnsAndUsesZstd) {
  writer_result w = write();
  ASSERT_EQ(recompress(w.meta_path, CODEC_LZ4), STATUS_OK);
  test::RunResult r = test::run_zuv({"recompress", "--meta", w.meta_path, "--to", "brotli"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(test::strip_log_times(r.err).find("WARN  --to 'brotli' unknown, using zstd\n"),
            std::string::npos)
      << r.err;
  backup_header h;
  ASSERT_EQ(header_read(w.meta_path.c_str(), &h), STATUS_OK);
  EXPECT_EQ(header_codec(h), CODEC_ZSTD);
  Blocks now;
  test::expect_backup_whole(w.meta_path, {}, &now);
}

// ---- Backups that are refused, and left exactly as they were ----

TEST_F(RecompressTest, TruncatedImageIsCorruptAndChangesNothing) {
  writer_result w = write();
  ASSERT_EQ(writer_truncate_image(w, test::file_size(w.image_path) - 7), STATUS_OK);
  std::vector<uint8_t> meta = test::read_file(w.meta_path);
  std::vector<uint8_t> image = test::read_file(w.image_path);
  EXPECT_EQ(recompress(w.meta_path, CODEC_LZ4), STATUS_CORRUPT);
  EXPECT_EQ(test::read_file(w.meta_path), meta);
  EXPECT_EQ(test::read_file(w.image_path), image);
  expect_only_temporaries_besides(w);
}

TEST_F(RecompressTest, SealedBackupIsNotSupportedAndNoFileIsCreated) {
  writer_result w = write(writer_content::MIXED, CIPHER_AES_256_GCM);
  Snapshot before = snapshot(dir_);
  EXPECT_EQ(recompress(w.meta_path, CODEC_LZ4), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(snapshot(dir_), before);
}

TEST_F(RecompressTest, EntryLongerThanABlockIsCorruptAndNoFileIsCreated) {
  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw ? "raw_len" : "stored_len");
    writer_result w = write();
    loaded_backup b;
    ASSERT_EQ(backup_load(w.meta_path.c_str(), &b), STATUS_OK);
    uint32_t too_long = header_block_size(*b.header) + 1;
    (raw ? b.table[5].raw_len : b.table[5].stored_len) = too_long;
    ASSERT_EQ(meta_write(w.meta_path.c_str(), 0644, *b.header, b.table.data(), b.table.size()),
              STATUS_OK);
    Snapshot before = snapshot(dir_);
    EXPECT_EQ(recompress(w.meta_path, CODEC_LZ4), STATUS_CORRUPT);
    EXPECT_EQ(snapshot(dir_), before);
    restore(dir_, {});
  }
}

// ---- Failures of the file system ----

TEST_F(RecompressTest, FailedMetaRenamePutsTheOldImageBack) {
  writer_result w = write();
  std::vector<uint8_t> meta = test::read_file(w.meta_path);
  std::vector<uint8_t> image = test::read_file(w.image_path);
  status_t s;
  {
    test::FaultInjector faults;
    std::string target = w.meta_path;
    faults.fail_when(
        [&](fs_op op, const char* path) { return op == FS_OP_RENAME && path && path == target; },
        EIO);
    s = recompress(w.meta_path, CODEC_LZ4);
    EXPECT_TRUE(faults.fired());
  }
  EXPECT_EQ(s, STATUS_IO);
  EXPECT_EQ(test::read_file(w.meta_path), meta);
  EXPECT_EQ(test::read_file(w.image_path), image);
  expect_only_temporaries_besides(w);
  // The leftovers do not stand in the way of the next run.
  ASSERT_EQ(recompress(w.meta_path, CODEC_LZ4), STATUS_OK);
  Blocks now;
  test::expect_backup_whole(w.meta_path, {}, &now);
  EXPECT_EQ(now.size(), 15u);
}

// Fails the 1st, 2nd, ... call of the operations that read, write, flush,
// link, rename or remove, until a run meets no fault. After each run the
// meta file and the image are both the old ones or both the new ones, no
// descriptor is left open, and anything else is a temporary file.
TEST_F(RecompressTest, EveryFailedFileCallLeavesTheOldBackupOrTheNewOne) {
  writer_result w = write();
  Snapshot original = snapshot(dir_);
  ASSERT_EQ(recompress(w.meta_path, CODEC_LZ4, 1), STATUS_OK);
  std::vector<uint8_t> new_meta = test::read_file(w.meta_path);
  std::vector<uint8_t> new_image = test::read_file(w.image_path);
  std::vector<uint8_t> old_meta = original.at(w.meta_path.substr(dir_.size() + 1));
  std::vector<uint8_t> old_image = original.at(w.image_path.substr(dir_.size() + 1));
  ASSERT_NE(new_image, old_image);

  bool finished = false;
  for (uint64_t k = 1; k < 500 && !finished; k++) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    restore(dir_, original);
    int fds = test::open_fd_count();
    status_t s;
    bool fired;
    {
      test::FaultInjector faults;
      faults.only({FS_OP_OPEN, FS_OP_PREAD, FS_OP_PWRITE, FS_OP_FSYNC, FS_OP_RENAME, FS_OP_REMOVE,
                   FS_OP_LINK, FS_OP_CLOSE});
      faults.fail_at(k, EIO);
      s = recompress(w.meta_path, CODEC_LZ4, 1);
      fired = faults.fired();
    }
    EXPECT_EQ(test::open_fd_count(), fds);
    std::vector<uint8_t> meta = test::read_file(w.meta_path);
    std::vector<uint8_t> image = test::read_file(w.image_path);
    bool old_pair = meta == old_meta && image == old_image;
    bool new_pair = meta == new_meta && image == new_image;
    EXPECT_TRUE(old_pair || new_pair);
    if (s == STATUS_OK) {
      EXPECT_TRUE(new_pair);
    }
    expect_only_temporaries_besides(w);
    if (!fired) {
      EXPECT_EQ(s, STATUS_OK);
      finished = true;
    }
  }
  EXPECT_TRUE(finished);
}

}  // namespace

TEST_F(RecompressTest, PayloadThatCannotBeDecodedFailsWithTheCodecsStatusAndChangesNothing) {
  // An unknown codec id is refused as invalid; bytes no decoder accepts are
  // corrupt. Either way the backup stays exactly as it was.
  for (bool unknown_codec : {true, false}) {
    SCOPED_TRACE(unknown_codec ? "unknown codec" : "garbage payload");
    writer_result w = write();
    loaded_backup b;
    ASSERT_EQ(backup_load(w.meta_path.c_str(), &b), STATUS_OK);
    block_entry* victim = nullptr;
    for (block_entry& e : b.table)
      if (e.codec == CODEC_ZSTD && !victim) victim = &e;
    ASSERT_NE(victim, nullptr);
    if (unknown_codec) {
      victim->codec = 9;
      ASSERT_EQ(meta_write(w.meta_path.c_str(), 0644, *b.header, b.table.data(), b.table.size()),
                STATUS_OK);
    } else {
      std::vector<uint8_t> image = test::read_file(w.image_path);
      memset(image.data() + victim->offset, 0xFF, victim->stored_len);
      test::write_file(w.image_path, image);
    }
    std::vector<uint8_t> meta = test::read_file(w.meta_path);
    std::vector<uint8_t> image = test::read_file(w.image_path);
    EXPECT_EQ(recompress(w.meta_path, CODEC_LZ4), unknown_codec ? STATUS_INVALID : STATUS_CORRUPT);
    EXPECT_EQ(test::read_file(w.meta_path), meta);
    EXPECT_EQ(test::read_file(w.image_path), image);
    expect_only_temporaries_besides(w);
    restore(dir_, {});
  }
}

// ---- On several threads ----

// Each block is compressed alone, with the same codec and level, and written
// in table order: the new files are the same bytes on any number of threads.
TEST_F(RecompressTest, NewImageAndMetaFileAreTheSameBytesOnAnyNumberOfThreads) {
  writer_backup_desc desc;
  desc.dir = dir_;
  desc.file_stem = "db";
  desc.block_size = 16384;
  desc.volume_size = 40 * 16384 + 1000;  // a short last block
  desc.no_data_blocks = {3, 17, 18};
  writer_result w;
  ASSERT_EQ(writer_write_backup(desc, &w), STATUS_OK);
  const Snapshot before = snapshot(dir_);
  for (int32_t codec : {CODEC_ZSTD, CODEC_LZ4}) {
    SCOPED_TRACE(codec == CODEC_ZSTD ? "zstd" : "lz4");
    Snapshot one;
    for (size_t threads : {1, 2, 3, 8}) {
      restore(dir_, before);
      ASSERT_EQ(recompress(w.meta_path, codec, 5, threads), STATUS_OK) << threads;
      if (threads == 1) {
        one = snapshot(dir_);
        Blocks blocks;
        test::expect_backup_whole(w.meta_path, {}, &blocks);
        EXPECT_EQ(blocks.size(), 38u);
        continue;
      }
      EXPECT_EQ(snapshot(dir_), one) << threads << " threads";
    }
  }
}

// The status is that of the first failure in table order, whichever thread
// meets which failure first, and nothing is changed.
TEST_F(RecompressTest, FirstFailureInTableOrderIsTheOneReportedOnAnyNumberOfThreads) {
  writer_result w = write();
  loaded_backup b;
  ASSERT_EQ(backup_load(w.meta_path.c_str(), &b), STATUS_OK);
  // Block 5 no longer decodes (an unknown codec: invalid); the image ends
  // inside block 12 (a short read: corrupt).
  for (block_entry& e : b.table)
    if (e.block_id == 5) e.codec = 9;
  ASSERT_EQ(meta_write(w.meta_path.c_str(), 0644, *b.header, b.table.data(), b.table.size()),
            STATUS_OK);
  uint64_t cut = 0;
  for (const block_entry& e : b.table)
    if (e.block_id == 12) cut = e.offset + 1;
  ASSERT_EQ(truncate(w.image_path.c_str(), static_cast<off_t>(cut)), 0);
  const Snapshot before = snapshot(dir_);
  for (size_t threads : {1, 2, 3, 8}) {
    EXPECT_EQ(recompress(w.meta_path, CODEC_LZ4, 9, threads), STATUS_INVALID)
        << threads << " threads";
    Snapshot now = snapshot(dir_);
    std::erase_if(now, [](const auto& f) { return f.first.ends_with(".tmp"); });
    EXPECT_EQ(now, before) << threads << " threads";
  }
}

// Neither the old image nor the new one is left in the page cache: the old
// one is read once and the new one is dropped as it reaches the disk.
TEST_F(RecompressTest, NeitherImageIsLeftInThePageCache) {
  writer_backup_desc desc;
  desc.dir = dir_;
  desc.file_stem = "db";
  desc.block_size = 1 << 20;
  desc.volume_size = 40 << 20;
  desc.codec = CODEC_LZ4;
  writer_result w;
  ASSERT_EQ(writer_write_backup(desc, &w), STATUS_OK);
  if (!test::drop_from_cache(w.image_path))
    GTEST_SKIP() << "this file system keeps a file's pages in memory whatever is asked";
  const Snapshot before = snapshot(dir_);
  for (size_t threads : {1, 3}) {
    restore(dir_, before);
    ASSERT_TRUE(test::drop_from_cache(w.image_path));
    // The old image, kept open under a name of its own while it is replaced.
    const std::string old_image = dir_ + "/old-image";
    ASSERT_EQ(link(w.image_path.c_str(), old_image.c_str()), 0);
    ASSERT_EQ(recompress(w.meta_path, CODEC_ZSTD, 3, threads), STATUS_OK);
    EXPECT_EQ(test::cached_page_count(old_image), 0u) << threads << " threads";
    EXPECT_EQ(test::cached_page_count(w.image_path), 0u) << threads << " threads";
    EXPECT_GT(test::file_size(w.image_path), 8u << 20) << "more than a stretch was written";
    ASSERT_EQ(unlink(old_image.c_str()), 0);
  }
}

// A flush of a written stretch that fails is a failed write: the backup is
// left as it was.
TEST_F(RecompressTest, FailedFlushOfAWrittenStretchChangesNothing) {
  writer_backup_desc desc;
  desc.dir = dir_;
  desc.file_stem = "db";
  desc.block_size = 1 << 20;
  desc.volume_size = 24 << 20;
  desc.content = writer_content::RANDOM;  // stays as large when recompressed
  desc.codec = CODEC_NONE;
  writer_result w;
  ASSERT_EQ(writer_write_backup(desc, &w), STATUS_OK);
  const Snapshot before = snapshot(dir_);
  for (size_t threads : {1, 3}) {
    test::FaultInjector faults;
    faults.only({FS_OP_FSYNC});
    faults.fail_at(1, EIO);  // the first flush is that of the first written stretch
    EXPECT_EQ(recompress(w.meta_path, CODEC_LZ4, 9, threads), STATUS_IO) << threads << " threads";
    EXPECT_TRUE(faults.fired());
    Snapshot now = snapshot(dir_);
    std::erase_if(now, [](const auto& f) { return f.first.ends_with(".tmp"); });
    EXPECT_EQ(now, before);
  }
}

TEST_F(RecompressTest, MissingMetaFileIsNotFoundAndCreatesNothing) {
  EXPECT_EQ(recompress(dir_ + "/none.infb", CODEC_LZ4), STATUS_NOT_FOUND);
  EXPECT_TRUE(test::list_dir(dir_).empty());
}

#if !defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator reports a failed allocation instead of throwing.
TEST_F(RecompressTest, BuffersThatCannotBeAllocatedAreOutOfMemoryAndChangeNothing) {
  writer_result w = write();
  // A header claiming 1 GiB blocks: three such buffers do not fit the limit
  // the child runs under, though the header and table do.
  std::vector<uint8_t> meta = test::read_file(w.meta_path);
  store_le32(meta.data() + HDR_BLOCK_SIZE, 1u << 30);
  test::write_file(w.meta_path, meta);
  std::vector<uint8_t> image = test::read_file(w.image_path);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string status = test::read_text("/proc/self/status");
    size_t at = status.find("VmSize:");
    unsigned long long vm_kb = strtoull(status.c_str() + at + 7, nullptr, 10);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = (vm_kb << 10) + (256ull << 20);
    setrlimit(RLIMIT_AS, &rl);
    _exit(-recompress(w.meta_path, CODEC_LZ4));
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), -STATUS_NO_MEMORY);
  EXPECT_EQ(test::read_file(w.meta_path), meta);
  EXPECT_EQ(test::read_file(w.image_path), image);
  expect_only_temporaries_besides(w);
}
#endif
