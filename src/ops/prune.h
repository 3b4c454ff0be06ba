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

// Removes one backup's meta file, then its image file (nothing in a dry run);
// when the meta file cannot be removed the image stays with it.
// *out_image_bytes (optional) receives the header's image_bytes, 0 when the
// header cannot be read. 0, or -1 when a file could not be removed.
[[nodiscard]] status_t remove_backup_files(const char* meta_path, int32_t dry_run,
                                           uint64_t* out_image_bytes);
