// encrypt-init: a new 256-bit block encryption key file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

struct encrypt_init_request {
  const char* key_file = nullptr;  // --key-file
  int32_t force = 0;               // --force
};

// Writes 32 random bytes as 64 lowercase hex digits and a newline, mode 0600.
// On success key_out (cap >= 65) holds the 64 hex digits written.
// STATUS_EXISTS, touching nothing, when the file exists and force is 0;
// STATUS_IO for a symbolic link at the path or any failure, after which the
// path holds what it held before.
[[nodiscard]] status_t encrypt_init(const encrypt_init_request& req, char* key_out, size_t key_cap);
