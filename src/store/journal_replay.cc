#include "store/journal_replay.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <new>

#include "base/fs.h"
#include "base/memory.h"
#include "codec/digest.h"
#include "store/format.h"

status_t journal_replay_records(const uint8_t* records, size_t len, journal_replay* out) {
  // First walk: how far the valid records reach and where the last valid
  // commit stands. Records after that commit do not count.
  size_t count = len / JOURNAL_RECORD_SIZE;
  size_t changes = 0;    // BLOCK and REMOVE records so far
  size_t committed = 0;  // records up to and including the last commit
  uint64_t commit_value = 0;
  bool have_commit = false;
  for (size_t i = 0; i < count; i++) {
    const uint8_t* r = records + i * JOURNAL_RECORD_SIZE;
    if (crc32c_update(0, r, JR_CRC) != load_le32(r + JR_CRC)) break;
    uint8_t type = r[JR_TYPE];
    if (type == JOURNAL_BLOCK || type == JOURNAL_REMOVE) {
      changes++;
    } else if (type == JOURNAL_COMMIT) {
      if (load_le64(r) != changes) break;
      committed = i + 1;
      commit_value = load_le64(r + 8);
      have_commit = true;
    } else {
      break;
    }
  }
  if (!have_commit) return STATUS_CORRUPT;

  std::map<uint64_t, block_entry> held;
  uint64_t drops = 0;
  journal_replay result;
  try {
    for (size_t i = 0; i < committed; i++) {
      const uint8_t* r = records + i * JOURNAL_RECORD_SIZE;
      if (r[JR_TYPE] == JOURNAL_BLOCK) {
        block_entry e;
        block_entry_decode(r, &e);
        held[e.block_id] = e;
      } else if (r[JR_TYPE] == JOURNAL_REMOVE) {
        drops += held.erase(load_le64(r));
      }
    }
    result.entries.reserve(held.size());
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  for (auto& kv : held) result.entries.push_back(kv.second);
  result.drops = drops;
  result.commit_value = commit_value;
  result.committed_records = committed;
  *out = std::move(result);
  return STATUS_OK;
}

status_t journal_load(const char* path, journal_replay* out) {
  unique_fd fd;
  status_t s = fs_open_regular(path, O_RDONLY, 0, fd.out());
  if (s != STATUS_OK) return s;
  uint8_t header[JOURNAL_HEADER_SIZE];
  std::vector<uint8_t> body;
  if (memory_resize(&body, JOURNAL_BODY_AREA) != STATUS_OK) return STATUS_NO_MEMORY;
  uint64_t records_offset = 0;
  s = journal_read_header(fd.get(), header, body.data(), &records_offset);
  if (s != STATUS_OK) return s;
  struct stat st;
  s = fs_fstat(fd.get(), &st);
  if (s != STATUS_OK) return s;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t len = size > records_offset ? size - records_offset : 0;
  // A journal holds one 64-byte record per block written; 1 GiB of records
  // is far beyond any volume this system backs up.
  if (len > (uint64_t{1} << 30)) return STATUS_NO_MEMORY;
  std::vector<uint8_t> records;
  if (memory_resize(&records, static_cast<size_t>(len)) != STATUS_OK) return STATUS_NO_MEMORY;
  size_t got = 0;
  s = fs_pread_full(fd.get(), records.data(), records.size(), records_offset, &got);
  if (s != STATUS_OK) return s;
  return journal_replay_records(records.data(), got, out);
}
