// The upload journal that the storage server keeps beside a partial image, so
// that an interrupted upload can be continued. This program only reads it:
// partials lists the header and body. The records are replayed only by the
// server; store/journal_replay.h keeps that reading for the tests.
// docs/formats.md describes the format for other programs.
//
// Header, 512 bytes at offset 0 (little-endian):
//  off  width  field          notes
//  0    4      magic          the bytes "ZUVJ"
//  4    4      version        1
//  8    4      crc            CRC32C of header bytes 16..495, then the whole body
//  12   4      body_size      0 means 4096; otherwise 4096..4194304
//  16   240    recorded_name  text, not interpreted here
//  256  240    image_name     base name; the partial image is "<image_name>.tmp"
//  496  16     reserved       not covered by crc
// Body at 512, body_size bytes: a copy of the backup header being uploaded.
// Records from 512 + body_size to the end, 64 bytes each:
//  off  width  field
//  0    58     payload        BLOCK: a block entry; REMOVE: u64 block_id;
//                             COMMIT: u64 record_count, u64 commit_value
//  58   1      type           1 BLOCK, 2 REMOVE, 3 COMMIT
//  59   1      reserved
//  60   4      crc            CRC32C of record bytes 0..59
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "store/format.h"

constexpr size_t JOURNAL_HEADER_SIZE = 512;
constexpr size_t JOURNAL_BODY_AREA = 131072;  // what readers keep of the body
constexpr uint32_t JOURNAL_VERSION = 1;
constexpr uint32_t JOURNAL_BODY_DEFAULT = 4096;
constexpr uint32_t JOURNAL_BODY_MIN = 4096;
constexpr uint32_t JOURNAL_BODY_MAX = 4194304;
constexpr size_t JOURNAL_NAME_LEN = 240;

constexpr size_t JH_MAGIC = 0;
constexpr size_t JH_VERSION = 4;
constexpr size_t JH_CRC = 8;
constexpr size_t JH_BODY_SIZE = 12;
constexpr size_t JH_RECORDED_NAME = 16;
constexpr size_t JH_IMAGE_NAME = 256;
constexpr size_t JH_CRC_START = 16;
constexpr size_t JH_CRC_END = 496;  // exclusive: the reserved bytes are not covered
static_assert(JH_IMAGE_NAME + JOURNAL_NAME_LEN == JH_CRC_END, "names end at the reserved bytes");
static_assert(JH_CRC_END + 16 == JOURNAL_HEADER_SIZE, "16 reserved bytes close the header");

constexpr size_t JOURNAL_RECORD_SIZE = 64;
constexpr size_t JR_TYPE = 58;
constexpr size_t JR_CRC = 60;
static_assert(BLOCK_ENTRY_SIZE == JR_TYPE, "a block entry fills the record payload");

enum : uint8_t { JOURNAL_BLOCK = 1, JOURNAL_REMOVE = 2, JOURNAL_COMMIT = 3 };

// Reads and validates the header and body of an open journal. body must hold
// JOURNAL_BODY_AREA bytes; it is cleared and receives the first (at most)
// 131072 bytes of the body, while the checksum covers the whole body. On
// success the text fields are terminated, and *out_records_offset (optional)
// is 512 + body_size. STATUS_CORRUPT for a short file, wrong magic or
// version, body_size out of range, a checksum mismatch, or an image_name
// that is not a plain file name (empty, ".", "..", or containing "/"); the
// mapped status of a failed read; STATUS_NO_MEMORY when there is no memory
// to read a body larger than the area.
[[nodiscard]] status_t journal_read_header(int fd, uint8_t header[JOURNAL_HEADER_SIZE],
                                           uint8_t* body, uint64_t* out_records_offset);

// Opens a journal (a regular file only: a FIFO or a device named like one is
// refused at once, STATUS_IO with errno FS_ERR_NOT_REGULAR), reads it with
// journal_read_header and copies its names (each 240 bytes, terminated) to
// the outputs that are given. For the tests and the fuzzer: partials reads
// each journal through journal_read_at.
[[nodiscard]] status_t journal_read_names(const char* path, uint8_t* body, char* recorded_name_out,
                                          char* image_name_out);

// One journal as a listing saw it: what it names and which file it was.
struct journal_listing {
  char image_name[JOURNAL_NAME_LEN] = {};
  struct stat st = {};  // of the journal that was read, taken from its descriptor
};

// Reads the journal entry name of the directory open at dir_fd, as
// journal_read_names does, but without following a link at name. body
// receives the body as journal_read_header gives it.
[[nodiscard]] status_t journal_read_at(int dir_fd, const char* name, uint8_t* body,
                                       journal_listing* out);
