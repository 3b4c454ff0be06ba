// What the sweep tests share: small real backups to run on, which leftover
// names are recognisably temporary, whether every backup still scrubs clean,
// and runs with their log lines swallowed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ops/scrub.h"
#include "store/format.h"
#include "store_writer.h"

namespace test {

// Names a failed or interrupted run may leave: the temporary image and meta
// files of the store, the spare name of a recompress, the temporary and
// moved-aside files of the set-up commands.
inline bool is_temporary_name(const std::string& name) {
  return name.ends_with(".tmp") || name.ends_with(".recompress.old") ||
         name.find(".tmp-") != std::string::npos || name.find(".old-") != std::string::npos;
}

// A backup named "db" of a 12-block volume of 4 KiB blocks, with payloads
// for `blocks` (every block when empty).
inline writer_result write_small_backup(const std::string& dir, const std::string& stem,
                                        uint8_t kind, const std::string& parent, uint64_t seed,
                                        std::vector<uint64_t> blocks = {},
                                        int64_t created = 1700000000, int64_t retain_until = 0) {
  writer_backup_desc desc;
  desc.dir = dir;
  desc.name = "db";
  desc.file_stem = stem;
  desc.kind = kind;
  desc.parent_meta = parent;
  desc.block_size = 4096;
  desc.volume_size = 12 * 4096;
  desc.seed = seed;
  desc.blocks = std::move(blocks);
  desc.created = created;
  desc.retain_until = retain_until;
  writer_result w;
  EXPECT_EQ(writer_write_backup(desc, &w), STATUS_OK);
  return w;
}

// run(), its log lines swallowed.
template <class F>
status_t quietly(F run) {
  testing::internal::CaptureStderr();
  status_t s = run();
  testing::internal::GetCapturedStderr();
  return s;
}

// Scrubs every backup of dir, its log lines swallowed.
inline status_t scrub_dir(const std::string& dir) {
  scrub_request req;
  req.backup_dir = dir.c_str();
  return quietly([&] { return scrub_backups(req); });
}

// dir, empty, whatever was there before.
inline void fresh_dir(const std::string& dir) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
}

}  // namespace test
