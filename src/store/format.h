// The on-disk format of a backup, in one place: the meta file header, the
// block table entry, and the little-endian load/store helpers every reader
// and writer uses. Nothing casts a struct over a buffer; every field is read
// and written at its offset with an explicit byte order, so host byte order
// and struct packing never matter. docs/formats.md describes the same layout
// for the authors of other programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/format_ids.h"

// ---- Little-endian helpers ----

inline uint16_t load_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load_le64(const uint8_t* p) {
  return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void store_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- Meta file header ----
// The header is 128 KiB (0x20000) so that later fields fit without moving the
// block table; most of it is reserved and carried unchanged through rewrites.
//
//  off     width  field             notes
//  0x00    4      magic             0x50554B42, the bytes "BKUP"
//  0x04    2      format_version    1; readers refuse 2 and above
//  0x06    2      reserved
//  0x08    4      header_size       table starts here; written as 131072
//  0x0C    4      block_size        bytes per volume block
//  0x10    1      kind              0 FULL, 1 DIFF, 2 INC
//  0x11    1      codec             writer's preferred codec (informational)
//  0x12    2      reserved
//  0x14    16     uuid
//  0x24    16     parent_uuid       zero in a FULL
//  0x34    16     base_uuid         the FULL at the root of the chain
//  0x44    8      created           i64 unix seconds
//  0x4C    8      volume_size
//  0x54    8      block_count       entries in the table
//  0x5C    8      image_bytes       payload bytes in the image file
//  0x64    32     table_sha256      zero when block_count is 0
//  0x84    32     producer_version  text
//  0xA4    64     host_name         text
//  0xE4    256    source_info       opaque, copied along a chain
//  0x1E4   64     name              text
//  0x224   1      cipher            0 none, 1 AES-256-GCM, 2 ChaCha20-Poly1305
//  0x225   25120  reserved
//  0x6445  8      retain_until      i64, unaligned; 0 = no retention
//  0x644D  64     retention_info    opaque; with retain_until one 72-byte unit
//  0x648D  ...    reserved up to 0x1FFFF
constexpr size_t HEADER_SIZE = 131072;
constexpr uint32_t HEADER_MAGIC = 0x50554B42;
constexpr uint16_t FORMAT_VERSION = 1;
constexpr uint32_t DEFAULT_BLOCK_SIZE = 2097152;
constexpr uint32_t HEADER_SIZE_MIN = 4096;
constexpr uint32_t HEADER_SIZE_MAX = 4194304;

constexpr size_t HDR_MAGIC = 0x00;
constexpr size_t HDR_FORMAT_VERSION = 0x04;
constexpr size_t HDR_HEADER_SIZE = 0x08;
constexpr size_t HDR_BLOCK_SIZE = 0x0C;
constexpr size_t HDR_KIND = 0x10;
constexpr size_t HDR_CODEC = 0x11;
constexpr size_t HDR_UUID = 0x14;
constexpr size_t HDR_PARENT_UUID = 0x24;
constexpr size_t HDR_BASE_UUID = 0x34;
constexpr size_t HDR_CREATED = 0x44;
constexpr size_t HDR_VOLUME_SIZE = 0x4C;
constexpr size_t HDR_BLOCK_COUNT = 0x54;
constexpr size_t HDR_IMAGE_BYTES = 0x5C;
constexpr size_t HDR_TABLE_SHA256 = 0x64;
constexpr size_t HDR_PRODUCER_VERSION = 0x84;
constexpr size_t HDR_PRODUCER_VERSION_LEN = 32;
constexpr size_t HDR_HOST_NAME = 0xA4;
constexpr size_t HDR_HOST_NAME_LEN = 64;
constexpr size_t HDR_SOURCE_INFO = 0xE4;
constexpr size_t HDR_SOURCE_INFO_LEN = 256;
constexpr size_t HDR_NAME = 0x1E4;
constexpr size_t HDR_NAME_LEN = 64;
constexpr size_t HDR_CIPHER = 0x224;
constexpr size_t HDR_RETAIN_UNTIL = 0x6445;
constexpr size_t HDR_RETENTION_INFO = 0x644D;
constexpr size_t HDR_RETENTION_UNIT_LEN = 72;  // retain_until + retention_info

static_assert(HDR_NAME + HDR_NAME_LEN == HDR_CIPHER, "name ends where cipher begins");
static_assert(HDR_CIPHER + 1 + 25120 == HDR_RETAIN_UNTIL, "reserved run before retention");
static_assert(HDR_RETAIN_UNTIL + HDR_RETENTION_UNIT_LEN == 0x648D, "retention unit is 72 bytes");
// Every field this program knows lies in the first HEADER_KNOWN_SIZE bytes;
// the rest of the 128 KiB is reserved and only carried through rewrites.
constexpr size_t HEADER_KNOWN_SIZE = HDR_RETAIN_UNTIL + HDR_RETENTION_UNIT_LEN;
static_assert(HDR_SOURCE_INFO + HDR_SOURCE_INFO_LEN == HDR_NAME, "source_info precedes name");

// The on-disk ids: a backup's kind here; the codec and cipher ids (CODEC_*,
// CIPHER_*) in base/format_ids.h, included above, since codec/ takes them too.
enum : uint8_t { KIND_FULL = 0, KIND_DIFF = 1, KIND_INC = 2 };

// "FULL", "DIFF", "INC"; "?" for any other value.
inline const char* kind_text(uint8_t kind) {
  switch (kind) {
    case KIND_FULL:
      return "FULL";
    case KIND_DIFF:
      return "DIFF";
    case KIND_INC:
      return "INC";
    default:
      return "?";
  }
}

// ---- Block table entry ----
// 58 bytes, packed, little-endian, sorted by block_id:
//  off  width  field
//  0    8      block_id     index of the block in the volume
//  8    8      offset       payload offset in the image; NO_OFFSET with NO_DATA
//  16   4      stored_len   payload length in the image
//  20   4      raw_len      decoded length, at most block_size
//  24   1      codec        0 none, 1 zstd, 2 lz4
//  25   1      flags        bit 0 NO_DATA; other bits carried unchanged
//  26   32     sha256       of the decoded block
constexpr size_t BLOCK_ENTRY_SIZE = 58;
constexpr size_t ENT_BLOCK_ID = 0;
constexpr size_t ENT_OFFSET = 8;
constexpr size_t ENT_STORED_LEN = 16;
constexpr size_t ENT_RAW_LEN = 20;
constexpr size_t ENT_CODEC = 24;
constexpr size_t ENT_FLAGS = 25;
constexpr size_t ENT_SHA256 = 26;
static_assert(ENT_SHA256 + 32 == BLOCK_ENTRY_SIZE, "entry is 58 bytes");

constexpr uint8_t BLOCK_FLAG_NO_DATA = 0x01;
constexpr uint64_t NO_OFFSET = 0xFFFFFFFFFFFFFFFFull;

// A sealed payload is 28 bytes longer than its plaintext: nonce and tag.
constexpr uint32_t SEAL_OVERHEAD = 28;
