#include "store/journal.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <new>

#include "base/fs.h"
#include "base/memory.h"
#include "codec/digest.h"
#include "store/format.h"

namespace {

// A base name the partial image can safely be derived from: removing
// "<dir>/<image_name>.tmp" must never reach outside the journal's directory.
bool plain_file_name(const char* name) {
  if (name[0] == '\0') return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strchr(name, '/') == nullptr;
}

constexpr int64_t SECONDS_PER_DAY = 86400;

// Reads the header of the journal open at fd and copies the names asked for.
status_t read_names(int fd, uint8_t* body, char* recorded_name_out, char* image_name_out) {
  uint8_t header[JOURNAL_HEADER_SIZE];
  status_t s = journal_read_header(fd, header, body, nullptr);
  if (s != STATUS_OK) return s;
  if (recorded_name_out) memcpy(recorded_name_out, header + JH_RECORDED_NAME, JOURNAL_NAME_LEN);
  if (image_name_out) memcpy(image_name_out, header + JH_IMAGE_NAME, JOURNAL_NAME_LEN);
  return STATUS_OK;
}

}  // namespace

status_t journal_read_header(int fd, uint8_t header[JOURNAL_HEADER_SIZE], uint8_t* body,
                             uint64_t* out_records_offset) {
  size_t got = 0;
  status_t s = fs_pread(fd, header, JOURNAL_HEADER_SIZE, 0, &got);
  if (s != STATUS_OK) return s;
  if (got < JOURNAL_HEADER_SIZE) return STATUS_CORRUPT;
  if (memcmp(header + JH_MAGIC, "ZUVJ", 4) != 0) return STATUS_CORRUPT;
  if (load_le32(header + JH_VERSION) != JOURNAL_VERSION) return STATUS_CORRUPT;
  uint32_t body_size = load_le32(header + JH_BODY_SIZE);
  if (body_size == 0) body_size = JOURNAL_BODY_DEFAULT;
  if (body_size < JOURNAL_BODY_MIN || body_size > JOURNAL_BODY_MAX) return STATUS_CORRUPT;

  memset(body, 0, JOURNAL_BODY_AREA);
  uint32_t crc = crc32c_update(0, header + JH_CRC_START, JH_CRC_END - JH_CRC_START);
  // The body area holds what writers store (131072 bytes); a larger body is
  // read in pieces so that the checksum covers all of it and nothing is
  // read past the area.
  size_t kept = body_size < JOURNAL_BODY_AREA ? body_size : JOURNAL_BODY_AREA;
  s = fs_pread(fd, body, kept, JOURNAL_HEADER_SIZE, &got);
  if (s != STATUS_OK) return s;
  if (got < kept) return STATUS_CORRUPT;
  crc = crc32c_update(crc, body, kept);
  if (body_size > kept) {
    std::vector<uint8_t> scratch;
    if (memory_resize(&scratch, 65536) != STATUS_OK) return STATUS_NO_MEMORY;
    uint64_t off = JOURNAL_HEADER_SIZE + kept;
    size_t left = body_size - kept;
    while (left > 0) {
      size_t want = left < scratch.size() ? left : scratch.size();
      s = fs_pread(fd, scratch.data(), want, off, &got);
      if (s != STATUS_OK) return s;
      if (got < want) return STATUS_CORRUPT;
      crc = crc32c_update(crc, scratch.data(), want);
      off += want;
      left -= want;
    }
  }
  if (crc != load_le32(header + JH_CRC)) return STATUS_CORRUPT;

  header[JH_RECORDED_NAME + JOURNAL_NAME_LEN - 1] = 0;
  header[JH_IMAGE_NAME + JOURNAL_NAME_LEN - 1] = 0;
  if (!plain_file_name(reinterpret_cast<const char*>(header + JH_IMAGE_NAME)))
    return STATUS_CORRUPT;
  if (out_records_offset) *out_records_offset = JOURNAL_HEADER_SIZE + body_size;
  return STATUS_OK;
}

status_t journal_read_names(const char* path, uint8_t* body, char* recorded_name_out,
                            char* image_name_out) {
  unique_fd fd;
  status_t s = fs_open_regular(path, O_RDONLY, 0, fd.out());
  if (s != STATUS_OK) return s;
  return read_names(fd.get(), body, recorded_name_out, image_name_out);
}

status_t journal_read_at(int dir_fd, const char* name, uint8_t* body, journal_listing* out) {
  unique_fd fd;
  status_t s = fs_openat_regular(dir_fd, name, O_RDONLY | O_NOFOLLOW, 0, fd.out());
  if (s != STATUS_OK) return s;
  journal_listing listed;
  s = fs_fstat(fd.get(), &listed.st);
  if (s != STATUS_OK) return s;
  s = read_names(fd.get(), body, nullptr, listed.image_name);
  if (s != STATUS_OK) return s;
  *out = listed;
  return STATUS_OK;
}

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

partial_removal remove_partial(int dir_fd, const char* journal_name, const journal_listing& listed,
                               int64_t min_age_days, int* out_err) {
  *out_err = 0;
  // The image's name comes from the listing, never from reading the journal
  // again: what is removed is what the operator was shown.
  char image[JOURNAL_NAME_LEN + 4];
  memcpy(image, listed.image_name, JOURNAL_NAME_LEN);
  image[JOURNAL_NAME_LEN - 1] = '\0';
  strcat(image, ".tmp");

  struct stat now_st;
  if (fs_fstatat(dir_fd, journal_name, &now_st, AT_SYMLINK_NOFOLLOW) != STATUS_OK) {
    *out_err = errno;
    return PARTIAL_FAILED;
  }
  const struct stat& was = listed.st;
  if (!S_ISREG(now_st.st_mode) || now_st.st_dev != was.st_dev || now_st.st_ino != was.st_ino ||
      now_st.st_mtim.tv_sec != was.st_mtim.tv_sec || now_st.st_mtim.tv_nsec != was.st_mtim.tv_nsec)
    return PARTIAL_CHANGED;
  if (min_age_days >= 0 &&
      (now_seconds() - static_cast<int64_t>(now_st.st_mtime)) / SECONDS_PER_DAY < min_age_days)
    return PARTIAL_TOO_RECENT;

  if (fs_unlinkat(dir_fd, image) != STATUS_OK && errno != ENOENT) {
    *out_err = errno;
    return PARTIAL_FAILED;
  }
  if (fs_unlinkat(dir_fd, journal_name) != STATUS_OK) {
    *out_err = errno;
    return PARTIAL_FAILED;
  }
  return PARTIAL_REMOVED;
}
