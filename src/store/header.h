// The backup header: the first 131072 bytes of a meta file. Held in memory
// as the whole area so that a rewrite carries every byte this program does
// not know. Field layout: store/format.h.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "store/format.h"

struct backup_header {
  uint8_t raw[HEADER_SIZE];
};

// Fills a new FULL header: all zero, magic, version 1, header_size 131072,
// block_size (0 means 2 MiB), codec CODEC_ZSTD, a fresh uuid as uuid and
// base_uuid, created = now, this program's PROGRAM_VERSION as producer, host
// name, name (cut to 63 bytes; may be null).
void header_init_full(backup_header* h, const char* name, uint64_t volume_size,
                      uint32_t block_size);

// Reads and validates the header of a meta file into *h. Only a regular file
// is opened (another kind gives STATUS_IO with errno FS_ERR_NOT_REGULAR).
// Every byte of *h at or past the file's header_size is 0 afterwards.
// STATUS_NOT_FOUND for a missing file; the mapped status of a failed read;
// STATUS_CORRUPT when it is short (<4096 bytes), has the wrong magic, or a
// header_size out of 4096..4194304 or beyond the bytes read;
// STATUS_NOT_SUPPORTED for format_version 2 and above.
[[nodiscard]] status_t header_read(const char* meta_path, backup_header* h);
// header_read for readers that look only at the fields (the catalog scan,
// the chain walk, removals): reads the first HEADER_KNOWN_SIZE bytes instead
// of 131072, a fifth of the reads on a cold cache, and judges the file's
// length from its size, so every status is the one header_read gives. Only
// the first HEADER_KNOWN_SIZE bytes of *h are written (those at or past
// header_size as 0); pass a zeroed area to have the rest 0 as well.
[[nodiscard]] status_t header_read_known(const char* meta_path, backup_header* h);

// Field accessors (little-endian at the offsets of store/format.h).
inline uint32_t header_magic(const backup_header& h) {
  return load_le32(h.raw + HDR_MAGIC);
}
inline uint16_t header_format_version(const backup_header& h) {
  return load_le16(h.raw + HDR_FORMAT_VERSION);
}
inline uint32_t header_size_field(const backup_header& h) {
  return load_le32(h.raw + HDR_HEADER_SIZE);
}
inline uint32_t header_block_size(const backup_header& h) {
  return load_le32(h.raw + HDR_BLOCK_SIZE);
}
inline uint8_t header_kind(const backup_header& h) {
  return h.raw[HDR_KIND];
}
inline uint8_t header_codec(const backup_header& h) {
  return h.raw[HDR_CODEC];
}
inline const uint8_t* header_uuid(const backup_header& h) {
  return h.raw + HDR_UUID;
}
inline const uint8_t* header_parent_uuid(const backup_header& h) {
  return h.raw + HDR_PARENT_UUID;
}
inline const uint8_t* header_base_uuid(const backup_header& h) {
  return h.raw + HDR_BASE_UUID;
}
inline int64_t header_created(const backup_header& h) {
  return static_cast<int64_t>(load_le64(h.raw + HDR_CREATED));
}
inline uint64_t header_volume_size(const backup_header& h) {
  return load_le64(h.raw + HDR_VOLUME_SIZE);
}
inline uint64_t header_block_count(const backup_header& h) {
  return load_le64(h.raw + HDR_BLOCK_COUNT);
}
inline uint64_t header_image_bytes(const backup_header& h) {
  return load_le64(h.raw + HDR_IMAGE_BYTES);
}
inline uint8_t header_cipher(const backup_header& h) {
  return h.raw[HDR_CIPHER];
}
inline int64_t header_retain_until(const backup_header& h) {
  return static_cast<int64_t>(load_le64(h.raw + HDR_RETAIN_UNTIL));
}
// Copies the stored name up to its first 0 byte, at most 63 bytes, always
// terminated (a damaged header may lack the terminator).
void header_name_copy(const backup_header& h, char out[HDR_NAME_LEN]);

inline void header_set_kind(backup_header* h, uint8_t kind) {
  h->raw[HDR_KIND] = kind;
}
inline void header_set_codec(backup_header* h, uint8_t codec) {
  h->raw[HDR_CODEC] = codec;
}
inline void header_set_cipher(backup_header* h, uint8_t cipher) {
  h->raw[HDR_CIPHER] = cipher;
}
inline void header_set_block_size(backup_header* h, uint32_t v) {
  store_le32(h->raw + HDR_BLOCK_SIZE, v);
}
inline void header_set_created(backup_header* h, int64_t v) {
  store_le64(h->raw + HDR_CREATED, static_cast<uint64_t>(v));
}
inline void header_set_volume_size(backup_header* h, uint64_t v) {
  store_le64(h->raw + HDR_VOLUME_SIZE, v);
}
inline void header_set_image_bytes(backup_header* h, uint64_t v) {
  store_le64(h->raw + HDR_IMAGE_BYTES, v);
}
inline void header_set_retain_until(backup_header* h, int64_t v) {
  store_le64(h->raw + HDR_RETAIN_UNTIL, static_cast<uint64_t>(v));
}
