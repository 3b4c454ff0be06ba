// A meta file of arbitrary bytes through header_read and backup_load.
//
// Input: one mode byte, then the file. With bit 0 of the mode set, the
// table_sha256 field is recomputed over the bytes where the table would be,
// so that the fuzzer gets past the digest and reaches the table decoding.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/digest.h"
#include "fuzz_util.h"
#include "store/backup.h"
#include "store/header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> file(data + 1, data + size);

  if ((mode & 1) && file.size() >= HDR_TABLE_SHA256 + SHA256_SIZE) {
    uint64_t start = load_le32(file.data() + HDR_HEADER_SIZE);
    uint64_t count = load_le64(file.data() + HDR_BLOCK_COUNT);
    if (start <= file.size() && count <= (file.size() - start) / BLOCK_ENTRY_SIZE) {
      sha256_digest(file.data() + start, count * BLOCK_ENTRY_SIZE, file.data() + HDR_TABLE_SHA256);
    }
  }
  std::string path = fuzz_write_file("fuzz.infb", file.data(), file.size());

  auto h = std::make_unique<backup_header>();
  status_t hs = header_read(path.c_str(), h.get());
  if (hs == STATUS_OK) {
    char name[HDR_NAME_LEN];
    header_name_copy(*h, name);
    if (strlen(name) >= HDR_NAME_LEN) abort();
  }

  loaded_backup b;
  status_t s = backup_load(path.c_str(), &b);
  if (s == STATUS_OK) {
    if (hs != STATUS_OK) abort();  // a load that passes needs a header that passes
    if (b.table.size() != header_block_count(*b.header)) abort();
    const uint32_t block_size = header_block_size(*b.header);
    const uint8_t cipher = header_cipher(*b.header);
    size_t fitting = 0;
    for (const block_entry& e : b.table) fitting += block_entry_fits(e, block_size, cipher);
    if (fitting > b.table.size()) abort();
    // What was decoded encodes back to the bytes it came from.
    const uint64_t start = header_size_field(*b.header);
    for (size_t i = 0; i < b.table.size(); i++) {
      uint8_t raw[BLOCK_ENTRY_SIZE];
      block_entry_encode(b.table[i], raw);
      if (memcmp(raw, file.data() + start + i * BLOCK_ENTRY_SIZE, BLOCK_ENTRY_SIZE) != 0) abort();
    }
  } else if (!b.table.empty()) {
    abort();  // a failed load holds no table
  }
  backup_release(&b);
  return 0;
}
