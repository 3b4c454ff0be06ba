#include "codec/cipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

static_assert(CIPHER_NONCE_SIZE + CIPHER_TAG_SIZE == 28, "sealed payloads are 28 bytes longer");

const EVP_CIPHER* fetch_cipher(const char* name, const char* step) {
  const EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (!c) openssl_fatal(step);
  return c;
}

struct cipher_ctx_free {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_free>;

cipher_ctx_ptr new_context() {
  cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) openssl_fatal("EVP_CIPHER_CTX_new");
  return ctx;
}

// OpenSSL counts in ints; blocks are far smaller, but a longer range is fed
// in pieces rather than narrowed. Returns the bytes produced.
constexpr size_t UPDATE_PIECE = size_t{1} << 30;

size_t encrypt_update(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, size_t n) {
  size_t produced = 0;
  for (size_t done = 0; done < n;) {
    size_t piece = n - done < UPDATE_PIECE ? n - done : UPDATE_PIECE;
    int len = 0;
    if (EVP_EncryptUpdate(ctx, out + produced, &len, in + done, static_cast<int>(piece)) != 1)
      openssl_fatal("EVP_EncryptUpdate");
    produced += static_cast<size_t>(len);
    done += piece;
  }
  return produced;
}

size_t decrypt_update(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, size_t n) {
  size_t produced = 0;
  for (size_t done = 0; done < n;) {
    size_t piece = n - done < UPDATE_PIECE ? n - done : UPDATE_PIECE;
    int len = 0;
    if (EVP_DecryptUpdate(ctx, out + produced, &len, in + done, static_cast<int>(piece)) != 1)
      openssl_fatal("EVP_DecryptUpdate");
    produced += static_cast<size_t>(len);
    done += piece;
  }
  return produced;
}

}  // namespace

void openssl_fatal(const char* step) {
  fprintf(stderr, "fatal: OpenSSL %s failed\n", step);
  abort();
}

// Fetched once and kept for the life of the process: fetching is far costlier
// than the per-payload context, and scrub opens every block of a store. The
// first use may come from several of scrub's workers at once; a static is
// initialised exactly once whatever the threads.
const EVP_CIPHER* cipher_for_id(uint8_t id) {
  switch (id) {
    case CIPHER_AES_256_GCM: {
      static const EVP_CIPHER* const aes = fetch_cipher("AES-256-GCM", "fetching AES-256-GCM");
      return aes;
    }
    case CIPHER_CHACHA20_POLY1305: {
      static const EVP_CIPHER* const chacha =
          fetch_cipher("ChaCha20-Poly1305", "fetching ChaCha20-Poly1305");
      return chacha;
    }
    default:
      return nullptr;
  }
}

size_t sealed_size(uint8_t id, size_t n) {
  return id == CIPHER_NONE ? n : n + CIPHER_NONCE_SIZE + CIPHER_TAG_SIZE;
}

size_t seal_block(uint8_t id, const uint8_t key[CIPHER_KEY_SIZE], const void* plain, size_t n,
                  void* out, size_t out_cap) {
  const EVP_CIPHER* cipher = cipher_for_id(id);
  // Written so that a huge n cannot wrap the sum below the capacity.
  if (!cipher || out_cap < CIPHER_NONCE_SIZE + CIPHER_TAG_SIZE ||
      n > out_cap - CIPHER_NONCE_SIZE - CIPHER_TAG_SIZE)
    openssl_fatal("encrypt: invalid arguments");
  auto* o = static_cast<uint8_t*>(out);
  if (RAND_bytes(o, CIPHER_NONCE_SIZE) != 1) openssl_fatal("RAND_bytes");

  cipher_ctx_ptr ctx = new_context();
  if (EVP_EncryptInit_ex2(ctx.get(), cipher, key, o, nullptr) != 1)
    openssl_fatal("EVP_EncryptInit_ex2");
  size_t produced = 0;
  if (n != 0)
    produced =
        encrypt_update(ctx.get(), o + CIPHER_NONCE_SIZE, static_cast<const uint8_t*>(plain), n);
  int final_len = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), o + CIPHER_NONCE_SIZE + produced, &final_len) != 1)
    openssl_fatal("EVP_EncryptFinal_ex");
  produced += static_cast<size_t>(final_len);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(CIPHER_TAG_SIZE),
                          o + CIPHER_NONCE_SIZE + n) != 1)
    openssl_fatal("EVP_CTRL_AEAD_GET_TAG");
  return produced + CIPHER_NONCE_SIZE + CIPHER_TAG_SIZE;
}

status_t open_block(uint8_t id, const uint8_t key[CIPHER_KEY_SIZE], const void* sealed, size_t len,
                    void* out, size_t out_cap, size_t* out_len) {
  const EVP_CIPHER* cipher = cipher_for_id(id);
  if (!cipher || len <= CIPHER_NONCE_SIZE + CIPHER_TAG_SIZE) return STATUS_INVALID;
  const size_t n = len - CIPHER_NONCE_SIZE - CIPHER_TAG_SIZE;
  if (n > out_cap) return STATUS_INVALID;
  const auto* s = static_cast<const uint8_t*>(sealed);
  auto* o = static_cast<uint8_t*>(out);

  cipher_ctx_ptr ctx = new_context();
  if (EVP_DecryptInit_ex2(ctx.get(), cipher, key, s, nullptr) != 1)
    openssl_fatal("EVP_DecryptInit_ex2");
  size_t produced = decrypt_update(ctx.get(), o, s + CIPHER_NONCE_SIZE, n);
  // OpenSSL copies the expected tag; it never writes through this pointer.
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(CIPHER_TAG_SIZE),
                          const_cast<uint8_t*>(s + CIPHER_NONCE_SIZE + n)) != 1)
    openssl_fatal("EVP_CTRL_AEAD_SET_TAG");
  int final_len = 0;
  // A wrong key and a damaged payload look alike: the tag does not verify.
  if (EVP_DecryptFinal_ex(ctx.get(), o + produced, &final_len) != 1) return STATUS_DECRYPT;
  if (out_len) *out_len = produced + static_cast<size_t>(final_len);
  return STATUS_OK;
}
