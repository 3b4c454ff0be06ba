// Every operation that allocates, run again and again with its 1st, 2nd, 3rd
// ... C++ allocation failed, until a run meets no fault. Whichever allocation
// fails, no exception leaves the operation (one that did would end the
// program), the run reports "out of memory" (or the status the operation
// maps it to), and the store is the old one byte for byte or completely the
// new result.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "codec/compress.h"
#include "ops/delete.h"
#include "ops/partials.h"
#include "ops/prune.h"
#include "ops/recompress.h"
#include "ops/sweep_support.h"
#include "ops/synthetic_full.h"
#include "setup/acl.h"
#include "setup/acl_file.h"
#include "setup/encrypt_init.h"
#include "setup/tls.h"
#include "store/backup.h"
#include "store/catalog.h"
#include "store/chain.h"
#include "store/format.h"
#include "store/header.h"
#include "store/journal_replay.h"
#include "store_writer.h"
#include "support/alloc_fault.h"
#include "support/journal_fixture.h"
#include "support/test_util.h"

namespace {

using test::AllocFault;
using test::Snapshot;

// ---- The seam itself ----

TEST(AllocFaultTest, FailsOnlyTheChosenAllocationOfTheArmedThread) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's runtime brings an operator new of its own; which one the
  // program calls depends on how that runtime is linked.
  if (!test::alloc_fault_works()) GTEST_SKIP() << "the sanitizer's operator new is the one called";
#endif
  ASSERT_TRUE(test::alloc_fault_works()) << "operator new is not the test binary's own";
  std::unique_ptr<int> first, second, third, other;
  bool second_threw = false;
  void* nothrow = &second_threw;
  uint64_t calls = 0;
  {
    AllocFault fault(2);
    first = std::make_unique<int>(1);
    try {
      second = std::make_unique<int>(2);
    } catch (const std::bad_alloc&) {
      second_threw = true;
    }
    third = std::make_unique<int>(3);
    // Another thread neither counts nor fails.
    std::thread([&other] { other = std::make_unique<int>(4); }).join();
    calls = fault.calls();
  }
  EXPECT_TRUE(second_threw && !second);
  EXPECT_TRUE(first && third && other);
  EXPECT_GE(calls, 3u);
  void* counted = nullptr;
  {
    AllocFault fault(2);
    counted = ::operator new(16, std::nothrow);
    nothrow = ::operator new(16, std::nothrow);
  }
  EXPECT_NE(counted, nullptr) << "a nothrow allocation counts once";
  ::operator delete(counted);
  EXPECT_EQ(nothrow, nullptr);
  // Disarmed: the same call succeeds again.
  nothrow = ::operator new(16, std::nothrow);
  EXPECT_NE(nothrow, nullptr);
  ::operator delete(nothrow);
}

// Workers of an operation allocate on threads of their own: counted in one
// sequence with the arming thread's, a worker's allocation can be the one
// that fails.
TEST(AllocFaultTest, EveryThreadCountsAndFailsTheAllocationsOfOtherThreads) {
  if (!test::alloc_fault_works()) GTEST_SKIP() << "operator new is not the test binary's own";
  std::unique_ptr<int> mine, other;
  bool other_threw = false;
  uint64_t calls = 0;
  {
    // 1: mine; 2: the thread's start, on this thread; 3: the other thread's.
    AllocFault fault(3, AllocFault::EVERY_THREAD);
    mine = std::make_unique<int>(1);
    std::thread([&] {
      try {
        other = std::make_unique<int>(2);
      } catch (const std::bad_alloc&) {
        other_threw = true;
      }
    }).join();
    EXPECT_TRUE(fault.fired());
    calls = fault.calls();
  }
  EXPECT_TRUE(mine);
  EXPECT_TRUE(other_threw && !other);
  EXPECT_GE(calls, 3u);
  // Disarmed: nothing is counted or failed any more.
  std::thread([&] { other = std::make_unique<int>(3); }).join();
  EXPECT_TRUE(other);
}

// ---- The sweep ----

struct Outcome {
  status_t status = STATUS_OK;
  bool fired = false;
  std::string log;  // what the run wrote to standard error
};

class MemorySweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::alloc_fault_works())
      GTEST_SKIP() << "this build's operator new is not the test binary's replacement, so no "
                      "allocation can be failed";
    dir_ = tmp_.path() + "/store";
    std::filesystem::create_directory(dir_);
    const int64_t expired = 1700000500;
    old_full_ = test::write_small_backup(dir_, "db-old-full", KIND_FULL, "", 1, {0, 1, 2},
                                         1700000000, expired);
    old_diff_ = test::write_small_backup(dir_, "db-old-diff", KIND_DIFF, old_full_.meta_path, 2,
                                         {1, 3}, 1700000100, expired);
    old_inc_ = test::write_small_backup(dir_, "db-old-inc", KIND_INC, old_diff_.meta_path, 3, {3},
                                        1700000200, expired);
    new_full_ = test::write_small_backup(dir_, "db-new-full", KIND_FULL, "", 4, {0, 5}, 1800000000,
                                         expired);
    writer_backup_desc other;
    other.dir = dir_;
    other.name = "web";
    other.file_stem = "web-full";
    other.block_size = 4096;
    other.volume_size = 4096;
    writer_result w;
    ASSERT_EQ(writer_write_backup(other, &w), STATUS_OK);
    before_ = test::snapshot(dir_);
  }

  // Runs the operation with allocation k failed for k = 1, 2, ..., with
  // reset() before every run, until a run meets no fault (which must
  // succeed). A run that fails must return `expected`; check() then looks
  // at what the run left. Stops at the first run that breaks a check.
  //
  // With EVERY_THREAD the allocations of the workers an operation starts
  // count too (and one of theirs fails in its turn), so that a worker that
  // allocated could not go unnoticed.
  void sweep(status_t expected, const std::function<void()>& reset,
             const std::function<status_t()>& run, const std::function<void(const Outcome&)>& check,
             AllocFault::scope where = AllocFault::THIS_THREAD) {
    for (uint64_t k = 1; k < 100000; k++) {
      SCOPED_TRACE("allocation " + std::to_string(k) + " failed");
      reset();
      int fds = test::open_fd_count();
      Outcome r;
      bool escaped = false;
      testing::internal::CaptureStderr();
      {
        AllocFault fault(k, where);
        try {
          r.status = run();
        } catch (const std::bad_alloc&) {
          escaped = true;
        }
        r.fired = fault.fired();
      }
      r.log = testing::internal::GetCapturedStderr();
      EXPECT_FALSE(escaped) << "std::bad_alloc left the operation";
      EXPECT_EQ(test::open_fd_count(), fds) << "a descriptor leaked";
      if (!r.fired) {
        EXPECT_EQ(r.status, STATUS_OK) << "the run without a fault";
        EXPECT_GT(k, 1u) << "the operation allocates nothing";
        check(r);
        return;
      }
      // Success despite the fault is a retry that worked: check() then
      // demands the complete result.
      if (r.status != STATUS_OK) {
        EXPECT_EQ(r.status, expected);
      }
      check(r);
      if (HasFailure()) {
        ADD_FAILURE() << "the run logged:\n" << r.log;
        return;
      }
    }
    FAIL() << "the operation never ran without a fault";
  }

  // An operation that changes the store: every failed run leaves it as it
  // was (apart from temporary files), and the run without a fault leaves what
  // a plain run does; either way every backup scrubs clean. Returns the
  // files of that result.
  Snapshot sweep_store_change(const std::function<status_t()>& run,
                              AllocFault::scope where = AllocFault::THIS_THREAD) {
    EXPECT_EQ(test::quietly(run), STATUS_OK);
    const Snapshot after = test::snapshot(dir_);
    sweep(
        STATUS_NO_MEMORY, [&] { test::restore(dir_, before_); }, run,
        [&](const Outcome& r) {
          Snapshot now = test::snapshot(dir_);
          std::erase_if(now, [](const auto& f) { return test::is_temporary_name(f.first); });
          if (r.status == STATUS_OK) {
            EXPECT_EQ(now, after) << "not the result of a run without a fault";
          } else {
            EXPECT_EQ(now, before_) << "a failed run changed the store";
          }
          EXPECT_EQ(test::scrub_dir(dir_), STATUS_OK);
        },
        where);
    return after;
  }

  test::TempDir tmp_;
  std::string dir_;
  writer_result old_full_, old_diff_, old_inc_, new_full_;
  Snapshot before_;
};

// ---- Readers ----

TEST_F(MemorySweepTest, BackupLoadIsOutOfMemoryWithNoTable) {
  loaded_backup b;
  sweep(
      STATUS_NO_MEMORY, [&] { backup_release(&b); },
      [&] { return backup_load(old_diff_.meta_path.c_str(), &b); },
      [&](const Outcome& r) {
        if (r.status == STATUS_OK) {
          EXPECT_EQ(b.table.size(), old_diff_.table.size());
        } else {
          EXPECT_TRUE(b.table.empty());
        }
      });
}

TEST_F(MemorySweepTest, CatalogScanIsOutOfMemoryAndLeavesTheCatalogUntouched) {
  std::vector<catalog_entry> catalog;
  sweep(
      STATUS_NO_MEMORY, [&] { catalog.assign(1, catalog_entry{}); },
      [&] { return catalog_scan(dir_.c_str(), &catalog); },
      [&](const Outcome& r) { EXPECT_EQ(catalog.size(), r.status == STATUS_OK ? 5u : 1u); });
}

TEST_F(MemorySweepTest, ChainResolveAndBlockMapAreOutOfMemoryAndHoldNothing) {
  backup_chain chain;
  chain_block_map map;
  sweep(
      STATUS_NO_MEMORY,
      [&] {
        chain_block_map_free(&map);
        chain_release(&chain);
      },
      [&] {
        status_t s = chain_resolve(old_inc_.meta_path.c_str(), dir_.c_str(), &chain);
        return s == STATUS_OK ? chain_block_map_build(chain, &map) : s;
      },
      [&](const Outcome& r) {
        if (r.status == STATUS_OK) {
          EXPECT_EQ(chain.members.size(), 3u);
          EXPECT_EQ(map.slots.size(), 12u);
        } else {
          EXPECT_TRUE(map.slots.empty());
        }
      });
  chain_block_map_free(&map);
  chain_release(&chain);
}

TEST_F(MemorySweepTest, AclReaderIsOutOfMemoryAndLeavesTheEntriesUntouched) {
  const std::string path = tmp_.file("acl");
  test::write_text(path, "# clients\nkey-one backups/a/**,backups/b\nkey-two zor/*\n");
  std::vector<acl_entry> entries;
  sweep(
      STATUS_NO_MEMORY, [&] { entries.assign(1, acl_entry{}); },
      [&] { return acl_parse_file(path.c_str(), &entries); },
      [&](const Outcome& r) { EXPECT_EQ(entries.size(), r.status == STATUS_OK ? 2u : 1u); });
}

// ---- Writers ----

TEST_F(MemorySweepTest, AclAddIsOutOfMemoryAndWritesNothingOrTheWholeLine) {
  const std::string path = tmp_.file("acl");
  const std::string old_text = "key-one backups/a/**\n";
  acl_add_request req;
  req.acl_file = path.c_str();
  req.dirs = "backups/c/**";
  req.key = "key-two";
  char key[65];
  sweep(
      STATUS_NO_MEMORY, [&] { test::write_text(path, old_text); },
      [&] { return acl_add(req, key, sizeof key); },
      [&](const Outcome& r) {
        EXPECT_EQ(test::read_text(path),
                  r.status == STATUS_OK ? old_text + "key-two backups/c/**\n" : old_text);
      });
}

TEST_F(MemorySweepTest, MetaWriteLeavesTheOldMetaFileOrTheNewOne) {
  loaded_backup b;
  ASSERT_EQ(backup_load(new_full_.meta_path.c_str(), &b), STATUS_OK);
  backup_header changed = *b.header;
  header_set_retain_until(&changed, 1900000000);
  const std::string path = new_full_.meta_path;
  Snapshot after = sweep_store_change(
      [&] { return meta_write(path.c_str(), 0644, changed, b.table.data(), b.table.size()); });
  EXPECT_NE(after, before_);
}

TEST_F(MemorySweepTest, SyntheticFullLeavesTheChainAndNoFullOrAWholeOne) {
  const std::string out = tmp_.path() + "/out";
  synthetic_full_request req;
  req.target = old_inc_.meta_path.c_str();
  req.search_dir = dir_.c_str();
  req.out_dir = out.c_str();
  req.name = "collapsed";
  sweep(
      STATUS_NO_MEMORY, [&] { test::fresh_dir(out); }, [&] { return synthetic_full(req); },
      [&](const Outcome& r) {
        EXPECT_EQ(test::snapshot(dir_), before_) << "the chain was changed";
        size_t files = 0;
        for (const std::string& name : test::list_dir(out))
          if (!test::is_temporary_name(name)) files++;
        EXPECT_EQ(files, r.status == STATUS_OK ? 2u : 0u) << "a new FULL, or nothing";
        EXPECT_EQ(test::scrub_dir(out), STATUS_OK);
      });
}

// On several threads the workers' allocations count too: a thread that
// cannot be started leaves the work to the others.
TEST_F(MemorySweepTest, RecompressLeavesTheOldBackupOrTheNewOne) {
  for (size_t threads : {1, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    recompress_request req;
    req.meta_path = new_full_.meta_path.c_str();
    req.codec = CODEC_LZ4;
    req.level = 1;
    req.threads = threads;
    Snapshot after =
        sweep_store_change([&] { return recompress_backup(req); }, AllocFault::EVERY_THREAD);
    EXPECT_NE(after, before_);
    test::restore(dir_, before_);
  }
}

// A recompress killed between its renames: the old meta file beside the new
// image, the old image under its spare name, the new meta file under its
// temporary name. Putting it right either keeps it as it is (out of memory)
// or makes it the old backup or the new one, whole.
TEST_F(MemorySweepTest, FinishingAnInterruptedRecompressLeavesAWholeBackup) {
  recompress_request req;
  req.meta_path = new_full_.meta_path.c_str();
  req.codec = CODEC_LZ4;
  ASSERT_EQ(test::quietly([&] { return recompress_backup(req); }), STATUS_OK);
  const Snapshot after = test::snapshot(dir_);
  Snapshot half = before_;
  const std::string meta = "db-new-full.infb", image = test::image_name_of(meta);
  half[image] = after.at(image);
  half[image + BACKUP_SPARE_SUFFIX] = before_.at(image);
  half[meta + ".tmp"] = after.at(meta);
  int outcome = BACKUP_REWRITE_NONE;
  sweep(
      STATUS_NO_MEMORY, [&] { test::restore(dir_, half); },
      [&] { return backup_finish_rewrite(new_full_.meta_path.c_str(), &outcome); },
      [&](const Outcome& r) {
        Snapshot now = test::snapshot(dir_);
        if (r.status != STATUS_OK) {
          EXPECT_EQ(now, half) << "a failed run changed the store";
          return;
        }
        std::erase_if(now, [](const auto& f) { return test::is_temporary_name(f.first); });
        EXPECT_TRUE(now == before_ || now == after) << "not a whole backup";
        EXPECT_EQ(test::scrub_dir(dir_), STATUS_OK);
      });
  EXPECT_EQ(outcome, BACKUP_REWRITE_FINISHED);
}

TEST_F(MemorySweepTest, PruneRemovesNothingOrEveryExpiredBackup) {
  prune_request req;
  req.search_dir = dir_.c_str();
  req.now = 1750000000;
  Snapshot after = sweep_store_change([&] { return prune_backups(req); });
  EXPECT_EQ(after.size(), 4u) << "only the newer FULL and the other name stay";
}

TEST_F(MemorySweepTest, DeleteRemovesNothingOrTheWholeChain) {
  delete_request req;
  req.meta_path = old_full_.meta_path.c_str();
  req.search_dir = dir_.c_str();
  Snapshot after = sweep_store_change([&] { return delete_backup(req); });
  EXPECT_EQ(after.size(), 4u) << "only the newer FULL and the other name stay";
}

// A backup that cannot be loaded for want of memory was not verified, and a
// scrub that could not verify everything does not pass: a scrub that passes
// checked every block.
// On several threads, a worker that cannot be started leaves the work to
// the others (or to the calling thread alone), and a run still passes only
// when it checked every block.
TEST_F(MemorySweepTest, ScrubThatCannotLoadABackupFailsAndChangesNothing) {
  for (size_t threads : {1, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    scrub_request req;
    req.backup_dir = dir_.c_str();
    req.threads = threads;
    testing::internal::CaptureStderr();
    ASSERT_EQ(scrub_backups(req), STATUS_OK);
    const std::string all = testing::internal::GetCapturedStderr();
    const std::string summary = all.substr(all.find("scrub: checked"));
    sweep(
        STATUS_CORRUPT, [] {}, [&] { return scrub_backups(req); },
        [&](const Outcome& r) {
          if (r.status == STATUS_OK) {
            EXPECT_NE(r.log.find(summary), std::string::npos) << "a backup went unchecked";
          }
          EXPECT_EQ(test::snapshot(dir_), before_);
        },
        AllocFault::EVERY_THREAD);
  }
}

// ---- Uploads and set-up files ----

// The body is larger than the area a reader keeps, so its rest is read
// through a buffer of its own.
TEST_F(MemorySweepTest, JournalReplayIsOutOfMemoryWithNothingReplayed) {
  const std::string path = tmp_.file("up.part");
  journal_fixture::Journal j(0, "db", "up.csfb", 140000);
  j.block(0, 100);
  j.block(1, 200);
  j.commit(2, 7);
  j.write(path);
  journal_replay replay;
  sweep(
      STATUS_NO_MEMORY, [&] { replay = journal_replay{}; },
      [&] { return journal_load(path.c_str(), &replay); },
      [&](const Outcome& r) { EXPECT_EQ(replay.entries.size(), r.status == STATUS_OK ? 2u : 0u); });
}

// Each upload goes whole (journal and partial image) or stays whole; a run
// that could not do everything it was asked exits 1.
TEST_F(MemorySweepTest, PartialsRemovalTakesWholeUploadsOrNone) {
  const std::string dir = tmp_.path() + "/uploads";
  auto reset = [&] {
    test::fresh_dir(dir);
    for (const std::string stem : {"a", "b"}) {
      journal_fixture::Journal(0, "db", stem + ".csfb").write(dir + "/" + stem + ".part");
      test::write_text(dir + "/" + stem + ".csfb.tmp", "partial");
    }
    testing::internal::CaptureStdout();
  };
  sweep(
      STATUS_IO, reset,
      [&] { return list_partials(dir.c_str(), 1, -1) == 0 ? STATUS_OK : STATUS_IO; },
      [&](const Outcome& r) {
        testing::internal::GetCapturedStdout();
        std::vector<std::string> left = test::list_dir(dir);
        for (const std::string stem : {"a", "b"}) {
          bool journal = std::count(left.begin(), left.end(), stem + ".part") != 0;
          bool image = std::count(left.begin(), left.end(), stem + ".csfb.tmp") != 0;
          EXPECT_EQ(journal, image) << stem << ": half an upload is left";
        }
        if (r.status == STATUS_OK) {
          EXPECT_TRUE(left.empty());
        }
      });
}

TEST_F(MemorySweepTest, EncryptInitLeavesTheOldKeyOrAWholeNewOne) {
  const std::string dir = tmp_.path() + "/keys", path = dir + "/block.key";
  const std::string old_key = std::string(64, 'a') + "\n";
  encrypt_init_request req;
  req.key_file = path.c_str();
  req.force = 1;
  char key[65];
  sweep(
      STATUS_IO,
      [&] {
        test::fresh_dir(dir);
        test::write_text(path, old_key);
      },
      [&] { return encrypt_init(req, key, sizeof key); },
      [&](const Outcome& r) {
        EXPECT_EQ(test::list_dir(dir), std::vector<std::string>{"block.key"});
        std::string now = test::read_text(path);
        EXPECT_EQ(now == old_key, r.status != STATUS_OK);
        EXPECT_EQ(now.size(), old_key.size());
      });
}

TEST_F(MemorySweepTest, TlsInitLeavesTheOldPairOrAWholeNewOne) {
  const std::string dir = tmp_.path() + "/tls", cert = dir + "/cert.pem", key = dir + "/key.pem";
  tls_init_request req;
  req.cert_path = cert.c_str();
  req.key_path = key.c_str();
  req.force = 1;
  sweep(
      STATUS_IO,
      [&] {
        test::fresh_dir(dir);
        test::write_text(cert, "old certificate\n");
        test::write_text(key, "old key\n");
      },
      [&] { return tls_init(req); },
      [&](const Outcome& r) {
        EXPECT_EQ(test::list_dir(dir), (std::vector<std::string>{"cert.pem", "key.pem"}));
        bool old_cert = test::read_text(cert) == "old certificate\n";
        bool old_key = test::read_text(key) == "old key\n";
        EXPECT_EQ(old_cert, old_key) << "a new key beside an old certificate, or the reverse";
        EXPECT_EQ(old_cert, r.status != STATUS_OK);
      });
}

}  // namespace
