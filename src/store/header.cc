#include "store/header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/fs.h"
#include "base/version.h"
#include "store/uuid.h"

namespace {

// Copies text into a fixed-width field, cut so that the last byte stays 0.
void put_text(uint8_t* field, size_t width, const char* text) {
  memset(field, 0, width);
  if (!text) return;
  size_t n = strnlen(text, width - 1);
  memcpy(field, text, n);
}

}  // namespace

void header_init_full(backup_header* h, const char* name, uint64_t volume_size,
                      uint32_t block_size) {
  uint8_t* r = h->raw;
  memset(r, 0, HEADER_SIZE);
  store_le32(r + HDR_MAGIC, HEADER_MAGIC);
  store_le16(r + HDR_FORMAT_VERSION, FORMAT_VERSION);
  store_le32(r + HDR_HEADER_SIZE, static_cast<uint32_t>(HEADER_SIZE));
  store_le32(r + HDR_BLOCK_SIZE, block_size != 0 ? block_size : DEFAULT_BLOCK_SIZE);
  r[HDR_CODEC] = CODEC_ZSTD;
  uuid_generate(r + HDR_UUID);
  memcpy(r + HDR_BASE_UUID, r + HDR_UUID, UUID_SIZE);
  store_le64(r + HDR_CREATED, static_cast<uint64_t>(now_seconds()));
  store_le64(r + HDR_VOLUME_SIZE, volume_size);
  put_text(r + HDR_PRODUCER_VERSION, HDR_PRODUCER_VERSION_LEN, PROGRAM_VERSION);

  // gethostname may cut a long name without terminating it, so it gets a
  // roomy buffer of its own and the field takes at most 63 bytes of it.
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) == 0) {
    put_text(r + HDR_HOST_NAME, HDR_HOST_NAME_LEN, host);
  }
  put_text(r + HDR_NAME, HDR_NAME_LEN, name);
}

namespace {

// The checks of a header of which `got` bytes are present, as one read of
// the whole 131072-byte area returns them. On success every byte of the area
// at or past header_size, up to `area`, is cleared.
status_t header_check(backup_header* h, size_t got, size_t area) {
  if (got < HEADER_SIZE_MIN) return STATUS_CORRUPT;
  if (header_magic(*h) != HEADER_MAGIC) return STATUS_CORRUPT;
  uint32_t size = header_size_field(*h);
  if (size < HEADER_SIZE_MIN || size > HEADER_SIZE_MAX) return STATUS_CORRUPT;
  // At most 131072 bytes are read, so a larger header_size always fails here.
  if (got < size) return STATUS_CORRUPT;
  if (header_format_version(*h) > FORMAT_VERSION) return STATUS_NOT_SUPPORTED;
  // A smaller header ends where its table begins: the bytes read past it are
  // the table's, and must not pass for retain_until, the name or any other
  // field. Such a header has those fields, and a rewrite stores them, as 0.
  if (size < area) memset(h->raw + size, 0, area - size);
  return STATUS_OK;
}

}  // namespace

namespace {

// Reads the first `area` bytes of the meta file and checks them. The length
// handed to the check is what a read of the whole 131072-byte area would
// have returned: the file's length up to that, or less when the read came
// back short (a file cut since the fstat, a short transfer).
status_t header_read_area(const char* meta_path, backup_header* h, size_t area) {
  unique_fd fd;
  struct stat st;
  // Only a regular file: a FIFO named like a meta file must not hang the run.
  status_t s = fs_open_regular_stat(meta_path, O_RDONLY, 0, fd.out(), &st);
  if (s != STATUS_OK) return s;
  memset(h->raw, 0, area);
  size_t got = 0;
  s = fs_pread(fd.get(), h->raw, area, 0, &got);
  (void)fd.close();
  if (s != STATUS_OK) return s;
  const uint64_t length = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  size_t whole = length < HEADER_SIZE ? static_cast<size_t>(length) : HEADER_SIZE;
  if (got < area && got < whole) whole = got;
  return header_check(h, whole, area);
}

}  // namespace

status_t header_read(const char* meta_path, backup_header* h) {
  return header_read_area(meta_path, h, HEADER_SIZE);
}

status_t header_read_known(const char* meta_path, backup_header* h) {
  return header_read_area(meta_path, h, HEADER_KNOWN_SIZE);
}

void header_name_copy(const backup_header& h, char out[HDR_NAME_LEN]) {
  size_t n = strnlen(reinterpret_cast<const char*>(h.raw + HDR_NAME), HDR_NAME_LEN - 1);
  memcpy(out, h.raw + HDR_NAME, n);
  out[n] = '\0';
}
