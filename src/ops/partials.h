// Partials: list, and optionally remove, the interrupted uploads (journal
// "*.part" plus partial image "<image_name>.tmp") of one storage directory.
#pragma once

#include <cstdint>

// Returns the process exit status: 0, or 1 when the directory cannot be opened
// or read, an upload could not be removed, or memory ran out (then with
// "error: cannot read <dir>: Cannot allocate memory" on standard error).
int list_partials(const char* dir, int32_t delete_flag, int64_t older_than_days);
