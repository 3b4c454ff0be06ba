// Delete: remove a backup and, deepest first, every backup that depends on it.
#pragma once

#include <cstdint>

#include "cli/status.h"

struct delete_request {
  const char* meta_path = nullptr;   // --meta
  const char* search_dir = nullptr;  // --search-dir
  int32_t dry_run = 0;               // --dry-run
};

[[nodiscard]] status_t delete_backup(const delete_request& req);
