// Scrub in slices: a store too large to check in one night is checked in N
// runs, slice 1 to N, each reading about 1/N of the stored bytes, every block
// with data in exactly one slice.
//
// Each backup is cut on its own: its blocks with data, in table order, weigh
// their stored bytes (plus one, so a block stored in no bytes still has a
// place), and the table is cut into N stretches of equal weight; stretch j is
// read by one slice. So a slice reads one contiguous stretch of each image,
// front to back, and the cut of a backup depends on that backup alone:
// backups written or removed between two runs of a cycle move nothing in the
// others. Which slice takes stretch 0 turns with the backup's uuid, so that
// backups of fewer blocks than slices are spread over all of them rather than
// all falling to slice 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/backup.h"
#include "store/uuid.h"

// Slice `index` (from 1) of `count`; a count of 0 is the whole store.
struct scrub_slice {
  uint32_t index = 0;
  uint32_t count = 0;
};

// The largest N of --subset K/N and run-loop --subsets N: a slice a night
// covers the store in at most this many nights.
constexpr uint32_t SCRUB_SLICES_MAX = 10000;

inline bool scrub_slice_whole(const scrub_slice& s) {
  return s.count == 0;
}

// "K/N" with 1 <= K <= N <= SCRUB_SLICES_MAX, digits only. False for
// anything else (no digits, a sign, blanks, a missing or second slash,
// trailing text, numbers past the maximum).
[[nodiscard]] bool scrub_slice_parse(const char* text, scrub_slice* out);
// A slice count N (1 to SCRUB_SLICES_MAX), digits only.
[[nodiscard]] bool scrub_slice_count_parse(const char* text, uint32_t* out);
// The slice that pass number `pass` (from 0) of a run-loop with `count`
// slices checks: 1, 2, ..., count, 1, ...; the whole store for a count of 0.
scrub_slice scrub_slice_of_pass(uint64_t pass, uint32_t count);

// The table entries [first, end) of one backup that a slice reads: every
// entry with data among them, and no other entry with data. `in_slice` says
// whether the backup belongs to the slice at all: it has a block with data
// there, or, having none anywhere, the slice is the one that takes its
// stretch 0 (so that what is said about the backup as a whole, such as a
// skip, is said in exactly one run of the cycle).
struct scrub_stretch {
  size_t first = 0;
  size_t end = 0;
  bool in_slice = true;
};
scrub_stretch scrub_slice_stretch(const std::vector<block_entry>& table,
                                  const uint8_t uuid[UUID_SIZE], const scrub_slice& slice);
