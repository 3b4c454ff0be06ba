// encrypt-init: a new 256-bit block encryption key file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/status.h"

struct encrypt_init_request {
  const char* key_file = nullptr;  // --key-file
  int32_t force = 0;               // --force
};

// On success key_out (cap >= 65) holds the 64 hex digits written.
[[nodiscard]] status_t encrypt_init(const encrypt_init_request& req, char* key_out,
                                    size_t key_cap);
