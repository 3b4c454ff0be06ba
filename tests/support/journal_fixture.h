// Builds upload journals byte by byte for the journal and partials tests,
// with a CRC32C of its own (bitwise, from the polynomial), so the reader is
// checked against an independent writer.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/fs.h"
#include "support/test_util.h"

namespace journal_fixture {

inline uint32_t crc32c_bitwise(uint32_t crc, const uint8_t* p, size_t n) {
  crc = ~crc;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0x82f63b78u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Journal {
  std::vector<uint8_t> header = std::vector<uint8_t>(512, 0);
  std::vector<uint8_t> body;
  std::vector<uint8_t> records;
  uint32_t body_size_field = 131072;

  // A journal for a backup of the given kind, uuid byte pattern and name.
  Journal(uint8_t kind = 0, const std::string& name = "db", const std::string& image = "up.csfb",
          size_t body_len = 131072) {
    memcpy(header.data(), "ZUVJ", 4);
    put32(header.data() + 4, 1);
    body_size_field = static_cast<uint32_t>(body_len);
    strncpy(reinterpret_cast<char*>(header.data() + 16), "up.infb", 239);
    strncpy(reinterpret_cast<char*>(header.data() + 256), image.c_str(), 239);
    body.assign(body_len, 0);
    // The body is a backup header: magic, kind, uuid, name at their offsets.
    put32(body.data(), 0x50554B42);
    body[0x10] = kind;
    for (int i = 0; i < 16; i++) body[0x14 + i] = static_cast<uint8_t>(0x10 * (i % 16) + i);
    strncpy(reinterpret_cast<char*>(body.data() + 0x1E4), name.c_str(), 63);
  }

  void seal() {
    put32(header.data() + 12, body_size_field);
    uint32_t crc = crc32c_bitwise(0, header.data() + 16, 480);
    crc = crc32c_bitwise(crc, body.data(), body.size());
    put32(header.data() + 8, crc);
  }

  void record(uint8_t type, const uint8_t payload[58]) {
    uint8_t r[64] = {};
    memcpy(r, payload, 58);
    r[58] = type;
    put32(r + 60, crc32c_bitwise(0, r, 60));
    records.insert(records.end(), r, r + 64);
  }
  void block(uint64_t block_id, uint32_t stored_len, uint8_t fill = 0) {
    uint8_t p[58] = {};
    put64(p, block_id);
    put64(p + 8, block_id * 4096);
    put32(p + 16, stored_len);
    put32(p + 20, 4096);
    p[24] = 1;
    memset(p + 26, fill, 32);
    record(1, p);
  }
  void remove(uint64_t block_id) {
    uint8_t p[58] = {};
    put64(p, block_id);
    record(2, p);
  }
  void commit(uint64_t record_count, uint64_t value) {
    uint8_t p[58] = {};
    put64(p, record_count);
    put64(p + 8, value);
    record(3, p);
  }

  std::vector<uint8_t> bytes() {
    seal();
    std::vector<uint8_t> all = header;
    all.insert(all.end(), body.begin(), body.end());
    all.insert(all.end(), records.begin(), records.end());
    return all;
  }
  void write(const std::string& path) { test::write_file(path, bytes()); }
};

// The directory of a test open as partials opens it.
inline unique_fd open_dir(const std::string& path) {
  unique_fd fd;
  EXPECT_EQ(fs_open(path.c_str(), O_RDONLY | O_DIRECTORY, 0, fd.out()), STATUS_OK);
  return fd;
}

}  // namespace journal_fixture
