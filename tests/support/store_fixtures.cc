#include "support/store_fixtures.h"

#include <openssl/sha.h>

#include <algorithm>

#include "support/test_util.h"

namespace test {

raw_uuid uuid_of(uint8_t fill) {
  raw_uuid u;
  u.fill(fill);
  return u;
}

void put_le(std::vector<uint8_t>* buf, size_t offset, uint64_t value, int width) {
  for (int i = 0; i < width; i++) (*buf)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

namespace {

void put_bytes(std::vector<uint8_t>* buf, size_t offset, const uint8_t* p, size_t n) {
  std::copy(p, p + n, buf->begin() + static_cast<std::ptrdiff_t>(offset));
}

void put_text(std::vector<uint8_t>* buf, size_t offset, const std::string& s) {
  put_bytes(buf, offset, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

}  // namespace

std::vector<uint8_t> raw_header_bytes(const RawHeader& h) {
  std::vector<uint8_t> b(131072, 0);
  put_le(&b, 0x00, h.magic, 4);
  put_le(&b, 0x04, h.format_version, 2);
  put_le(&b, 0x08, h.header_size, 4);
  put_le(&b, 0x0C, h.block_size, 4);
  b[0x10] = h.kind;
  b[0x11] = h.codec;
  put_bytes(&b, 0x14, h.uuid.data(), 16);
  put_bytes(&b, 0x24, h.parent_uuid.data(), 16);
  put_bytes(&b, 0x34, h.base_uuid.data(), 16);
  put_le(&b, 0x44, static_cast<uint64_t>(h.created), 8);
  put_le(&b, 0x4C, h.volume_size, 8);
  put_le(&b, 0x54, h.block_count, 8);
  put_le(&b, 0x5C, h.image_bytes, 8);
  put_bytes(&b, 0x64, h.table_sha256.data(), 32);
  put_text(&b, 0x84, h.producer_version);
  put_text(&b, 0xA4, h.host_name);
  put_text(&b, 0x1E4, h.name);
  b[0x224] = h.cipher;
  put_le(&b, 0x6445, static_cast<uint64_t>(h.retain_until), 8);
  if (h.fill_opaque) {
    for (size_t i = 0; i < 256; i++) b[0xE4 + i] = static_cast<uint8_t>(0xA0 ^ i);
    for (size_t i = 0; i < 64; i++) b[0x644D + i] = static_cast<uint8_t>(0x50 + i);
    b[0x06] = 0x5A;     // reserved after format_version
    b[0x1000] = 0x77;   // reserved run after cipher
    b[0x1FFFF] = 0x99;  // last reserved byte
  }
  b.resize(h.header_size < b.size() ? h.header_size : b.size());
  return b;
}

std::vector<uint8_t> raw_entry_bytes(const RawEntry& e) {
  std::vector<uint8_t> b(58, 0);
  put_le(&b, 0, e.block_id, 8);
  put_le(&b, 8, e.offset, 8);
  put_le(&b, 16, e.stored_len, 4);
  put_le(&b, 20, e.raw_len, 4);
  b[24] = e.codec;
  b[25] = e.flags;
  put_bytes(&b, 26, e.sha256.data(), 32);
  return b;
}

void write_raw_meta(const std::string& path, RawHeader h, const std::vector<RawEntry>& entries,
                    bool keep_counts) {
  std::vector<uint8_t> table;
  for (const auto& e : entries) {
    auto b = raw_entry_bytes(e);
    table.insert(table.end(), b.begin(), b.end());
  }
  if (!keep_counts) {
    h.block_count = entries.size();
    h.table_sha256.fill(0);
    if (!table.empty()) SHA256(table.data(), table.size(), h.table_sha256.data());
  }
  auto bytes = raw_header_bytes(h);
  bytes.insert(bytes.end(), table.begin(), table.end());
  write_file(path, bytes);
}

}  // namespace test
