// acl-add: append an API-key entry to the storage server's ACL file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/status.h"

struct acl_add_request {
  const char* acl_file = nullptr;  // --acl-file
  const char* dirs = nullptr;      // --dir, comma-separated patterns
  const char* key = nullptr;       // --key, or null to generate one
};

// On success key_out (cap >= 65) holds the key that was written.
[[nodiscard]] status_t acl_add(const acl_add_request& req, char* key_out, size_t key_cap);

// 1 when every "/"-separated component is non-empty, not "." or "..", and has
// no backslash; else 0 (also for null or empty text).
int dir_path_is_safe(const char* path);
