// The records of an upload journal replayed, as the storage server replays
// them to continue an upload.
//
// Kept for the tests and the fuzzer: no command runs this. partials reads
// only the header and body (store/journal.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/status.h"
#include "store/backup.h"
#include "store/journal.h"

// The committed part of a journal, replayed: the remaining entries in
// ascending block_id order, how many entries REMOVE records dropped, and the
// commit_value of the last commit.
struct journal_replay {
  std::vector<block_entry> entries;
  uint64_t drops = 0;
  uint64_t commit_value = 0;
  uint64_t committed_records = 0;  // records up to and including the last commit
};

// Replays the records in a buffer (the bytes from the records offset to the
// end of the file). The walk stops at the first record with a wrong crc, an
// unknown type, or a commit whose record_count disagrees; a tail shorter than
// 64 bytes is ignored. STATUS_CORRUPT when there is no valid commit;
// STATUS_NO_MEMORY when memory runs out (*out is then untouched).
[[nodiscard]] status_t journal_replay_records(const uint8_t* records, size_t len,
                                              journal_replay* out);

// Reads a journal file whole (header, body and records) and replays it;
// STATUS_NO_MEMORY when memory runs out or the records exceed 1 GiB.
[[nodiscard]] status_t journal_load(const char* path, journal_replay* out);
