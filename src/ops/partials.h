// Partials: list, and optionally remove, the interrupted uploads (journal
// "*.part" plus partial image "<image_name>.tmp") of one storage directory.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "store/journal.h"

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

// What remove_partial did when it could decide.
enum partial_removal : uint8_t {
  PARTIAL_REMOVED,     // the image (if there was one) and the journal are gone
  PARTIAL_CHANGED,     // the journal is no longer the file that was listed
  PARTIAL_TOO_RECENT,  // the journal is no longer old enough
};

// Removes one interrupted upload that journal_read_at listed: the partial
// image "<image_name>.tmp" named by that listing, then the journal, both as
// entries of the directory open at dir_fd (a link is removed itself, never
// followed). Nothing is removed unless the entry journal_name is still the
// journal that was listed (same device, inode and modification time) and,
// when min_age_days is 0 or more, was last written at least that many whole
// days ago: a journal replaced or written again since the listing belongs to
// an upload that is not the one the operator saw. The journal is kept when
// the image could not be removed, so the upload stays listed rather than
// leaving an image nothing points to. A missing image counts as removed.
// STATUS_OK with *out saying what was done; otherwise the status of the file
// call that failed, with errno as that call left it (for the message).
[[nodiscard]] status_t remove_partial(int dir_fd, const char* journal_name,
                                      const journal_listing& listed, int64_t min_age_days,
                                      partial_removal* out);
