// codec_decompress and open_block on arbitrary payloads, and the round trip
// of codec_compress and seal_block on arbitrary data.
//
// Input: a selector byte (low 2 bits the codec or cipher id, 0..3, so that
// unknown ids are tried too), two bytes of destination capacity, then the
// payload.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/cipher.h"
#include "codec/compress.h"

namespace {

const uint8_t KEY[CIPHER_KEY_SIZE] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                      12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                      23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t id = data[0] & 3;
  const size_t cap = static_cast<size_t>(data[1]) << 8 | data[2];
  const uint8_t* payload = data + 3;
  const size_t len = size - 3;

  // Exactly cap bytes, so that AddressSanitizer sees any write past them.
  std::vector<uint8_t> out(cap);
  size_t out_len = 0;
  status_t s = codec_decompress(id, payload, len, out.data(), cap, &out_len);
  if (s == STATUS_OK && out_len > cap) abort();
  if (s != STATUS_OK && s != STATUS_INVALID && s != STATUS_CORRUPT) abort();

  out_len = 0;
  s = open_block(id, KEY, payload, len, out.data(), cap, &out_len);
  if (s == STATUS_OK && out_len > cap) abort();
  if (s != STATUS_OK && s != STATUS_INVALID && s != STATUS_DECRYPT) abort();

  // Round trips: what compresses decompresses to the same bytes; what is
  // sealed opens to the same bytes, and a flipped byte does not open.
  if (id == CODEC_ZSTD || id == CODEC_LZ4) {
    std::vector<uint8_t> packed(codec_bound(id, len));
    size_t n = codec_compress(id, 1, payload, len, packed.data(), packed.size());
    if (n > 0) {
      if (n >= len) abort();  // compression is kept only when it gains
      std::vector<uint8_t> back(len);
      size_t back_len = 0;
      if (codec_decompress(id, packed.data(), n, back.data(), back.size(), &back_len) !=
              STATUS_OK ||
          back_len != len || memcmp(back.data(), payload, len) != 0)
        abort();
    }
  }
  if (id == CIPHER_AES_256_GCM || id == CIPHER_CHACHA20_POLY1305) {
    std::vector<uint8_t> sealed(sealed_size(id, len));
    size_t n = seal_block(id, KEY, payload, len, sealed.data(), sealed.size());
    if (n != len + CIPHER_NONCE_SIZE + CIPHER_TAG_SIZE) abort();
    std::vector<uint8_t> back(len);
    size_t back_len = 0;
    status_t o = open_block(id, KEY, sealed.data(), n, back.data(), back.size(), &back_len);
    if (len == 0) {
      if (o != STATUS_INVALID) abort();  // a payload of 28 bytes or less never opens
    } else {
      if (o != STATUS_OK || back_len != len || memcmp(back.data(), payload, len) != 0) abort();
      sealed[len % n] ^= 0x80;
      if (open_block(id, KEY, sealed.data(), n, back.data(), back.size(), &back_len) !=
          STATUS_DECRYPT)
        abort();
    }
  }
  return 0;
}
