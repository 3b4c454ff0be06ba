#include "ops/scrub.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "base/fs.h"
#include "base/log.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "ops/sweep_support.h"
#include "store/backup.h"
#include "store/header.h"
#include "store/naming.h"
#include "store_writer.h"
#include "support/test_util.h"

extern char** environ;

namespace {

struct ScrubRun {
  status_t status = 1;
  std::string log;
};

std::string summary(uint64_t checked, uint64_t bad, uint64_t skipped) {
  return "INFO  scrub: checked " + std::to_string(checked) + " blocks, " + std::to_string(bad) +
         " bad, " + std::to_string(skipped) +
         " file(s) skipped (encrypted, no --decrypt-key-file)\n";
}
std::string bit_rot(const std::string& meta, uint64_t id) {
  return "ERROR bit rot detected: " + meta + " block_id=" + std::to_string(id) + "\n";
}
std::string auth_failed(const std::string& meta, uint64_t id) {
  return "ERROR " + meta + " block_id=" + std::to_string(id) +
         ": authentication failed -- wrong --decrypt-key-file, or corrupted data\n";
}
// The line after the summary naming the restores the bad blocks of one
// backup break: the backup itself, then those that rest on it.
std::string breaks(const std::string& meta, const std::vector<std::string>& also = {}) {
  std::string list = meta;
  for (const std::string& m : also) list += ", " + m;
  return "WARN  bit rot in " + meta + " breaks the restore of: " + list + "\n";
}
std::string unreadable(const std::string& meta) {
  return "WARN  scrub: skipping unreadable/corrupt meta file " + meta + "\n";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line + "\n");
  return out;
}

std::vector<uint8_t> make_key(uint8_t seed) {
  std::vector<uint8_t> key(CIPHER_KEY_SIZE);
  for (size_t i = 0; i < key.size(); i++) key[i] = static_cast<uint8_t>(seed + 7 * i);
  return key;
}

std::string key_hex(const std::vector<uint8_t>& key) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : key) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s + "\n";
}

class ScrubTest : public ::testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  // Writes one backup into the store; 16 blocks of 64 KiB unless changed.
  writer_result write(const std::string& stem, std::function<void(writer_backup_desc&)> edit = {}) {
    writer_backup_desc desc;
    desc.dir = store.path();
    desc.file_stem = stem;
    if (edit) edit(desc);
    writer_result r;
    EXPECT_EQ(writer_write_backup(desc, &r), STATUS_OK) << stem;
    return r;
  }

  // The meta path as scrub builds it from the directory and the entry name.
  std::string meta(const writer_result& b) const {
    return store.path() + "/" + b.meta_path.substr(b.meta_path.rfind('/') + 1);
  }
  std::string image(const writer_result& b) const {
    return store.path() + "/" + b.image_path.substr(b.image_path.rfind('/') + 1);
  }

  std::string key_file(const std::vector<uint8_t>& key) {
    std::string path = aux.file("key" + std::to_string(key[0]) + ".hex");
    test::write_text(path, key_hex(key));
    return path;
  }

  ScrubRun scrub(const char* key = nullptr, int32_t repair = 0, const std::string& dir = "") {
    std::string d = dir.empty() ? store.path() : dir;
    scrub_request req;
    req.backup_dir = d.c_str();
    req.repair = repair;
    req.decrypt_key_file = key;
    ScrubRun r;
    r.log = test::strip_log_times(test::capture_stderr([&] { r.status = scrub_backups(req); }));
    return r;
  }

  // Loads a written backup, lets the test change its entries and writes the
  // meta file back with a matching table digest, so the change reaches scrub.
  void rewrite_table(const writer_result& b, std::function<void(std::vector<block_entry>&)> edit) {
    loaded_backup lb;
    ASSERT_EQ(backup_load(b.meta_path.c_str(), &lb), STATUS_OK);
    edit(lb.table);
    ASSERT_EQ(meta_write(b.meta_path.c_str(), 0644, *lb.header, lb.table.data(), lb.table.size()),
              STATUS_OK);
  }

  test::TempDir store;
  test::TempDir aux;  // key files and the captured log, outside the store
};

// ---- Clean stores ----

TEST_F(ScrubTest, CleanBackupsOfEveryCodecAndCipherPassWithExactCounts) {
  const auto key = make_key(1);
  write("zstd", [](auto& s) { s.codec = CODEC_ZSTD; });
  write("lz4", [](auto& s) { s.codec = CODEC_LZ4; });
  write("raw", [](auto& s) { s.codec = CODEC_NONE; });
  write("aes", [&](auto& s) {
    s.cipher = CIPHER_AES_256_GCM;
    s.key = key;
  });
  write("chacha", [&](auto& s) {
    s.cipher = CIPHER_CHACHA20_POLY1305;
    s.key = key;
    s.codec = CODEC_LZ4;
  });
  // Raw sealed payloads: the opened bytes are the block itself.
  write("aes-raw", [&](auto& s) {
    s.cipher = CIPHER_AES_256_GCM;
    s.key = key;
    s.codec = CODEC_NONE;
  });
  // A short last block: the volume is not a multiple of the block size.
  write("short", [](auto& s) { s.volume_size = 3 * 65536 + 1000; });
  std::string kf = key_file(key);

  ScrubRun r = scrub(kf.c_str());
  EXPECT_EQ(r.status, STATUS_OK);
  EXPECT_EQ(r.log, summary(6 * 16 + 4, 0, 0));
}

TEST_F(ScrubTest, DirectoryWithoutMetaFilesLogsAZeroSummary) {
  test::write_text(store.file("notes.txt"), "x");
  test::write_text(store.file("db.infb.tmp"), "x");
  test::write_text(store.file("db.csfb"), "x");
  ASSERT_EQ(fs_mkdir(store.file("sub").c_str(), 0755), STATUS_OK);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_OK);
  EXPECT_EQ(r.log, summary(0, 0, 0));
}

TEST_F(ScrubTest, NoDataEntriesAndEmptyBackupsAddNothing) {
  write("sparse", [](auto& s) {
    s.blocks = {0, 1, 5};
    s.no_data_blocks = {2, 3, 4};
  });
  // A backup with block_count 0 and an empty image.
  backup_header h;
  header_init_full(&h, "empty", 1048576, 65536);
  ASSERT_EQ(meta_write(store.file("empty.infb").c_str(), 0644, h, nullptr, 0), STATUS_OK);
  test::write_text(store.file("empty.csfb"), "");

  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_OK);
  EXPECT_EQ(r.log, summary(3, 0, 0));
}

// ---- Damaged blocks ----

TEST_F(ScrubTest, OneFlippedPayloadByteIsOneBitRotLineAndEveryOtherBlockStillVerifies) {
  writer_result b = write("db");
  write("other", [](auto& s) { s.codec = CODEC_LZ4; });
  ASSERT_EQ(writer_flip_payload_byte(b, 5, 3), STATUS_OK);

  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, bit_rot(meta(b), 5) + summary(32, 1, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, FlippedByteInARawBlockIsCaughtByTheDigest) {
  writer_result b = write("raw", [](auto& s) { s.codec = CODEC_NONE; });
  ASSERT_EQ(writer_flip_payload_byte(b, 15, 0), STATUS_OK);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, bit_rot(meta(b), 15) + summary(16, 1, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, TruncatedImageMakesTheCutBlockAndEveryLaterOneBad) {
  writer_result b = write("db");
  const block_entry& cut = b.table.at(6);
  ASSERT_GT(cut.stored_len, 2u);
  ASSERT_EQ(writer_truncate_image(b, cut.offset + cut.stored_len / 2), STATUS_OK);

  std::string expected;
  uint64_t bad = 0;
  for (const block_entry& e : b.table) {
    if (e.offset + e.stored_len > cut.offset + cut.stored_len / 2) {
      expected += bit_rot(meta(b), e.block_id);
      bad++;
    }
  }
  ASSERT_EQ(bad, 10u);  // blocks 6..15
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, expected + summary(16, bad, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, EntriesThatDoNotFitTheBuffersAreBadBlocksNotOverruns) {
  writer_result b = write("db", [](auto& s) { s.volume_size = 8 * 65536; });
  rewrite_table(b, [](std::vector<block_entry>& t) {
    t[1].stored_len = 65536 + 1;      // more than the stored buffer holds
    t[2].raw_len = 65536 + 1;         // more than a block
    t[3].stored_len = 0xFFFFFFFFu;    // absurd
    t[4].offset = NO_OFFSET;          // beyond any file
    t[5].codec = 7;                   // no such codec
    t[6].raw_len = t[6].raw_len - 1;  // decodes to another length
  });
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  std::string expected;
  for (uint64_t id = 1; id <= 6; id++) expected += bit_rot(meta(b), id);
  EXPECT_EQ(r.log, expected + summary(8, 6, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, EncryptedEntryLongerThanASealedBlockIsBadWithoutAnAuthenticationLine) {
  const auto key = make_key(3);
  writer_result b = write("aes", [&](auto& s) {
    s.cipher = CIPHER_AES_256_GCM;
    s.key = key;
    s.volume_size = 2 * 65536;
  });
  rewrite_table(b, [](std::vector<block_entry>& t) { t[0].stored_len = 65536 + 29; });
  std::string kf = key_file(key);
  ScrubRun r = scrub(kf.c_str());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, bit_rot(meta(b), 0) + summary(2, 1, 0) + breaks(meta(b)));
}

// ---- Keys and ciphers ----

TEST_F(ScrubTest, WrongKeyGivesTheAuthenticationLineThenTheBitRotLinePerBlockWithData) {
  writer_result b = write("aes", [](auto& s) {
    s.cipher = CIPHER_AES_256_GCM;
    s.key = make_key(1);
    s.volume_size = 6 * 65536;
    s.blocks = {0, 2, 5};
    s.no_data_blocks = {1, 3};
  });
  std::string kf = key_file(make_key(2));
  ScrubRun r = scrub(kf.c_str());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  std::string expected;
  for (uint64_t id : {0, 2, 5}) expected += auth_failed(meta(b), id) + bit_rot(meta(b), id);
  EXPECT_EQ(r.log, expected + summary(3, 3, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, DamagedSealedPayloadFailsAuthenticationOnlyForThatBlock) {
  const auto key = make_key(4);
  writer_result b = write("chacha", [&](auto& s) {
    s.cipher = CIPHER_CHACHA20_POLY1305;
    s.key = key;
  });
  ASSERT_EQ(writer_flip_payload_byte(b, 9, 20), STATUS_OK);
  std::string kf = key_file(key);
  ScrubRun r = scrub(kf.c_str());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log,
            auth_failed(meta(b), 9) + bit_rot(meta(b), 9) + summary(16, 1, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, EncryptedBackupWithoutAKeyIsSkippedAndCountedAndTheRunPasses) {
  writer_result enc = write("aes", [](auto& s) {
    s.cipher = CIPHER_AES_256_GCM;
    s.key = make_key(1);
  });
  write("plain");
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_OK);
  EXPECT_EQ(r.log, "WARN  scrub: skipping " + meta(enc) +
                       ", it is encrypted and no --decrypt-key-file was given\n" +
                       summary(16, 0, 1));
}

TEST_F(ScrubTest, UnknownCipherIdWithAKeyFailsAuthenticationForEveryBlockWithData) {
  const auto key = make_key(5);
  writer_result b = write("odd", [&](auto& s) {
    s.cipher = CIPHER_AES_256_GCM;
    s.key = key;
    s.volume_size = 3 * 65536;
  });
  test::flip_byte(b.meta_path, HDR_CIPHER, 1 ^ 3);  // cipher id 3; not under the table digest
  std::string kf = key_file(key);
  ScrubRun r = scrub(kf.c_str());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  std::string expected;
  for (uint64_t id = 0; id < 3; id++) expected += auth_failed(meta(b), id) + bit_rot(meta(b), id);
  EXPECT_EQ(r.log, expected + summary(3, 3, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, KeyFileErrorsStopTheRunBeforeTheDirectoryIsListed) {
  write("db");
  std::string bad = aux.file("bad.hex");
  test::write_text(bad, std::string(63, 'a') + "\n");
  std::string missing = aux.file("missing.hex");

  test::FaultInjector faults;
  faults.fail_when([](fs_op op, const char*) { return op == FS_OP_OPENDIR; }, EIO);

  ScrubRun r = scrub(missing.c_str());
  EXPECT_EQ(r.status, STATUS_NOT_FOUND);
  EXPECT_EQ(r.log, "ERROR cannot load --decrypt-key-file " + missing + " (not found, status=-4)\n");

  r = scrub(bad.c_str());
  EXPECT_EQ(r.status, STATUS_INVALID);
  EXPECT_EQ(r.log, "ERROR cannot load --decrypt-key-file " + bad +
                       " (invalid argument or request, status=-3)\n");
  EXPECT_FALSE(faults.fired());
}

TEST_F(ScrubTest, RepairIsRefusedBeforeAnythingElseIsLookedAt) {
  std::string bad = aux.file("bad.hex");
  test::write_text(bad, "not a key\n");
  test::FaultInjector faults;
  ScrubRun r = scrub(bad.c_str(), 1, store.file("does-not-exist"));
  EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(r.log, "");
  EXPECT_EQ(faults.calls(), 0u);
}

// ---- What could not be checked fails the run ----

TEST_F(ScrubTest, MissingBackupDirectoryIsAnErrorWithoutASummary) {
  ScrubRun r = scrub(nullptr, 0, store.file("typo"));
  EXPECT_EQ(r.status, STATUS_NOT_FOUND);
  EXPECT_EQ(r.log, "ERROR cannot open backup directory " + store.file("typo") + ": " +
                       strerror(ENOENT) + "\n");
}

TEST_F(ScrubTest, BackupDirectoryThatIsNotADirectoryIsAnIoError) {
  test::write_text(store.file("file"), "x");
  ScrubRun r = scrub(nullptr, 0, store.file("file"));
  EXPECT_EQ(r.status, STATUS_IO);
  EXPECT_EQ(r.log, "ERROR cannot open backup directory " + store.file("file") + ": " +
                       strerror(ENOTDIR) + "\n");
}

TEST_F(ScrubTest, UnverifiableMetaFilesKeepTheirWarningAndFailTheRunAfterTheSummary) {
  write("good");
  writer_result magic = write("magic");
  writer_result newer = write("newer");
  writer_result table = write("table");
  writer_result noimage = write("noimage");
  test::write_text(store.file("tiny.indb"), "too short for a header");
  ASSERT_EQ(symlink("nowhere.infb", store.file("dangling.infb").c_str()), 0);
  ASSERT_EQ(writer_set_magic(magic, 0x12345678), STATUS_OK);
  ASSERT_EQ(writer_set_format_version(newer, 2), STATUS_OK);
  ASSERT_EQ(writer_break_table_digest(table), STATUS_OK);
  ASSERT_EQ(fs_remove(noimage.image_path.c_str()), STATUS_OK);

  const int fds = test::open_fd_count();
  ScrubRun r = scrub();
  EXPECT_EQ(test::open_fd_count(), fds);
  EXPECT_EQ(r.status, STATUS_CORRUPT);

  std::vector<std::string> got = lines_of(r.log);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), summary(16, 0, 0));
  got.pop_back();
  std::vector<std::string> expected = {
      unreadable(meta(magic)),
      unreadable(meta(newer)),
      unreadable(meta(table)),
      unreadable(store.file("tiny.indb")),
      unreadable(store.file("dangling.infb")),
      "WARN  scrub: cannot open image " + image(noimage) + "\n",
  };
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
}

TEST_F(ScrubTest, UnreadableMetaFileFailsTheRun) {
  writer_result b = write("db");
  const std::string path = meta(b);
  test::FaultInjector faults;
  faults.fail_when([&](fs_op op, const char* p) { return op == FS_OP_OPEN && p && p == path; },
                   EACCES);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, unreadable(path) + summary(0, 0, 0));
}

TEST_F(ScrubTest, ReadErrorOnAPayloadIsABadBlock) {
  writer_result b = write("db", [](auto& s) { s.volume_size = 4 * 65536; });
  test::FaultInjector faults;
  faults.only({FS_OP_PREAD});
  faults.fail_at(4, EIO);  // header, table, block 0, then block 1
  ScrubRun r = scrub();
  EXPECT_TRUE(faults.fired());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, bit_rot(meta(b), 1) + summary(4, 1, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, ShortReadOfAPayloadIsABadBlock) {
  writer_result b = write("db", [](auto& s) { s.volume_size = 4 * 65536; });
  test::FaultInjector faults;
  faults.only({FS_OP_PREAD});
  faults.fail_at(5, 0, 10);  // block 2 arrives 10 bytes long
  ScrubRun r = scrub();
  EXPECT_TRUE(faults.fired());
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, bit_rot(meta(b), 2) + summary(4, 1, 0) + breaks(meta(b)));
}

TEST_F(ScrubTest, FailedDirectoryReadIsAnErrorAfterTheSummary) {
  write("db");
  test::FaultInjector faults;
  faults.fail_when([](fs_op op, const char*) { return op == FS_OP_READDIR; }, EIO);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_IO);
  EXPECT_EQ(r.log, "ERROR cannot read backup directory " + store.path() + ": " + strerror(EIO) +
                       "\n" + summary(0, 0, 0));
}

// The warning lines stay; the run does not fail for a backup that is gone.
TEST_F(ScrubTest, BackupRemovedWhileTheScrubRunsIsWarnedAboutButDoesNotFailTheRun) {
  write("kept");
  writer_result gone_early = write("early");
  writer_result gone_late = write("late");
  const std::string early = meta(gone_early);
  const std::string late_image = image(gone_late);
  // A concurrent delete: the files disappear just as scrub opens them.
  test::FaultInjector faults;
  faults.fail_when(
      [&](fs_op op, const char* p) {
        if (op != FS_OP_OPEN || !p) return false;
        if (p == early) {
          unlink(gone_early.image_path.c_str());
          unlink(gone_early.meta_path.c_str());
        } else if (p == late_image) {
          unlink(gone_late.meta_path.c_str());
          unlink(gone_late.image_path.c_str());
        }
        return false;
      },
      0);
  ScrubRun r = scrub();
  EXPECT_EQ(r.status, STATUS_OK);
  std::vector<std::string> got = lines_of(r.log);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), summary(16, 0, 0));
  got.pop_back();
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"WARN  scrub: cannot open image " + late_image + "\n",
                                           unreadable(early)}));
}

#if !defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator reports a failed allocation instead of throwing.
TEST_F(ScrubTest, BuffersThatCannotBeAllocatedAreWarnedAboutAndFailTheRun) {
  writer_result b = write("db");
  // A header claiming 1 GiB blocks; the blocks themselves would still verify.
  std::vector<uint8_t> meta_bytes = test::read_file(b.meta_path);
  store_le32(meta_bytes.data() + HDR_BLOCK_SIZE, 1u << 30);
  test::write_file(b.meta_path, meta_bytes);

  std::string log_path = aux.file("child.txt");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Leave room for the header and the table, not for three 1 GiB buffers.
    struct rlimit rl;
    std::string status = test::read_text("/proc/self/status");
    size_t at = status.find("VmSize:");
    unsigned long long vm_kb = strtoull(status.c_str() + at + 7, nullptr, 10);
    rl.rlim_cur = rl.rlim_max = (vm_kb << 10) + (256ull << 20);
    setrlimit(RLIMIT_AS, &rl);
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    scrub_request req;
    std::string dir = store.path();
    req.backup_dir = dir.c_str();
    _exit(-scrub_backups(req));
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), -STATUS_CORRUPT);
  EXPECT_EQ(test::strip_log_times(test::read_text(log_path)),
            "WARN  scrub: cannot allocate block buffers of 1073741824 bytes for " + meta(b) + "\n" +
                summary(0, 0, 0));
}
#endif

// ---- The page cache ----

// A store that was not cached is left uncached; the parts of one that others
// had cached stay cached, and nothing else; on one thread and on several.
TEST_F(ScrubTest, ImagesAreLeftInThePageCacheAsTheScrubFoundThem) {
  std::vector<writer_result> backups;
  for (const char* stem : {"a", "b"}) {
    backups.push_back(write(stem, [](auto& s) {
      s.content = writer_content::RANDOM;  // stored raw: the image is the volume
      s.codec = CODEC_NONE;
      s.block_size = 1 << 20;
      s.volume_size = 40 << 20;
    }));
  }
  for (const writer_result& b : backups) {
    if (!test::drop_from_cache(b.image_path))
      GTEST_SKIP() << "this file system keeps a file's pages in memory whatever is asked";
  }
  for (size_t threads : {1, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    scrub_request req;
    const std::string dir = store.path();
    req.backup_dir = dir.c_str();
    req.threads = threads;
    for (const writer_result& b : backups) ASSERT_TRUE(test::drop_from_cache(b.image_path));
    ASSERT_EQ(test::quietly([&] { return scrub_backups(req); }), STATUS_OK);
    for (const writer_result& b : backups) {
      EXPECT_EQ(test::cached_page_count(b.image_path), 0u) << b.image_path;
    }

    test::bring_into_cache(backups[0].image_path, 0, 5 << 20);
    test::bring_into_cache(backups[0].image_path, 30 << 20, 3 << 20);
    test::bring_into_cache(backups[1].image_path, 0, 40 << 20);
    const std::vector<bool> a = test::cached_pages(backups[0].image_path);
    const std::vector<bool> b = test::cached_pages(backups[1].image_path);
    ASSERT_EQ(test::quietly([&] { return scrub_backups(req); }), STATUS_OK);
    EXPECT_EQ(test::cached_pages(backups[0].image_path), a);
    EXPECT_EQ(test::cached_pages(backups[1].image_path), b);
  }
}

// ---- Through the program ----

// The backup "db" of 16 blocks in dir.
writer_result write_db(const test::TempDir& dir) {
  writer_backup_desc desc;
  desc.dir = dir.path();
  desc.file_stem = "db";
  writer_result b;
  EXPECT_EQ(writer_write_backup(desc, &b), STATUS_OK);
  return b;
}

TEST(ScrubProgramTest, ExitStatusFollowsTheVerdict) {
  test::TempDir store;
  writer_result b = write_db(store);

  test::RunResult r = test::run_zuv({"scrub", "--backup-dir", store.path()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find(summary(16, 0, 0)), std::string::npos) << r.err;

  ASSERT_EQ(writer_flip_payload_byte(b, 0, 0), STATUS_OK);
  r = test::run_zuv({"scrub", "--backup-dir", store.path()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("bit rot detected: " + store.path() + "/db.infb block_id=0\n"),
            std::string::npos)
      << r.err;

  r = test::run_zuv({"scrub", "--backup-dir", store.file("typo")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.find("scrub: checked"), std::string::npos) << r.err;
}

// Runs the program with stderr on a pipe, and reads until done(text) holds or
// the deadline passes; the process is then killed.
std::string read_until(const std::vector<std::string>& args,
                       std::function<bool(const std::string&)> done,
                       std::chrono::seconds deadline) {
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return "pipe failed";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  posix_spawn_file_actions_addclose(&fa, err_pipe[0]);
  std::vector<std::string> all = {test::program_path()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, all[0].c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(err_pipe[1]);
  std::string text;
  if (rc == 0) {
    auto end = std::chrono::steady_clock::now() + deadline;
    char buf[4096];
    while (!done(text)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      struct pollfd p = {err_pipe[0], POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t n = read(err_pipe[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(err_pipe[0]);
  return test::strip_log_times(text);
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

TEST(RunLoopTest, LogsThePollingLineThenAScrubSummaryEveryInterval) {
  test::TempDir store;
  write_db(store);

  const std::string sum = summary(16, 0, 0);
  std::string log = read_until(
      {"run-loop", "--backup-dir", store.path(), "--poll-interval", "1", "--no-syslog", "--no-log"},
      [&](const std::string& t) { return count_of(test::strip_log_times(t), sum) >= 2; },
      std::chrono::seconds(30));
  std::vector<std::string> lines = lines_of(log);
  ASSERT_GE(lines.size(), 3u) << log;
  EXPECT_EQ(lines[0], "INFO  zuv_maintenance polling " + store.path() +
                          " every 1 second(s) (scrub-only scaffold)\n");
  EXPECT_EQ(lines[1], sum);
  EXPECT_EQ(lines[2], sum);
}

TEST(RunLoopTest, SubsetsCheckSliceOneToNThenStartOver) {
  test::TempDir store;
  write_db(store);

  const std::string slice = "INFO  scrub: checking slice ";
  std::string log = read_until(
      {"run-loop", "--backup-dir", store.path(), "--poll-interval", "1", "--subsets", "2",
       "--no-syslog", "--no-log"},
      [](const std::string& t) { return count_of(t, " blocks, 0 bad") >= 3; },
      std::chrono::seconds(30));
  std::vector<std::string> lines = lines_of(log);
  ASSERT_GE(lines.size(), 7u) << log;
  EXPECT_EQ(lines[0], "INFO  zuv_maintenance polling " + store.path() +
                          " every 1 second(s) (scrub-only scaffold)\n");
  // Pass by pass: the slice, then its summary; the two slices add up to the
  // backup's 16 blocks.
  uint64_t checked[3] = {};
  for (int pass = 0; pass < 3; pass++) {
    EXPECT_EQ(lines[1 + 2 * pass],
              slice + (pass == 1 ? "2/2" : "1/2") + " of " + store.path() + "\n");
    unsigned long long n = 0;
    ASSERT_EQ(sscanf(lines[2 + 2 * pass].c_str(), "INFO  scrub: checked %llu blocks, 0 bad", &n), 1)
        << lines[2 + 2 * pass];
    checked[pass] = n;
  }
  EXPECT_EQ(checked[0] + checked[1], 16u);
  EXPECT_EQ(checked[2], checked[0]);
}

TEST(RunLoopTest, IntervalZeroIsPrintedAsZeroAndWaitsAnHourBetweenPasses) {
  test::TempDir store;
  const std::string sum = summary(0, 0, 0);
  // Read for 2.5 s: an interval taken as 1 s would have run a second pass.
  std::string log = read_until(
      {"run-loop", "--backup-dir", store.path(), "--poll-interval", "0", "--no-syslog", "--no-log"},
      [](const std::string&) { return false; }, std::chrono::seconds(3));
  EXPECT_EQ(log, "INFO  zuv_maintenance polling " + store.path() +
                     " every 0 second(s) (scrub-only scaffold)\n" + sum);
}

}  // namespace

TEST_F(ScrubTest, MetaFileWhosePathWouldBeCutIsWarnedAboutAndFailsTheRun) {
  // A path cut to fit names another file or none: it is never verified, and
  // the run does not pass as if it had been.
  writer_result b = write("db");
  std::string dir = aux.path();
  for (int i = 0; i < 4; i++) {
    dir += "/" + std::string(200, static_cast<char>('a' + i));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  const std::string full = dir + "/" + std::string(240, 'm') + ".infb";
  ASSERT_GT(full.size(), PATH_CAP - 1);
  test::write_file(full, test::read_file(b.meta_path));

  ScrubRun r = scrub(nullptr, 0, dir);
  EXPECT_EQ(r.status, STATUS_CORRUPT);
  EXPECT_EQ(r.log, unreadable(full.substr(0, PATH_CAP - 1)) + summary(0, 0, 0));
}
