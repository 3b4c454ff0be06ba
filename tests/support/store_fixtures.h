// Meta files built byte by byte, for the store's tests. Every field is put at
// its offset written out here as a number, with its own little-endian store,
// so a fault in the store's format constants or helpers cannot hide behind
// the same fault in the fixture.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace test {

using raw_uuid = std::array<uint8_t, 16>;

// A uuid whose 16 bytes are all `fill` (0 gives the zero uuid).
raw_uuid uuid_of(uint8_t fill);

void put_le(std::vector<uint8_t>* buf, size_t offset, uint64_t value, int width);

struct RawHeader {
  uint32_t magic = 0x50554B42;
  uint16_t format_version = 1;
  uint32_t header_size = 131072;
  uint32_t block_size = 65536;
  uint8_t kind = 0;
  uint8_t codec = 1;
  raw_uuid uuid = uuid_of(0x11);
  raw_uuid parent_uuid = uuid_of(0);
  raw_uuid base_uuid = uuid_of(0x11);
  int64_t created = 1700000000;
  uint64_t volume_size = 3 * 65536;
  uint64_t block_count = 0;
  uint64_t image_bytes = 0;
  std::array<uint8_t, 32> table_sha256 = {};
  std::string producer_version = "other-producer 9";
  std::string host_name = "host-a";
  std::string name = "db1";
  uint8_t cipher = 0;
  int64_t retain_until = 0;
  // Also written into: source_info, retention_info and two reserved bytes, as
  // recognisable patterns (see raw_header_bytes).
  bool fill_opaque = true;
};

// header_size bytes of header (at least 0x648D + 1 bytes are always built and
// then cut to header_size, so a small header simply ends early).
std::vector<uint8_t> raw_header_bytes(const RawHeader& h);

struct RawEntry {
  uint64_t block_id = 0;
  uint64_t offset = 0;
  uint32_t stored_len = 0;
  uint32_t raw_len = 0;
  uint8_t codec = 0;
  uint8_t flags = 0;
  std::array<uint8_t, 32> sha256 = {};
};
std::vector<uint8_t> raw_entry_bytes(const RawEntry& e);

// Writes header + table to path. block_count and table_sha256 are set from
// the entries unless keep_counts is true (for damaged files).
void write_raw_meta(const std::string& path, RawHeader h, const std::vector<RawEntry>& entries,
                    bool keep_counts = false);

}  // namespace test
