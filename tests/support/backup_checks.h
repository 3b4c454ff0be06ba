// What every writer of this program promises about a backup it wrote,
// checked the way a scrub reads it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace test {

// Decoded blocks by block_id.
using Blocks = std::map<uint64_t, std::vector<uint8_t>>;

// Loads the backup of meta and checks its layout: entries sorted by
// block_id, payloads back to back from 0 in table order, image_bytes equal to
// the image size, and every payload (opened with key when the backup is
// sealed) decoding to raw_len bytes with the entry's digest. *decoded
// (optional) receives every stored block.
void expect_backup_whole(const std::string& meta, const std::vector<uint8_t>& key = {},
                         Blocks* decoded = nullptr);

}  // namespace test
