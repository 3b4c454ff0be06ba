// Removing one backup from disk: its meta file first, made durable, then its
// image. A crash in between leaves an image nothing describes, never a meta
// file whose image is gone (a backup nobody can restore); a second run
// removes the rest.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "store/header.h"

// Removes one backup's meta file, then its image file (nothing in a dry run);
// when the meta file cannot be removed the image stays with it.
// *out_image_bytes (optional) receives the header's image_bytes, 0 when the
// header cannot be read. STATUS_OK, or STATUS_IO when a file could not be
// removed (a WARN line names it).
[[nodiscard]] status_t remove_backup_files(const char* meta_path, int32_t dry_run,
                                           uint64_t* out_image_bytes);

// remove_backup_files with a caller-owned header area, so that a run removing
// many backups reuses one 128 KiB buffer. *meta_stays (optional) is set when
// the meta file may still be there after a failure: the backup then keeps
// its image, and its ancestors must stay too.
[[nodiscard]] status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                                 uint64_t* out_image_bytes, backup_header* scratch,
                                                 bool* meta_stays);
