#include "ops/scrub.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <openssl/crypto.h>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "base/log.h"
#include "base/page_cache.h"
#include "base/progress.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"
#include "codec/key_file.h"
#include "ops/blast_radius.h"
#include "ops/metrics.h"
#include "ops/pipeline.h"
#include "ops/store_bytes.h"
#include "store/backup.h"
#include "store/naming.h"

namespace {

struct scrub_counts {
  uint64_t blocks_checked = 0;
  uint64_t blocks_bad = 0;
  uint64_t files_skipped = 0;  // encrypted, no key
  // Meta files that could not be verified for any other reason (unreadable,
  // damaged, newer format, image missing, no memory). Not in the summary,
  // but they fail the run: a check that could not be made is not a pass.
  uint64_t files_unverified = 0;
  // Backups a recompress left between its two renames. The pair that
  // verifies is checked, but restore tools would read the old meta file over
  // the new image until a writer finishes the swap: the run fails.
  uint64_t files_interrupted = 0;
};

// One block buffer.
struct buffer_free {
  void operator()(uint8_t* p) const { free(p); }
};
using block_buffer = std::unique_ptr<uint8_t[], buffer_free>;

constexpr size_t HUGE_PAGE = size_t{2} << 20;

// A buffer of len bytes, not zero-filled, so a block_size read from a damaged
// header costs address space, not memory, until a block actually uses it.
// Buffers of a huge page or more are aligned to one and offered to the
// kernel as huge pages: a fresh 2 MiB buffer then costs one page fault
// instead of 512.
block_buffer buffer_allocate(size_t len) {
  void* p = nullptr;
  if (len >= HUGE_PAGE) {
    const size_t rounded = (len + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (posix_memalign(&p, HUGE_PAGE, rounded) != 0) return nullptr;
    (void)madvise(p, rounded, MADV_HUGEPAGE);  // a hint; without it the buffer works the same
  } else {
    p = malloc(len != 0 ? len : 1);
  }
  return block_buffer(static_cast<uint8_t*>(p));
}

// How the reading, decoding and hashing of blocks is shared out: the calling
// thread lists the directory, loads each backup, and reads its blocks in
// table order, one sequential stream per image, each into a slot of the
// pipeline (ops/pipeline.h); the workers open, decode and hash them; the
// calling thread takes the verdicts back in the order it read the blocks and
// logs every line. A line about a backup as a whole (a skip, a warning) is
// logged once every block read before it has been taken back. So the lines,
// their order, the summary and the status are those of one thread, and the
// file calls are made in the same order too.
//
// Memory is a few block buffers per thread, whatever the store's size: a
// stored payload per slot, and per worker the buffers a payload is opened
// and decoded into. They are sized for the backup being read and are only
// reallocated, once every slot is back, when a backup needs more than they
// hold (or far less).

enum block_verdict : uint8_t {
  BLOCK_GOOD,
  BLOCK_BAD,
  BLOCK_AUTH_FAILED,  // bad, and the authentication line comes first
};

// A backup whose blocks are in the pipeline, kept loaded until the last of
// them is taken back: the slots point into its table.
struct inflight_backup {
  loaded_backup b;
  uint8_t cipher = CIPHER_NONE;
  uint32_t block_size = 0;
  size_t blocks_out = 0;  // handed out and not yet taken back
};

struct scrub_slot {
  block_buffer stored;  // sealed_size(cipher, block_size) of the backups read
  const block_entry* entry = nullptr;
  inflight_backup* backup = nullptr;
  bool read = false;  // the whole payload was read
  uint8_t verdict = BLOCK_GOOD;
};

// A worker's own buffers.
struct scrub_scratch {
  block_buffer opened;   // block_size, only once a backup with a cipher was read
  block_buffer decoded;  // block_size
  codec_workspace codec;
};

// The buffer sizes every slot and every scratch set holds now.
struct buffer_sizes {
  size_t stored = 0;
  size_t decoded = 0;
  size_t opened = 0;
};

constexpr size_t SHRINK_ABOVE = size_t{64} << 20;

struct scrub_run {
  const uint8_t* key = nullptr;  // CIPHER_KEY_SIZE bytes, or null
  scrub_slice slice;             // of the store, or all of it
  scrub_counts counts;
  damage_record damage;  // the bad blocks, for the lines on what they break
  std::array<scrub_slot, PIPELINE_MAX_SLOTS> slots;
  std::array<scrub_scratch, PIPELINE_MAX_THREADS> scratch;
  // One more than the slots: each slot holds at most one backup, so one
  // record is always free for the next.
  std::array<inflight_backup, PIPELINE_MAX_SLOTS + 1> backups;
  buffer_sizes have;
  size_t scratch_sets = 1;
  uint64_t bytes_read = 0;  // payload bytes the reads returned
  progress_meter meter;     // on a terminal only
  cache_reader cache;       // of the image being read; its maps are kept from one to the next
  ordered_pipeline pipe;    // declared last: stopped before the buffers go
};

// The block's verdict: good when it decodes to raw_len bytes whose SHA-256
// is the entry's. Runs on a worker; touches only the slot and the worker's
// scratch, and logs nothing.
uint8_t block_verify(const scrub_slot& slot, const uint8_t* key, scrub_scratch* scratch) {
  if (!slot.read) return BLOCK_BAD;
  const block_entry& e = *slot.entry;
  const uint8_t cipher = slot.backup->cipher;
  const uint32_t block_size = slot.backup->block_size;

  const uint8_t* payload = slot.stored.get();
  size_t payload_len = e.stored_len;
  if (cipher != CIPHER_NONE) {
    size_t opened_len = 0;
    if (open_block(cipher, key, payload, payload_len, scratch->opened.get(), block_size,
                   &opened_len) != STATUS_OK)
      return BLOCK_AUTH_FAILED;
    payload = scratch->opened.get();
    payload_len = opened_len;
  }

  // A raw payload is already the block: it is checked where it lies rather
  // than copied into the decoded buffer first (same bytes, same limit).
  const uint8_t* decoded = payload;
  size_t decoded_len = payload_len;
  if (e.codec == CODEC_NONE) {
    if (payload_len > block_size) return BLOCK_BAD;
  } else if (codec_decompress(e.codec, payload, payload_len, scratch->decoded.get(), block_size,
                              &decoded_len, &scratch->codec) != STATUS_OK) {
    return BLOCK_BAD;
  } else {
    decoded = scratch->decoded.get();
  }
  if (decoded_len != e.raw_len) return BLOCK_BAD;

  uint8_t digest[SHA256_SIZE];
  sha256_digest(decoded, decoded_len, digest);
  return digest_equal(digest, e.sha256, SHA256_SIZE) == 1 ? BLOCK_GOOD : BLOCK_BAD;
}

void verify_job(void* ctx, size_t slot, size_t worker) {
  auto* run = static_cast<scrub_run*>(ctx);
  scrub_slot& s = run->slots[slot];
  s.verdict = block_verify(s, run->key, &run->scratch[worker]);
}

// Takes the oldest block back: counts it and logs its lines.
void take_oldest(scrub_run* run) {
  scrub_slot& s = run->slots[pipeline_wait_oldest(&run->pipe)];
  const char* meta_path = s.backup->b.meta_path.c_str();
  const auto block_id = static_cast<unsigned long long>(s.entry->block_id);
  run->counts.blocks_checked++;
  if (s.verdict == BLOCK_AUTH_FAILED) {
    log_write(LOG_ERROR_LEVEL,
              "%s block_id=%llu: authentication failed -- wrong --decrypt-key-file, or "
              "corrupted data",
              meta_path, block_id);
  }
  if (s.verdict != BLOCK_GOOD) {
    run->counts.blocks_bad++;
    log_write(LOG_ERROR_LEVEL, "bit rot detected: %s block_id=%llu", meta_path, block_id);
    damage_record_add(&run->damage, meta_path, s.entry->block_id);
  }
  progress_add(&run->meter, s.entry->stored_len);
  s.backup->blocks_out--;
  s.entry = nullptr;
  s.backup = nullptr;
  pipeline_release_oldest(&run->pipe);
}

// Takes every block read so far back; a line about what comes next may then
// be logged.
void drain(scrub_run* run) {
  while (!pipeline_empty(run->pipe)) take_oldest(run);
}

void buffers_free(scrub_run* run) {
  for (scrub_slot& s : run->slots) s.stored.reset();
  // The zstd contexts stay: they fit blocks of any size.
  for (scrub_scratch& w : run->scratch) {
    w.opened.reset();
    w.decoded.reset();
  }
  run->have = buffer_sizes{};
}

bool too_small_or_far_too_big(size_t have, size_t need) {
  return have < need || (have > SHRINK_ABOVE && have / 4 > need);
}

// Makes every buffer fit blocks of the backup. False when memory runs out;
// no buffer is then held.
bool buffers_fit(scrub_run* run, uint8_t cipher, uint32_t block_size) {
  // A backup without a cipher has no use for opened buffers, and does not
  // mind those it finds; when it has the others reallocated, it goes without.
  const buffer_sizes need{sealed_size(cipher, block_size), block_size,
                          cipher != CIPHER_NONE ? block_size : 0};
  if (!too_small_or_far_too_big(run->have.stored, need.stored) &&
      !too_small_or_far_too_big(run->have.decoded, need.decoded) &&
      !(cipher != CIPHER_NONE && too_small_or_far_too_big(run->have.opened, need.opened)))
    return true;
  drain(run);  // the slots and the scratch sets are all back
  buffers_free(run);
  bool ok = true;
  for (size_t i = 0; ok && i < pipeline_slots(run->pipe); i++)
    ok = (run->slots[i].stored = buffer_allocate(need.stored)) != nullptr;
  for (size_t i = 0; ok && i < run->scratch_sets; i++) {
    ok = (run->scratch[i].decoded = buffer_allocate(need.decoded)) != nullptr;
    if (ok && need.opened != 0)
      ok = (run->scratch[i].opened = buffer_allocate(need.opened)) != nullptr;
  }
  if (!ok) {
    buffers_free(run);
    return false;
  }
  run->have = need;
  return true;
}

// A record for a backup about to be read; every block of the one it held
// before has been taken back.
inflight_backup* free_record(scrub_run* run) {
  for (inflight_backup& r : run->backups)
    if (r.blocks_out == 0) return &r;
  return nullptr;  // not reached: there is one record more than slots
}

// Reads the payload of e into the slot with one positioned read. An entry
// whose lengths do not fit the buffers, or whose payload is cut short, is
// damage and is never read past.
bool read_payload(scrub_run* run, int image_fd, const inflight_backup& ib, const block_entry& e,
                  scrub_slot* s) {
  if (!block_entry_fits(e, ib.block_size, ib.cipher)) return false;
  cache_reader_before(&run->cache, e.offset, e.stored_len);
  size_t got = 0;
  if (fs_pread(image_fd, s->stored.get(), e.stored_len, e.offset, &got) != STATUS_OK) return false;
  run->bytes_read += got;
  return got == e.stored_len;
}

// Hands every block with data of the table entries [first, end) out, in
// table order; returns the stored bytes handed out.
uint64_t backup_read_blocks(scrub_run* run, inflight_backup* ib, int image_fd, size_t first,
                            size_t end) {
  uint64_t handed = 0;
  for (size_t i = first; i < end; i++) {
    const block_entry& e = ib->b.table[i];
    if (e.flags & BLOCK_FLAG_NO_DATA) continue;
    handed += e.stored_len;
    if (pipeline_full(run->pipe)) take_oldest(run);
    scrub_slot& s = run->slots[pipeline_next_slot(run->pipe)];
    s.entry = &e;
    s.backup = ib;
    s.verdict = BLOCK_GOOD;
    s.read = read_payload(run, image_fd, *ib, e, &s);
    ib->blocks_out++;
    pipeline_submit(&run->pipe);
  }
  return handed;
}

// The progress total starts as the images' bytes (a slice's share of them
// with --subset); once a backup is done, its image's share is replaced by
// what was read of it: nothing for a backup skipped, the payloads for one
// read (gaps and other slices' stretches are not waited for).
void progress_settle(scrub_run* run, uint64_t image_bytes, uint64_t read) {
  if (!run->meter.active) return;
  const uint64_t share = image_bytes / (scrub_slice_whole(run->slice) ? 1 : run->slice.count);
  if (read > share) {
    progress_grow(&run->meter, read - share);
  } else {
    progress_shrink(&run->meter, share - read);
  }
}

// A backup whose image will not be read leaves the progress total.
void progress_skip(scrub_run* run, const char* meta_path) {
  if (run->meter.active) progress_settle(run, store_image_bytes(meta_path), 0);
}

// True when the directory entry itself is gone: the backup was removed
// between the listing and the read (a prune or delete running alongside).
bool entry_vanished(const char* path) {
  struct stat st;
  return fs_lstat(path, &st) == STATUS_NOT_FOUND;
}

// Verifies one backup named by the listing.
void scrub_one(scrub_run* run, const char* meta_path) {
  scrub_counts* counts = &run->counts;
  // A recompress killed between its two renames leaves a pair that does not
  // decode, though each whole pair is on disk: the whole one is checked, and
  // nothing is changed (scrub runs where it may not write, and only reads).
  int state = BACKUP_PAIR_WHOLE;
  loaded_backup b;
  status_t s = backup_load_whole(meta_path, &b, &state);
  // A backup with nothing in the slice is another run's: not a word about it.
  // One whose meta file cannot be read is every run's, since its share
  // of the store is not known.
  scrub_stretch stretch;
  if (s == STATUS_OK) {
    stretch = scrub_slice_stretch(b.table, header_uuid(*b.header), run->slice);
    if (!stretch.in_slice) {
      progress_skip(run, meta_path);
      return;
    }
  }
  if (s == STATUS_OK && backup_pair_interrupted(state)) {
    drain(run);
    backup_warn_interrupted(meta_path);
    counts->files_interrupted++;
  }
  if (s != STATUS_OK) {
    // A backup removed since the listing (a prune or delete alongside) was
    // not missed; anything else could not be checked and fails the run.
    const bool vanished = s == STATUS_NOT_FOUND && entry_vanished(meta_path);
    drain(run);
    log_write(LOG_WARN_LEVEL, "scrub: skipping unreadable/corrupt meta file %s", meta_path);
    if (!vanished) counts->files_unverified++;
    progress_skip(run, meta_path);
    return;
  }

  const uint8_t cipher = header_cipher(*b.header);
  if (cipher != CIPHER_NONE && run->key == nullptr) {
    drain(run);
    log_write(LOG_WARN_LEVEL,
              "scrub: skipping %s, it is encrypted and no --decrypt-key-file was given", meta_path);
    counts->files_skipped++;
    progress_skip(run, meta_path);
    return;
  }

  unique_fd image;
  struct stat image_stat;
  s = fs_open_regular_stat(b.image_path.c_str(), O_RDONLY, 0, image.out(), &image_stat);
  if (s != STATUS_OK) {
    // Both files gone means the whole backup was removed since the listing.
    const bool vanished = s == STATUS_NOT_FOUND && entry_vanished(meta_path);
    drain(run);
    log_write(LOG_WARN_LEVEL, "scrub: cannot open image %s", b.image_path.c_str());
    if (!vanished) counts->files_unverified++;
    progress_skip(run, meta_path);
    return;
  }
  const auto image_bytes = static_cast<uint64_t>(image_stat.st_size);
  if (b.table.empty()) {
    progress_settle(run, image_bytes, 0);
    return;
  }

  const uint32_t block_size = header_block_size(*b.header);
  if (!buffers_fit(run, cipher, block_size)) {
    log_write(LOG_WARN_LEVEL, "scrub: cannot allocate block buffers of %u bytes for %s", block_size,
              meta_path);
    counts->files_unverified++;
    progress_settle(run, image_bytes, 0);
    return;
  }

  inflight_backup* ib = free_record(run);
  backup_release(&ib->b);
  ib->b = std::move(b);
  ib->cipher = cipher;
  ib->block_size = block_size;
  // The image is read once, front to back: what it brings into the page
  // cache goes again behind the read head.
  cache_reader_open(&run->cache, image.get(), static_cast<uint64_t>(image_stat.st_size),
                    sealed_size(cipher, block_size));
  const uint64_t handed = backup_read_blocks(run, ib, image.get(), stretch.first, stretch.end);
  cache_reader_close(&run->cache);
  progress_settle(run, image_bytes, handed);
}

status_t scrub_directory(const scrub_request& req, scrub_totals* totals) {
  if (req.repair) return STATUS_NOT_SUPPORTED;

  // Shared with other readers; a recompress, prune or delete working on the
  // directory holds it alone, and this run then checks nothing.
  const dir_lock_request want{req.backup_dir, DIR_LOCK_SHARED};
  dir_lock_set lock;
  status_t s = dir_lock_take(&want, 1, &lock);
  if (s != STATUS_OK) return s;

  uint8_t key[CIPHER_KEY_SIZE];
  const uint8_t* key_ptr = nullptr;
  if (req.decrypt_key_file) {
    s = load_key_file(req.decrypt_key_file, key);
    if (s != STATUS_OK) {
      log_write(LOG_ERROR_LEVEL, "cannot load --decrypt-key-file %s (%s, status=%d)",
                req.decrypt_key_file, status_message(s), s);
      return s;
    }
    key_ptr = key;
  }

  // A directory that cannot be opened is a failure, not an empty pass: a
  // mistyped path in a nightly job must not report success forever.
  unique_dir dir;
  s = fs_dir_open(req.backup_dir, &dir.dir);
  if (s != STATUS_OK) {
    const int err = errno;
    log_write(LOG_ERROR_LEVEL, "cannot open backup directory %s: %s", req.backup_dir,
              strerror(err));
    OPENSSL_cleanse(key, sizeof key);
    return s == STATUS_NOT_FOUND ? STATUS_NOT_FOUND : STATUS_IO;
  }

  // Large (the slots, the records, the thread handles): it lives on the
  // stack of this call, so that nothing here can fail for want of memory.
  scrub_run run;
  run.key = key_ptr;
  run.slice = req.slice;
  if (!scrub_slice_whole(req.slice)) {
    log_write(LOG_INFO_LEVEL, "scrub: checking slice %u/%u of %s", req.slice.index, req.slice.count,
              req.backup_dir);
  }
  const size_t threads = req.threads != 0 ? req.threads : pipeline_default_threads();
  run.scratch_sets = std::max<size_t>(pipeline_start(&run.pipe, threads, verify_job, &run), 1);
  if (progress_wanted()) {
    const uint64_t images = store_dir_image_bytes(req.backup_dir);
    progress_start(&run.meter, "scrub",
                   scrub_slice_whole(req.slice) ? images : images / req.slice.count);
  }

  bool listing_failed = false;
  for (;;) {
    const char* name = nullptr;
    s = fs_dir_next(&dir.dir, &name);
    if (s != STATUS_OK) {
      const int err = errno;
      drain(&run);
      log_write(LOG_ERROR_LEVEL, "cannot read backup directory %s: %s", req.backup_dir,
                strerror(err));
      listing_failed = true;
      break;
    }
    if (name == nullptr) break;
    if (!is_meta_file_name(name)) continue;

    char meta_path[PATH_CAP];
    int n = snprintf(meta_path, sizeof meta_path, "%s/%s", req.backup_dir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof meta_path) {
      // A cut path names another file, or none: never verify or skip the wrong one.
      drain(&run);
      log_write(LOG_WARN_LEVEL, "scrub: skipping unreadable/corrupt meta file %s", meta_path);
      run.counts.files_unverified++;
      continue;
    }
    scrub_one(&run, meta_path);
  }
  drain(&run);
  pipeline_stop(&run.pipe);
  fs_dir_close(&dir.dir);
  progress_stop(&run.meter);

  const scrub_counts& counts = run.counts;
  totals->blocks_checked = counts.blocks_checked;
  totals->blocks_bad = counts.blocks_bad;
  totals->files_skipped = counts.files_skipped;
  totals->files_unverified = counts.files_unverified;
  totals->bytes_read = run.bytes_read;
  log_write(LOG_INFO_LEVEL,
            "scrub: checked %llu blocks, %llu bad, %llu file(s) skipped (encrypted, no "
            "--decrypt-key-file)",
            static_cast<unsigned long long>(counts.blocks_checked),
            static_cast<unsigned long long>(counts.blocks_bad),
            static_cast<unsigned long long>(counts.files_skipped));
  OPENSSL_cleanse(key, sizeof key);
  // Still under the shared lock: no writer changes the chains meanwhile.
  blast_radius_report(req.backup_dir, run.damage);

  if (counts.blocks_bad != 0 || counts.files_unverified != 0 || counts.files_interrupted != 0)
    return STATUS_CORRUPT;
  if (listing_failed) return STATUS_IO;
  return STATUS_OK;
}

}  // namespace

status_t scrub_backups(const scrub_request& req) {
  const auto start = std::chrono::steady_clock::now();
  scrub_totals totals;
  const status_t s = scrub_directory(req, &totals);
  if (req.totals) {
    totals.duration_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    totals.finished_at = now_seconds();
    totals.status = s;
    *req.totals = totals;
  }
  return s;
}

void maintenance_loop(const char* backup_dir, uint32_t poll_interval, const char* decrypt_key_file,
                      size_t threads, uint32_t subsets, const char* metrics_file) {
  log_write(LOG_INFO_LEVEL, "zuv_maintenance polling %s every %u second(s) (scrub-only scaffold)",
            backup_dir, poll_interval);
  scrub_totals totals;
  scrub_request req{backup_dir, 0, decrypt_key_file, threads, &totals, scrub_slice{}};
  const unsigned pause_seconds = poll_interval != 0 ? poll_interval : 3600;
  uint64_t pass = 0;
  for (;;) {
    req.slice = scrub_slice_of_pass(pass, subsets);
    // A pass that finds the directory held by a writer logs so and checks
    // nothing; the next pass tries again, the same slice, so that a cycle
    // never leaves one out.
    if (scrub_backups(req) != STATUS_AGAIN) pass++;
    if (metrics_file) (void)metrics_write_scrub(metrics_file, backup_dir, totals);
    // sleep() ends early when a signal handler runs; finish the pause anyway.
    unsigned left = pause_seconds;
    while (left != 0) left = sleep(left);
  }
}
