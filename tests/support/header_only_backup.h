// Header-only backups for the tests of the catalog operations (prune,
// delete): a meta file with no block table and a small image beside it, with
// uuids numbered so a test can name a backup and its parent by number.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "store/backup.h"
#include "store/catalog.h"
#include "store/header.h"
#include "store/naming.h"
#include "store/uuid.h"
#include "support/test_util.h"

namespace test {

// Uuid number n: zero for 0, otherwise distinct bytes.
inline std::array<uint8_t, UUID_SIZE> uid(uint32_t n) {
  std::array<uint8_t, UUID_SIZE> u{};
  if (n == 0) return u;
  u[0] = 0xa5;
  for (int i = 0; i < 4; i++) u[12 + i] = static_cast<uint8_t>(n >> (8 * (3 - i)));
  return u;
}

// A catalog entry as a scan lists it, for the plans in memory: uuid number id
// on parent number parent (an INC, or a FULL on 0).
inline catalog_entry catalog_entry_of(const std::string& meta_path, uint32_t id, uint32_t parent,
                                      const std::string& name = "db", int64_t created = 0,
                                      int64_t retain_until = 0) {
  catalog_entry e;
  e.meta_path = meta_path;
  memcpy(e.uuid, uid(id).data(), UUID_SIZE);
  memcpy(e.parent_uuid, uid(parent).data(), UUID_SIZE);
  e.kind = parent ? KIND_INC : KIND_FULL;
  e.name = name;
  e.created = created;
  e.retain_until = retain_until;
  return e;
}

struct backup_desc {
  std::string stem;
  uint32_t id = 0;
  uint32_t parent = 0;
  uint8_t kind = KIND_FULL;
  std::string name = "db";
  int64_t created = 0;
  int64_t retain_until = 0;
  uint64_t image_bytes = 0;
};

struct disk_backup {
  std::string meta;
  std::string image;
};

inline disk_backup write_backup(const std::string& dir, const backup_desc& s) {
  auto h = std::make_unique<backup_header>();
  header_init_full(h.get(), s.name.c_str(), 0, 0);
  header_set_kind(h.get(), s.kind);
  memcpy(h->raw + HDR_UUID, uid(s.id).data(), UUID_SIZE);
  memcpy(h->raw + HDR_PARENT_UUID, uid(s.parent).data(), UUID_SIZE);
  header_set_created(h.get(), s.created);
  header_set_retain_until(h.get(), s.retain_until);
  header_set_image_bytes(h.get(), s.image_bytes);
  disk_backup b;
  b.meta = dir + "/" + s.stem + meta_ext_for_kind(s.kind);
  b.image = dir + "/" + s.stem + image_ext_for_kind(s.kind);
  EXPECT_EQ(meta_write(b.meta.c_str(), 0644, *h, nullptr, 0), STATUS_OK);
  write_text(b.image, "image");
  return b;
}

inline bool gone(const disk_backup& b) {
  return !file_exists(b.meta) && !file_exists(b.image);
}
inline bool intact(const disk_backup& b) {
  return file_exists(b.meta) && file_exists(b.image);
}

}  // namespace test
