// Scrub: re-read, decode and verify every stored block of every backup in one
// directory; detection only. Run-loop: scrub again and again at an interval.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "ops/scrub_slice.h"
#include "ops/scrub_totals.h"

struct scrub_request {
  const char* backup_dir = nullptr;        // --backup-dir
  int32_t repair = 0;                      // --repair given
  const char* decrypt_key_file = nullptr;  // --decrypt-key-file, or null
  // --threads: blocks are decoded and hashed on this many threads (1: on
  // the calling thread alone); 0 means one per CPU the process may run on.
  size_t threads = 0;
  // When set, receives the run's figures at its end, on every path (all
  // zero but the duration, the time and the status when nothing was checked).
  scrub_totals* totals = nullptr;
  // --subset K/N: only slice K of N is checked (ops/scrub_slice.h); the
  // summary counts its blocks. Count 0: the whole store.
  scrub_slice slice;
};

// Holds the directory's shared lock for the run and changes nothing.
// STATUS_OK when every block verified; STATUS_CORRUPT when any block was bad,
// a backup could not be checked, or a recompress was left between its renames
// (the pair that verifies is checked); STATUS_NOT_SUPPORTED for --repair;
// STATUS_AGAIN when a writer holds the directory; the key file's status when
// it cannot be loaded. After the summary, each backup with a bad block gets
// the line naming the restores it breaks (ops/blast_radius.h).
[[nodiscard]] status_t scrub_backups(const scrub_request& req);

// Logs the polling line, then scrubs (on `threads` threads, as
// scrub_request) and sleeps (3600 s for an interval of 0) until the process
// is killed. With `subsets` N above 0 the passes check slice 1, 2, ..., N,
// 1, ... of the store; with 0 every pass checks all of it. With metrics_file
// set, each pass writes its figures there (ops/metrics.h); a failure to
// write is logged and the loop goes on.
[[noreturn]] void maintenance_loop(const char* backup_dir, uint32_t poll_interval,
                                   const char* decrypt_key_file, size_t threads, uint32_t subsets,
                                   const char* metrics_file = nullptr);
