#include "ops/prune.h"

// Not built yet: an honest failure rather than a pretend success.
status_t prune_backups(const prune_request&) { return STATUS_NOT_SUPPORTED; }

status_t remove_backup_files(const char*, int32_t, uint64_t*) { return STATUS_NOT_SUPPORTED; }
