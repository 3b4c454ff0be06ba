#include "store/journal.h"

#include <fcntl.h>

#include <cstring>
#include <vector>

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
