#include "cli/selftest.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "base/version.h"
#include "cli/options.h"
#include "cli/selftest_hook.h"
#include "codec/compress.h"
#include "codec/digest.h"

namespace {

constexpr size_t SELFTEST_MSG_SIZE = 256;

// SHA-256("abc"), the FIPS 180-2 example.
constexpr uint8_t SHA256_ABC[SHA256_SIZE] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
// CRC32C("123456789"), the Castagnoli check value.
constexpr uint32_t CRC32C_CHECK = 0xe3069283;

selftest_check_fn g_check_hook = nullptr;

// Cut to the buffer; nothing is written without a buffer.
void set_message(char* msg, size_t msg_cap, const char* text) {
  if (msg && msg_cap > 0) snprintf(msg, msg_cap, "%s", text);
}

}  // namespace

void selftest_set_check_hook(selftest_check_fn hook) {
  g_check_hook = hook;
}

int version_or_selftest(int argc, char** argv, const char* program_name) {
  if (opt_flag(argc, argv, "--version", nullptr)) {
    printf("%s %s\n", program_name, PROGRAM_VERSION);
    return 0;
  }
  if (!opt_flag(argc, argv, "--selftest", nullptr)) return -1;
  char msg[SELFTEST_MSG_SIZE];
  memset(msg, 0, sizeof msg);
  if (run_selftest(msg, sizeof msg) != 0) {
    fprintf(stderr, "%s: selftest failed: %s\n", program_name, msg);
    return 1;
  }
  printf("%s %s: selftest ok\n", program_name, PROGRAM_VERSION);
  return 0;
}

int run_selftest(char* msg, size_t msg_cap) {
  uint8_t digest[SHA256_SIZE];
  sha256_digest("abc", 3, digest);
  if (memcmp(digest, SHA256_ABC, SHA256_SIZE) != 0) {
    set_message(msg, msg_cap, "SHA-256 gives a wrong result");
    return 1;
  }
  if (crc32c_update(0, "123456789", 9) != CRC32C_CHECK) {
    set_message(msg, msg_cap, "CRC32C gives a wrong result");
    return 1;
  }

  std::vector<uint8_t> data;
  if (memory_resize(&data, SELFTEST_DATA_SIZE) != STATUS_OK) {
    set_message(msg, msg_cap, "out of memory");
    return 1;
  }
  // Compressible but not trivially: a byte ramp of step 7 disturbed every 32
  // bytes, repeating every 8192 bytes.
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>((i >> 5) ^ (7 * i));

  selftest_check_fn check = g_check_hook ? g_check_hook : codec_self_check;
  int result = check(CODEC_ZSTD, "zstd round trip failed", data.data(), msg, msg_cap);
  if (result == 0) result = check(CODEC_LZ4, "lz4 round trip failed", data.data(), msg, msg_cap);
  return result;
}

int codec_self_check(uint8_t codec, const char* failure_message, const uint8_t* data, char* msg,
                     size_t msg_cap) {
  std::vector<uint8_t> packed, restored;
  if (memory_resize(&packed, codec_bound(codec, SELFTEST_DATA_SIZE)) != STATUS_OK ||
      memory_resize(&restored, SELFTEST_DATA_SIZE) != STATUS_OK) {
    set_message(msg, msg_cap, "out of memory");
    return 1;
  }
  size_t packed_len =
      codec_compress(codec, 3, data, SELFTEST_DATA_SIZE, packed.data(), packed.size());
  size_t restored_len = 0;
  if (packed_len == 0 ||
      codec_decompress(codec, packed.data(), packed_len, restored.data(), restored.size(),
                       &restored_len) != STATUS_OK ||
      restored_len != SELFTEST_DATA_SIZE ||
      memcmp(restored.data(), data, SELFTEST_DATA_SIZE) != 0) {
    set_message(msg, msg_cap, failure_message);
    return 1;
  }
  return 0;
}
