// Block encryption: AES-256-GCM and ChaCha20-Poly1305 through OpenSSL's EVP
// interface. A sealed payload is a 12-byte random nonce, the ciphertext (as
// long as the plaintext) and a 16-byte tag, with no associated data. Any
// OpenSSL failure other than a tag that does not verify is fatal through
// openssl_fatal ("fatal: OpenSSL %s failed\n", then abort).
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

#include "base/format_ids.h"
#include "base/status.h"

constexpr size_t CIPHER_KEY_SIZE = 32;
constexpr size_t CIPHER_NONCE_SIZE = 12;
constexpr size_t CIPHER_TAG_SIZE = 16;

[[noreturn]] void openssl_fatal(const char* step);

// The cached cipher object of CIPHER_AES_256_GCM or CIPHER_CHACHA20_POLY1305
// (fetched on first use), else null.
const EVP_CIPHER* cipher_for_id(uint8_t id);
// n + 28 for any id but CIPHER_NONE; n for CIPHER_NONE.
size_t sealed_size(uint8_t id, size_t n);
// Seals n bytes into out (capacity >= n + 28); returns n + 28.
size_t seal_block(uint8_t id, const uint8_t key[CIPHER_KEY_SIZE], const void* plain, size_t n,
                  void* out, size_t out_cap);
// STATUS_OK; STATUS_INVALID for no cipher, a payload of 28 bytes or less, or
// a capacity below len - 28; STATUS_DECRYPT when the tag does not verify.
[[nodiscard]] status_t open_block(uint8_t id, const uint8_t key[CIPHER_KEY_SIZE],
                                  const void* sealed, size_t len, void* out, size_t out_cap,
                                  size_t* out_len);
