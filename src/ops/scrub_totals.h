// The figures of one scrub run, for whoever reports them beyond the log
// (the metrics file).
#pragma once

#include <cstdint>

#include "base/status.h"

struct scrub_totals {
  uint64_t blocks_checked = 0;
  uint64_t blocks_bad = 0;
  uint64_t files_skipped = 0;  // sealed backups skipped for want of a key, as in the summary
  // Meta files that could not be verified for any other reason: unreadable or
  // damaged, newer format, image missing, no memory. Not in the summary; each
  // fails the run.
  uint64_t files_unverified = 0;
  uint64_t bytes_read = 0;  // payload bytes read from the images
  double duration_seconds = 0;
  int64_t finished_at = 0;      // unix seconds
  status_t status = STATUS_OK;  // what scrub_backups returned
};
