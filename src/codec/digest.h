// Digests: SHA-256 through OpenSSL's EVP interface (the algorithm object is
// fetched once per process) and CRC32C, with the SSE4.2 instruction where the
// processor has it and a table otherwise. Any OpenSSL failure is fatal:
// "fatal: OpenSSL SHA-256 failed\n" and abort; callers never see a failed digest.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_SIZE = 32;

void sha256_digest(const void* data, size_t len, uint8_t out[SHA256_SIZE]);

// Incremental form: begin, any number of updates, one finish. The slot owns
// the context between begin and finish; finish releases it and sets it null.
using sha256_handle = EVP_MD_CTX*;
void sha256_begin(sha256_handle* slot);
void sha256_update(sha256_handle* slot, const void* data, size_t len);
void sha256_finish(sha256_handle* slot, uint8_t out[SHA256_SIZE]);

// 1 when the ranges are byte-identical, else 0 (not constant-time).
int digest_equal(const void* a, const void* b, size_t len);

// CRC32C (Castagnoli), taking and returning the finished value: start from 0,
// feed a running value back in to continue.
uint32_t crc32c_update(uint32_t crc, const void* data, size_t len);
// The two paths, exposed so tests can compare them. The hardware path must
// only be called where crc32c_has_hardware() is true.
uint32_t crc32c_update_table(uint32_t crc, const void* data, size_t len);
uint32_t crc32c_update_hardware(uint32_t crc, const void* data, size_t len);
bool crc32c_has_hardware();
