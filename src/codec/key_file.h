// The block encryption key file: 64 hexadecimal digits and a line feed.
// The reader looks at the first 127 bytes, drops trailing blanks, tabs and
// line ends, and needs exactly 64 hex digits (either case) after that.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "codec/cipher.h"

// STATUS_OK; STATUS_NOT_FOUND when the file cannot be opened; STATUS_INVALID
// for any content problem.
[[nodiscard]] status_t load_key_file(const char* path, uint8_t key[CIPHER_KEY_SIZE]);
