#include "codec/digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

// Callers never see a failed digest: a library that cannot hash is a broken
// installation, and going on would write or accept unverified data.
[[noreturn]] void sha256_fatal() {
  static const char kLine[] = "fatal: OpenSSL SHA-256 failed\n";
  fwrite(kLine, 1, sizeof(kLine) - 1, stderr);
  abort();
}

EVP_MD* fetch_sha256() {
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (!md) sha256_fatal();
  return md;
}

// Fetched once and kept for the life of the process: scrub hashes every
// stored block, and a fetch per digest would cost more than small blocks do.
// Scrub's workers may all ask first at once; a static is initialised once.
const EVP_MD* sha256_md() {
  static const EVP_MD* const md = fetch_sha256();
  return md;
}

// OpenSSL wants a valid pointer even for an empty range.
const void* nonnull(const void* data) {
  static const uint8_t kEmpty = 0;
  return data ? data : &kEmpty;
}

struct md_ctx_free {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

constexpr uint32_t kCrc32cPoly = 0x82f63b78;  // Castagnoli, reflected

uint32_t g_crc_table[256];
bool g_crc_table_built = false;

bool g_crc_hw_decided = false;
bool g_crc_hw = false;

void crc32c_build_table() {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ kCrc32cPoly : c >> 1;
    g_crc_table[i] = c;
  }
  g_crc_table_built = true;
}

}  // namespace

void sha256_digest(const void* data, size_t len, uint8_t out[SHA256_SIZE]) {
  const EVP_MD* md = sha256_md();
  if (EVP_Digest(nonnull(data), len, out, nullptr, md, nullptr) != 1) sha256_fatal();
}

void sha256_begin(sha256_handle* slot) {
  std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
  if (!ctx) sha256_fatal();
  if (EVP_DigestInit_ex(ctx.get(), sha256_md(), nullptr) != 1) sha256_fatal();
  *slot = ctx.release();
}

void sha256_update(sha256_handle* slot, const void* data, size_t len) {
  if (len == 0) return;
  // An empty slot would crash inside the library; say what went wrong instead.
  if (!*slot) sha256_fatal();
  if (EVP_DigestUpdate(*slot, data, len) != 1) sha256_fatal();
}

void sha256_finish(sha256_handle* slot, uint8_t out[SHA256_SIZE]) {
  if (!*slot) sha256_fatal();
  std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(*slot);
  *slot = nullptr;
  if (EVP_DigestFinal_ex(ctx.get(), out, nullptr) != 1) sha256_fatal();
}

int digest_equal(const void* a, const void* b, size_t len) {
  if (len == 0) return 1;
  return memcmp(a, b, len) == 0 ? 1 : 0;
}

bool crc32c_has_hardware() {
  if (!g_crc_hw_decided) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    g_crc_hw = __builtin_cpu_supports("sse4.2");
#else
    g_crc_hw = false;
#endif
    g_crc_hw_decided = true;
  }
  return g_crc_hw;
}

uint32_t crc32c_update_table(uint32_t crc, const void* data, size_t len) {
  if (len == 0) return crc;
  if (!g_crc_table_built) crc32c_build_table();
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t reg = ~crc;
  for (size_t i = 0; i < len; i++) reg = (reg >> 8) ^ g_crc_table[(reg ^ p[i]) & 0xff];
  return ~reg;
}

#if defined(__x86_64__)
// Only this function is compiled for SSE4.2, so the rest of the library still
// runs on any x86-64; it is reached only after the run-time check.
__attribute__((target("sse4.2"))) uint32_t crc32c_update_hardware(uint32_t crc, const void* data,
                                                                  size_t len) {
  if (len == 0) return crc;
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t reg = static_cast<uint32_t>(~crc);
  while (len >= 8) {
    uint64_t v;
    memcpy(&v, p, 8);  // unaligned load
    reg = _mm_crc32_u64(reg, v);
    p += 8;
    len -= 8;
  }
  auto reg32 = static_cast<uint32_t>(reg);
  if (len >= 4) {
    uint32_t v;
    memcpy(&v, p, 4);
    reg32 = _mm_crc32_u32(reg32, v);
    p += 4;
    len -= 4;
  }
  while (len > 0) {
    reg32 = _mm_crc32_u8(reg32, *p);
    p++;
    len--;
  }
  return ~reg32;
}
#else
uint32_t crc32c_update_hardware(uint32_t crc, const void* data, size_t len) {
  return crc32c_update_table(crc, data, len);
}
#endif

uint32_t crc32c_update(uint32_t crc, const void* data, size_t len) {
  if (len == 0) return crc;
  if (crc32c_has_hardware()) return crc32c_update_hardware(crc, data, len);
  return crc32c_update_table(crc, data, len);
}
