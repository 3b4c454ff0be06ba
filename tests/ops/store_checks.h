// Checks the sweep tests make on a store after a failed run: which leftover
// names are recognisably temporary, and whether every backup still scrubs
// clean.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ops/scrub.h"

namespace test {

// Names a failed or interrupted run may leave: the temporary image and meta
// files of the store, the spare name of a recompress, the temporary and
// moved-aside files of the set-up commands.
inline bool is_temporary_name(const std::string& name) {
  return name.ends_with(".tmp") || name.ends_with(".recompress.old") ||
         name.find(".tmp-") != std::string::npos || name.find(".old-") != std::string::npos;
}

// Scrubs every backup of dir, its log lines swallowed.
inline status_t scrub_dir(const std::string& dir) {
  scrub_request req;
  req.backup_dir = dir.c_str();
  testing::internal::CaptureStderr();
  status_t s = scrub_backups(req);
  testing::internal::GetCapturedStderr();
  return s;
}

}  // namespace test
