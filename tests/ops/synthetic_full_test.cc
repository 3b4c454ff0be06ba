#include "ops/synthetic_full.h"

#include <gtest/gtest.h>
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
#include "store/naming.h"
#include "store_writer.h"
#include "support/backup_checks.h"
#include "support/test_util.h"

namespace {

using test::expect_backup_whole;
using test::restore;
using test::snapshot;
using test::Snapshot;

std::vector<std::string> meta_files(const std::string& dir) {
  std::vector<std::string> out;
  for (const std::string& name : test::list_dir(dir))
    if (name.ends_with(".infb") || name.ends_with(".indb") || name.ends_with(".inib"))
      out.push_back(dir + "/" + name);
  return out;
}

bool same_entry_but_offset(const block_entry& a, const block_entry& b) {
  return a.block_id == b.block_id && a.stored_len == b.stored_len && a.raw_len == b.raw_len &&
         a.codec == b.codec && a.flags == b.flags && memcmp(a.sha256, b.sha256, 32) == 0;
}

std::vector<uint8_t> payload_of(const writer_result& b, const block_entry& e) {
  std::vector<uint8_t> image = test::read_file(b.image_path);
  return {image.begin() + static_cast<long>(e.offset),
          image.begin() + static_cast<long>(e.offset + e.stored_len)};
}

class SyntheticFullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = tmp_.path() + "/src";
    out_ = tmp_.path() + "/out";
    std::filesystem::create_directory(src_);
    std::filesystem::create_directory(out_);
  }

  writer_result write(writer_backup_desc desc) {
    if (desc.dir.empty()) desc.dir = src_;
    writer_result r;
    status_t s = writer_write_backup(desc, &r);
    EXPECT_EQ(s, STATUS_OK);
    return r;
  }
  writer_result full(std::vector<uint64_t> blocks = {}) {
    writer_backup_desc desc;
    desc.blocks = std::move(blocks);
    desc.retain_until = 1111;
    return write(desc);
  }
  writer_result child(const writer_result& parent, uint8_t kind, std::vector<uint64_t> blocks,
                      uint64_t seed, std::vector<uint64_t> no_data = {}) {
    writer_backup_desc desc;
    desc.kind = kind;
    desc.parent_meta = parent.meta_path;
    desc.blocks = std::move(blocks);
    desc.no_data_blocks = std::move(no_data);
    desc.seed = seed;
    desc.retain_until = 2222 + seed;
    return write(desc);
  }

  status_t collapse(const std::string& target, const std::string& name = "synth") {
    synthetic_full_request req;
    req.target = target.c_str();
    req.search_dir = src_.c_str();
    req.out_dir = out_.c_str();
    req.name = name.c_str();
    return synthetic_full(req);
  }
  // The one meta file in the output directory.
  std::string only_result() {
    std::vector<std::string> metas = meta_files(out_);
    EXPECT_EQ(metas.size(), 1u);
    return metas.empty() ? std::string() : metas[0];
  }

  test::TempDir tmp_;
  std::string src_, out_;
};

// ---- Which blocks the new FULL holds ----

TEST_F(SyntheticFullTest, FullTargetIsAlreadyCollapsedAndCreatesNothing) {
  writer_result f = full();
  Snapshot before = snapshot(src_);
  testing::internal::CaptureStderr();
  EXPECT_EQ(collapse(f.meta_path), STATUS_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(
      err.find("INFO  synthetic_full: chain is already a single FULL backup, nothing to do\n"),
      std::string::npos)
      << err;
  EXPECT_TRUE(test::list_dir(out_).empty());
  EXPECT_EQ(snapshot(src_), before);
}

TEST_F(SyntheticFullTest, DiffOnFullTakesEveryBlockFromTheNewestMemberThatHasIt) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1, 5, 9}, 2);
  Snapshot before = snapshot(src_);
  testing::internal::CaptureStderr();
  ASSERT_EQ(collapse(d.meta_path), STATUS_OK);
  std::string err = testing::internal::GetCapturedStderr();
  std::string meta = only_result();
  expect_backup_whole(meta);

  loaded_backup r;
  ASSERT_EQ(backup_load(meta.c_str(), &r), STATUS_OK);
  ASSERT_EQ(r.table.size(), f.table.size());
  std::vector<uint8_t> image = test::read_file(r.image_path);
  for (const block_entry& e : r.table) {
    const writer_result& owner = (e.block_id == 1 || e.block_id == 5 || e.block_id == 9) ? d : f;
    const block_entry* want = nullptr;
    for (const block_entry& w : owner.table)
      if (w.block_id == e.block_id) want = &w;
    ASSERT_NE(want, nullptr);
    EXPECT_TRUE(same_entry_but_offset(e, *want)) << "block " << e.block_id;
    std::vector<uint8_t> got(image.begin() + static_cast<long>(e.offset),
                             image.begin() + static_cast<long>(e.offset + e.stored_len));
    EXPECT_EQ(got, payload_of(owner, *want)) << "block " << e.block_id;
  }
  std::string line = "INFO  synthetic_full: collapsed 2-file chain into " + meta + " (" +
                     std::to_string(r.table.size()) + " blocks, " +
                     std::to_string(header_image_bytes(*r.header)) + " bytes)\n";
  EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(snapshot(src_), before);
}

TEST_F(SyntheticFullTest, IncOnDiffKeepsNewestNoDataAndLeavesAbsentBlocksOut) {
  // Blocks 3 and 12 are in no member; block 6 was stored by the FULL and
  // marked NO_DATA by the INC; block 2 was marked NO_DATA by the DIFF and
  // stored again by the INC.
  writer_result f = full({0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15});
  writer_result d = child(f, KIND_DIFF, {1, 4}, 2, {2});
  writer_result i = child(d, KIND_INC, {2, 4}, 3, {6});
  testing::internal::CaptureStderr();
  ASSERT_EQ(collapse(i.meta_path), STATUS_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("collapsed 3-file chain"), std::string::npos) << err;
  std::string meta = only_result();
  expect_backup_whole(meta);

  loaded_backup r;
  ASSERT_EQ(backup_load(meta.c_str(), &r), STATUS_OK);
  std::map<uint64_t, block_entry> by_id;
  for (const block_entry& e : r.table) by_id[e.block_id] = e;
  EXPECT_EQ(by_id.size(), 14u);
  EXPECT_EQ(by_id.count(3), 0u);
  EXPECT_EQ(by_id.count(12), 0u);
  ASSERT_EQ(by_id.count(6), 1u);
  EXPECT_TRUE(by_id[6].flags & BLOCK_FLAG_NO_DATA);
  EXPECT_EQ(by_id[6].offset, NO_OFFSET);
  ASSERT_EQ(by_id.count(2), 1u);
  EXPECT_FALSE(by_id[2].flags & BLOCK_FLAG_NO_DATA);
  auto from = [](const writer_result& w, uint64_t id) {
    for (const block_entry& e : w.table)
      if (e.block_id == id) return e;
    return block_entry{};
  };
  EXPECT_TRUE(same_entry_but_offset(by_id[2], from(i, 2)));
  EXPECT_TRUE(same_entry_but_offset(by_id[4], from(i, 4)));
  EXPECT_TRUE(same_entry_but_offset(by_id[1], from(d, 1)));
  EXPECT_TRUE(same_entry_but_offset(by_id[6], from(i, 6)));
  EXPECT_TRUE(same_entry_but_offset(by_id[0], from(f, 0)));
}

TEST_F(SyntheticFullTest, EntriesBeyondTheVolumeAreDropped) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1}, 2);
  // Give the DIFF an entry for block 16 of a 16-block volume, pointing at a
  // real payload, and re-seal its table.
  loaded_backup b;
  ASSERT_EQ(backup_load(d.meta_path.c_str(), &b), STATUS_OK);
  block_entry extra = b.table.back();
  extra.block_id = 16;
  b.table.push_back(extra);
  ASSERT_EQ(meta_write(d.meta_path.c_str(), 0644, *b.header, b.table.data(), b.table.size()),
            STATUS_OK);

  ASSERT_EQ(collapse(d.meta_path), STATUS_OK);
  loaded_backup r;
  ASSERT_EQ(backup_load(only_result().c_str(), &r), STATUS_OK);
  ASSERT_EQ(r.table.size(), 16u);
  EXPECT_EQ(r.table.back().block_id, 15u);
}

// ---- The new header ----

TEST_F(SyntheticFullTest, NewHeaderIsAFreshFullWithTheChainsSourceAndTheTargetsRetention) {
  writer_result f = full();
  // Opaque bytes the programs that take backups put there.
  for (size_t i = 0; i < HDR_SOURCE_INFO_LEN; i++)
    test::flip_byte(f.meta_path, HDR_SOURCE_INFO + i, static_cast<uint8_t>(i * 7 + 1));
  writer_result d = child(f, KIND_DIFF, {2}, 2);
  writer_result i = child(d, KIND_INC, {3}, 3);
  for (size_t k = 8; k < HDR_RETENTION_UNIT_LEN; k++)
    test::flip_byte(i.meta_path, HDR_RETAIN_UNTIL + k, static_cast<uint8_t>(k));
  ASSERT_EQ(collapse(i.meta_path, "nightly"), STATUS_OK);
  std::string meta = only_result();
  EXPECT_NE(meta.find("/nightly-"), std::string::npos);

  backup_header h, hf, hi;
  ASSERT_EQ(header_read(meta.c_str(), &h), STATUS_OK);
  ASSERT_EQ(header_read(f.meta_path.c_str(), &hf), STATUS_OK);
  ASSERT_EQ(header_read(i.meta_path.c_str(), &hi), STATUS_OK);
  EXPECT_EQ(header_kind(h), KIND_FULL);
  EXPECT_EQ(header_codec(h), CODEC_ZSTD);
  EXPECT_EQ(header_cipher(h), CIPHER_NONE);
  static const uint8_t zero[16] = {};
  EXPECT_EQ(memcmp(header_parent_uuid(h), zero, 16), 0);
  EXPECT_EQ(memcmp(header_base_uuid(h), header_uuid(h), 16), 0);
  for (const writer_result* m : {&f, &d, &i}) EXPECT_NE(memcmp(header_uuid(h), m->uuid, 16), 0);
  EXPECT_EQ(header_block_size(h), header_block_size(hf));
  EXPECT_EQ(header_volume_size(h), header_volume_size(hf));
  EXPECT_EQ(memcmp(h.raw + HDR_SOURCE_INFO, hf.raw + HDR_SOURCE_INFO, HDR_SOURCE_INFO_LEN), 0);
  EXPECT_EQ(header_retain_until(h), header_retain_until(hi));
  EXPECT_EQ(memcmp(h.raw + HDR_RETAIN_UNTIL, hi.raw + HDR_RETAIN_UNTIL, HDR_RETENTION_UNIT_LEN), 0);
  char name[HDR_NAME_LEN];
  header_name_copy(h, name);
  EXPECT_STREQ(name, "nightly");
  EXPECT_LE(header_created(h), now_seconds());
  EXPECT_GE(header_created(h), now_seconds() - 60);
}

TEST_F(SyntheticFullTest, SecondRunInTheSameMinuteGetsTheSuffixTwo) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1}, 2);
  // A minute boundary between the two runs would give both the plain name;
  // try again then.
  for (int attempt = 0; attempt < 3; attempt++) {
    std::filesystem::remove_all(out_);
    std::filesystem::create_directory(out_);
    ASSERT_EQ(collapse(d.meta_path), STATUS_OK);
    ASSERT_EQ(collapse(d.meta_path), STATUS_OK);
    std::vector<std::string> metas = meta_files(out_);
    ASSERT_EQ(metas.size(), 2u);
    // "-" sorts before ".", so the suffixed name comes first.
    std::string first = metas[1].substr(0, metas[1].size() - 5);
    if (metas[0] != first + "-2.infb") continue;
    EXPECT_TRUE(test::file_exists(first + "-2.csfb"));
    expect_backup_whole(metas[0]);
    expect_backup_whole(metas[1]);
    return;
  }
  ADD_FAILURE() << "the second run never got the -2 name";
}

// ---- Sealed chains and chains that do not fit together ----

TEST_F(SyntheticFullTest, SealedChainKeepsItsCipherAndDecodesWithItsKey) {
  std::vector<uint8_t> key(CIPHER_KEY_SIZE);
  for (size_t i = 0; i < key.size(); i++) key[i] = static_cast<uint8_t>(i * 13 + 5);
  writer_backup_desc full_desc;
  full_desc.cipher = CIPHER_CHACHA20_POLY1305;
  full_desc.key = key;
  writer_result f = write(full_desc);
  writer_backup_desc ds = full_desc;
  ds.kind = KIND_INC;
  ds.parent_meta = f.meta_path;
  ds.blocks = {0, 7};
  ds.seed = 9;
  writer_result i = write(ds);
  ASSERT_EQ(collapse(i.meta_path), STATUS_OK);
  std::string meta = only_result();
  backup_header h;
  ASSERT_EQ(header_read(meta.c_str(), &h), STATUS_OK);
  EXPECT_EQ(header_cipher(h), CIPHER_CHACHA20_POLY1305);
  expect_backup_whole(meta, key);
}

TEST_F(SyntheticFullTest, MembersThatDisagreeAreRefusedBeforeAnythingIsWritten) {
  struct damage {
    const char* what;
    size_t offset;
    uint8_t mask;
  };
  for (damage dmg :
       {damage{"cipher", HDR_CIPHER, 0x01}, damage{"block size", HDR_BLOCK_SIZE + 2, 0x02},
        damage{"volume size", HDR_VOLUME_SIZE + 3, 0x01}}) {
    SCOPED_TRACE(dmg.what);
    writer_result f = full();
    writer_result d = child(f, KIND_DIFF, {1}, 2);
    test::flip_byte(d.meta_path, dmg.offset, dmg.mask);
    Snapshot before = snapshot(src_);
    EXPECT_EQ(collapse(d.meta_path), STATUS_CORRUPT);
    EXPECT_TRUE(test::list_dir(out_).empty());
    EXPECT_EQ(snapshot(src_), before);
    std::filesystem::remove_all(src_);
    std::filesystem::create_directory(src_);
  }
}

TEST_F(SyntheticFullTest, MissingAncestorIsNotFoundAndCreatesNothing) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1}, 2);
  writer_result i = child(d, KIND_INC, {2}, 3);
  ASSERT_EQ(std::remove(d.meta_path.c_str()), 0);
  EXPECT_EQ(collapse(i.meta_path), STATUS_NOT_FOUND);
  EXPECT_TRUE(test::list_dir(out_).empty());
}

TEST_F(SyntheticFullTest, TruncatedMemberImageIsCorruptAndLeavesNoBackup) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1}, 2);
  ASSERT_EQ(writer_truncate_image(f, test::file_size(f.image_path) - 10), STATUS_OK);
  EXPECT_EQ(collapse(d.meta_path), STATUS_CORRUPT);
  EXPECT_TRUE(meta_files(out_).empty());
  for (const std::string& name : test::list_dir(out_)) EXPECT_TRUE(name.ends_with(".tmp")) << name;
}

// A table whose digest was resealed over an offset past the image (2^64-1
// among them) is damage, found before anything is written, not an I/O error.
TEST_F(SyntheticFullTest, EntryOutsideItsImageIsCorruptBeforeAnythingIsWritten) {
  for (uint64_t wild : {UINT64_MAX, uint64_t{1} << 40, uint64_t{0}}) {
    SCOPED_TRACE(wild);
    writer_result f = full();
    writer_result d = child(f, KIND_DIFF, {1, 5}, 2);
    loaded_backup b;
    ASSERT_EQ(backup_load(d.meta_path.c_str(), &b), STATUS_OK);
    if (wild == 0) {
      b.table[1].stored_len = static_cast<uint32_t>(test::file_size(d.image_path)) + 1;
    } else {
      b.table[1].offset = wild;
    }
    ASSERT_EQ(meta_write(d.meta_path.c_str(), 0644, *b.header, b.table.data(), b.table.size()),
              STATUS_OK);
    Snapshot before = snapshot(src_);
    EXPECT_EQ(collapse(d.meta_path), STATUS_CORRUPT);
    EXPECT_TRUE(test::list_dir(out_).empty());
    EXPECT_EQ(snapshot(src_), before);
    std::filesystem::remove_all(src_);
    std::filesystem::create_directory(src_);
  }
}

// Temporary files are made new, never through a link: a link planted at the
// new meta file's temporary name is removed, not followed. "<image>.tmp" is
// also the name of an upload's partial image, so a name whose temporary
// image exists is passed over and that file is left exactly as it was.
TEST_F(SyntheticFullTest, PartialUploadsAreLeftAloneAndLinksAtTemporaryNamesNotFollowed) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1, 5}, 2);
  const std::string victim = tmp_.path() + "/victim";
  test::write_text(victim, "not to be written");
  const int64_t now = now_seconds();
  std::vector<std::string> uploads;
  for (int64_t t : {now, now + 60}) {
    char meta[PATH_CAP], image[PATH_CAP];
    ASSERT_EQ(new_backup_paths(out_.c_str(), "synth", KIND_FULL, t, meta, sizeof meta, image,
                               sizeof image),
              STATUS_OK);
    uploads.push_back(std::string(image) + ".tmp");
    test::write_text(uploads.back(), "an upload being written");
    // The name the run then takes is the next one; a link waits there.
    ASSERT_EQ(new_backup_paths(out_.c_str(), "synth", KIND_FULL, t, meta, sizeof meta, image,
                               sizeof image),
              STATUS_OK);
    EXPECT_NE(uploads.back(), std::string(image) + ".tmp");
    ASSERT_EQ(symlink(victim.c_str(), (std::string(meta) + ".tmp").c_str()), 0);
  }
  ASSERT_EQ(collapse(d.meta_path), STATUS_OK);
  expect_backup_whole(only_result());
  EXPECT_EQ(test::read_text(victim), "not to be written");
  for (const std::string& upload : uploads)
    EXPECT_EQ(test::read_text(upload), "an upload being written");
}

// ---- Failures of the file system ----

// Fails the 1st, 2nd, ... call of the operations that read, write, flush,
// copy, rename or remove, until a run meets no fault. After each run the
// chain is untouched, no descriptor is left open, and the output directory
// holds either no backup or one whole backup, besides temporary files.
TEST_F(SyntheticFullTest, EveryFailedFileCallLeavesNoBackupOrAWholeOne) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1, 2, 9}, 2, {4});
  writer_result i = child(d, KIND_INC, {2, 3}, 3);
  Snapshot before = snapshot(src_);
  bool finished = false;
  for (uint64_t k = 1; k < 500 && !finished; k++) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    out_ = tmp_.path() + "/out" + std::to_string(k);
    std::filesystem::create_directory(out_);
    int fds = test::open_fd_count();
    status_t s;
    bool fired;
    {
      test::FaultInjector faults;
      faults.only({FS_OP_OPEN, FS_OP_PREAD, FS_OP_PWRITE, FS_OP_FSYNC, FS_OP_COPY, FS_OP_RENAME,
                   FS_OP_REMOVE, FS_OP_LINK, FS_OP_CLOSE});
      faults.fail_at(k, EIO);
      testing::internal::CaptureStderr();
      s = collapse(i.meta_path);
      testing::internal::GetCapturedStderr();
      fired = faults.fired();
    }
    EXPECT_EQ(test::open_fd_count(), fds);
    ASSERT_EQ(snapshot(src_), before);
    std::vector<std::string> metas = meta_files(out_);
    ASSERT_LE(metas.size(), 1u);
    std::string stem = metas.empty() ? "" : metas[0].substr(0, metas[0].size() - 5);
    for (const std::string& name : test::list_dir(out_)) {
      std::string path = out_ + "/" + name;
      if (!metas.empty() && (path == stem + ".infb" || path == stem + ".csfb")) continue;
      EXPECT_TRUE(name.ends_with(".tmp")) << name;
    }
    if (metas.empty()) {
      EXPECT_NE(s, STATUS_OK);
    } else {
      expect_backup_whole(metas[0]);
    }
    if (!fired) {
      EXPECT_EQ(s, STATUS_OK);
      EXPECT_EQ(metas.size(), 1u);
      finished = true;
    }
  }
  EXPECT_TRUE(finished);
}

}  // namespace

TEST_F(SyntheticFullTest, NameThatIsNoFileNameIsInvalidAndCreatesNothing) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1}, 2);
  for (const char* name : {"a/b", "..\\x", ""}) {
    EXPECT_EQ(collapse(d.meta_path, name), STATUS_INVALID) << name;
  }
  EXPECT_EQ(collapse(d.meta_path, std::string(1100, 'n')), STATUS_INVALID);
  EXPECT_TRUE(test::list_dir(out_).empty());
}

TEST_F(SyntheticFullTest, EveryCandidateNameTakenIsExistsAndNoBackupIsOverwritten) {
  writer_result f = full();
  writer_result d = child(f, KIND_DIFF, {1}, 2);
  // Every name this minute and the next could give (plain, then -2 to -1000)
  // is taken by a file that must survive.
  time_t now = time(nullptr);
  for (time_t t : {now, now + 60}) {
    struct tm tm;
    char stamp[16];
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    ASSERT_GT(strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &tm), 0u);
    for (int n = 1; n <= 1000; n++) {
      std::string base = out_ + "/synth-" + stamp + (n == 1 ? "" : "-" + std::to_string(n));
      test::write_text(base + ".infb", "taken");
    }
  }
  Snapshot before = snapshot(out_);
  EXPECT_EQ(collapse(d.meta_path), STATUS_EXISTS);
  EXPECT_EQ(snapshot(out_), before);
}
