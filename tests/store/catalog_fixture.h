// The fixture of the catalog and chain tests: small backups written byte by
// byte into one temporary directory, named after their uuid byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/fs.h"
#include "base/log.h"
#include "store/catalog.h"
#include "support/store_fixtures.h"
#include "support/test_util.h"

namespace test {

// Names in the order the kernel lists them: the order a catalog keeps.
inline std::vector<std::string> listing_order(const std::string& dir) {
  std::vector<std::string> names;
  unique_dir d;
  if (fs_dir_open(dir.c_str(), &d.dir) != STATUS_OK) return names;
  const char* name = nullptr;
  while (fs_dir_next(&d.dir, &name) == STATUS_OK && name) names.emplace_back(name);
  return names;
}

inline RawHeader backup_header_of(uint8_t id, uint8_t parent, uint8_t kind) {
  RawHeader h;
  h.uuid = uuid_of(id);
  h.parent_uuid = uuid_of(parent);
  h.base_uuid = uuid_of(1);
  h.kind = kind;
  h.block_size = 2 * 1024 * 1024;
  h.volume_size = 5 * 1024 * 1024;
  h.header_size = 4096;  // small headers keep long chains cheap to write
  return h;
}

inline std::vector<RawEntry> blocks(std::initializer_list<uint64_t> ids) {
  std::vector<RawEntry> v;
  for (uint64_t id : ids) {
    RawEntry e;
    e.block_id = id;
    e.offset = id * 1000;
    e.stored_len = 10;
    e.raw_len = 100;
    v.push_back(e);
  }
  return v;
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override { log_init("zuv_maintenance", LOG_INFO_LEVEL); }

  // Writes a backup of the given kind named after its uuid byte.
  std::string put(const std::string& file, uint8_t id, uint8_t parent, uint8_t kind,
                  std::initializer_list<uint64_t> ids = {}) {
    std::string path = dir_.file(file);
    write_raw_meta(path, backup_header_of(id, parent, kind), blocks(ids));
    return path;
  }

  status_t scan(std::vector<catalog_entry>* out, std::string* log = nullptr) {
    return scan_dir(dir_.path(), out, log);
  }
  status_t scan_dir(const std::string& dir, std::vector<catalog_entry>* out,
                    std::string* log = nullptr) {
    ::testing::internal::CaptureStderr();
    status_t s = catalog_scan(dir.c_str(), out);
    std::string err = strip_log_times(::testing::internal::GetCapturedStderr());
    if (log) *log = err;
    return s;
  }

  TempDir dir_;
};

}  // namespace test
