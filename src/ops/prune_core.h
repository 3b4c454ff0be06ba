// What the prune and delete commands share besides their plans
// (ops/prune_plan.h, ops/delete_plan.h): removing a backup's files and
// writing a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "ops/delete_plan.h"
#include "ops/prune_plan.h"
#include "store/header.h"

// remove_backup_files with a caller-owned header area, so that a run removing
// many backups reuses one 128 KiB buffer. *meta_stays (optional) is set when
// the meta file may still be there after a failure: the backup then keeps
// its image, and its ancestors must stay too.
[[nodiscard]] status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                                 uint64_t* out_image_bytes, backup_header* scratch,
                                                 bool* meta_stays);

// A time as "%Y-%m-%d %H:%M:%S UTC"; the plain number of seconds when the
// time cannot be broken down (beyond the calendar gmtime_r knows).
void prune_format_time(int64_t t, char* out, size_t cap);
