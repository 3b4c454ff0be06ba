// tls-init: a self-signed P-256 certificate and private key for the storage server.
#pragma once

#include <cstdint>

#include "cli/status.h"

struct tls_init_request {
  const char* cert_path = nullptr;    // --cert
  const char* key_path = nullptr;     // --key
  const char* common_name = nullptr;  // --cn, or null for "zuv-target"
  int32_t days = 0;                   // --days; 0 or less means 3650
  int32_t force = 0;                  // --force
};

[[nodiscard]] status_t tls_init(const tls_init_request& req);
[[nodiscard]] status_t make_self_signed_cert(const char* cert_path, const char* key_path,
                                             const char* common_name, int32_t days, int32_t force);
