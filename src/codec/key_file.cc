#include "codec/key_file.h"

#include <fcntl.h>

#include <openssl/crypto.h>

#include <cstring>

#include "base/fs.h"

namespace {

// Only this much of the file is ever looked at: the 64 digits, their line
// end, and room for trailing blanks an editor may have left.
constexpr size_t KEY_FILE_READ_MAX = 127;
constexpr size_t KEY_HEX_DIGITS = 2 * CIPHER_KEY_SIZE;

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_trailing_blank(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Wipes key material from the stack on every way out.
struct wiped_bytes {
  uint8_t* p;
  size_t n;
  ~wiped_bytes() { OPENSSL_cleanse(p, n); }
};

}  // namespace

status_t load_key_file(const char* path, uint8_t key[CIPHER_KEY_SIZE]) {
  uint8_t text[KEY_FILE_READ_MAX];
  uint8_t parsed[CIPHER_KEY_SIZE];
  wiped_bytes wipe_text{text, sizeof text};
  wiped_bytes wipe_parsed{parsed, sizeof parsed};

  unique_fd fd;
  // Only a regular file: a FIFO given as the key file must not hang the run.
  if (fs_open_regular(path, O_RDONLY, 0, fd.out()) != STATUS_OK) return STATUS_NOT_FOUND;
  // One pread may return less than is there (a pipe, a slow file system), so
  // read until 127 bytes, the end, or an error, which only shortens the text.
  size_t len = 0;
  while (len < sizeof text) {
    size_t got = 0;
    if (fs_pread(fd.get(), text + len, sizeof text - len, len, &got) != STATUS_OK || got == 0)
      break;
    len += got;
  }
  (void)fd.close();  // read-only: nothing to lose if the close fails

  while (len > 0 && is_trailing_blank(text[len - 1])) len--;
  if (len != KEY_HEX_DIGITS) return STATUS_INVALID;
  for (size_t k = 0; k < CIPHER_KEY_SIZE; k++) {
    int hi = hex_value(text[2 * k]);
    int lo = hex_value(text[2 * k + 1]);
    if (hi < 0 || lo < 0) return STATUS_INVALID;
    parsed[k] = static_cast<uint8_t>(hi << 4 | lo);
  }
  memcpy(key, parsed, CIPHER_KEY_SIZE);
  return STATUS_OK;
}
