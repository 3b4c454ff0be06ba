// Delete: remove a backup and, deepest first, every backup that depends on it.
#pragma once

#include <cstdint>

#include "base/status.h"

struct delete_request {
  const char* meta_path = nullptr;   // --meta
  const char* search_dir = nullptr;  // --search-dir
  int32_t dry_run = 0;               // --dry-run
};

// Holds --search-dir and the target's own directory alone (shared for a dry
// run) and looks for dependents in both; finishes interrupted recompress
// swaps there first (a dry run only reports them). Removes nothing, and
// fails with STATUS_CORRUPT, when any meta file there cannot be read;
// STATUS_AGAIN when another run holds either directory.
[[nodiscard]] status_t delete_backup(const delete_request& req);
