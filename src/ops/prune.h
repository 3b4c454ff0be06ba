// Prune: remove the expired backups of one directory without breaking a chain
// that is still needed; the newest backup of each name and its chain stay.
#pragma once

#include <cstdint>

#include "base/status.h"

struct prune_request {
  const char* search_dir = nullptr;   // --search-dir
  const char* name_filter = nullptr;  // --name, or null for every name
  int64_t now = 0;                    // --now, else the current time
  int32_t dry_run = 0;                // --dry-run
};

// Holds --search-dir alone (shared for a dry run); finishes interrupted
// recompress swaps first (a dry run only reports them). Removes nothing, and
// fails with STATUS_CORRUPT, when any meta file of the directory cannot be
// read; STATUS_AGAIN when another run holds the directory.
[[nodiscard]] status_t prune_backups(const prune_request& req);
