// Partials: list, and optionally remove, the interrupted uploads (journal
// "*.part" plus partial image "<image_name>.tmp") of one storage directory.
#pragma once

#include <cstdint>

// Lists the uploads of dir and, with delete_flag, removes those whose journal
// was last written at least older_than_days whole days ago (every one when
// older_than_days is negative). The directory's lock is taken first, shared
// for a listing and exclusive for a removal. An upload is removed only while
// its journal is still the file that was listed, and only inside dir: the
// journal and the image are looked up and removed through the one descriptor
// of dir opened at the start, never through a link.
//
// Returns the process exit status: 0, or 1 when another run holds the lock,
// the directory cannot be opened or read, an upload could not be removed (or
// changed since it was listed), or memory ran out (then with "error: cannot
// read <dir>: Cannot allocate memory" on standard error).
int list_partials(const char* dir, int32_t delete_flag, int64_t older_than_days);
