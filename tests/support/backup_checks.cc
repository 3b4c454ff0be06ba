#include "support/backup_checks.h"

#include <gtest/gtest.h>

#include <cstring>

#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/header.h"
#include "support/test_util.h"

namespace test {

void expect_backup_whole(const std::string& meta, const std::vector<uint8_t>& key,
                         Blocks* decoded) {
  loaded_backup b;
  ASSERT_EQ(backup_load(meta.c_str(), &b), STATUS_OK) << meta;
  std::vector<uint8_t> image = read_file(b.image_path);
  EXPECT_EQ(image.size(), header_image_bytes(*b.header));
  uint32_t block_size = header_block_size(*b.header);
  uint8_t cipher = header_cipher(*b.header);
  uint64_t next = 0;
  std::vector<uint8_t> plain(block_size + SEAL_OVERHEAD), data(block_size);
  for (size_t i = 0; i < b.table.size(); i++) {
    const block_entry& e = b.table[i];
    if (i > 0) {
      EXPECT_LT(b.table[i - 1].block_id, e.block_id);
    }
    if (e.flags & BLOCK_FLAG_NO_DATA) {
      EXPECT_EQ(e.offset, NO_OFFSET);
      continue;
    }
    ASSERT_EQ(e.offset, next) << "block " << e.block_id;
    ASSERT_LE(e.offset + e.stored_len, image.size());
    next += e.stored_len;
    const uint8_t* payload = image.data() + e.offset;
    size_t len = e.stored_len;
    if (cipher != CIPHER_NONE) {
      ASSERT_EQ(key.size(), CIPHER_KEY_SIZE);
      ASSERT_EQ(open_block(cipher, key.data(), payload, len, plain.data(), plain.size(), &len),
                STATUS_OK);
      payload = plain.data();
    }
    size_t n = 0;
    ASSERT_EQ(codec_decompress(e.codec, payload, len, data.data(), block_size, &n), STATUS_OK);
    ASSERT_EQ(n, e.raw_len);
    uint8_t digest[SHA256_SIZE];
    sha256_digest(data.data(), n, digest);
    EXPECT_EQ(memcmp(digest, e.sha256, SHA256_SIZE), 0) << "block " << e.block_id;
    if (decoded) (*decoded)[e.block_id].assign(data.begin(), data.begin() + static_cast<long>(n));
  }
  EXPECT_EQ(next, image.size());
}

}  // namespace test
