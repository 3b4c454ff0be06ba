// A key file of arbitrary bytes through load_key_file. A key that loads must
// be exactly the 64 hex digits at the start of the file.
#include <cstdlib>
#include <cstring>

#include "codec/key_file.h"
#include "fuzz_util.h"

namespace {

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_write_file("fuzz.key", data, size);
  uint8_t key[CIPHER_KEY_SIZE];
  status_t s = load_key_file(path.c_str(), key);
  if (s == STATUS_OK) {
    if (size < 2 * CIPHER_KEY_SIZE) abort();
    for (size_t k = 0; k < CIPHER_KEY_SIZE; k++) {
      int hi = hex_value(data[2 * k]);
      int lo = hex_value(data[2 * k + 1]);
      if (hi < 0 || lo < 0 || key[k] != ((hi << 4) | lo)) abort();
    }
    // Only blanks and line ends may follow the digits within what is read.
    for (size_t i = 2 * CIPHER_KEY_SIZE; i < size && i < 127; i++) {
      uint8_t c = data[i];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') abort();
    }
  } else if (s != STATUS_INVALID) {
    abort();
  }
  return 0;
}
