// tls-init: a self-signed P-256 certificate and private key for the storage server.
#pragma once

#include <cstdint>

#include "base/status.h"

struct tls_init_request {
  const char* cert_path = nullptr;    // --cert
  const char* key_path = nullptr;     // --key
  const char* common_name = nullptr;  // --cn, or null for "zuv-target"
  int32_t days = 0;                   // --days; 0 or less means 3650
  int32_t force = 0;                  // --force
};

// Fills in the default common name and calls make_self_signed_cert;
// STATUS_INVALID when a path is missing.
[[nodiscard]] status_t tls_init(const tls_init_request& req);
// Writes a new P-256 private key (unencrypted PKCS#8 PEM, mode 0600) and a
// self-signed certificate for it (mode 0644; CN and subjectAltName from
// common_name, valid for days, 3650 when 0 or less). STATUS_EXISTS, touching
// nothing, when either file exists and force is 0. STATUS_INVALID, touching
// nothing and logging why, for a missing argument; a common name that is not
// a host name, an IP address or a "*." wildcard host name; two paths that
// name one file however spelled; or a path where something other than a
// regular file exists (also with force). STATUS_IO for a symbolic link at
// either path or any failure, after which both paths hold what they held
// before.
[[nodiscard]] status_t make_self_signed_cert(const char* cert_path, const char* key_path,
                                             const char* common_name, int32_t days, int32_t force);
