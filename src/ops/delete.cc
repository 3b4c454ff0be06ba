#include "ops/delete.h"

// Not built yet: an honest failure rather than a pretend success.
status_t delete_backup(const delete_request&) { return STATUS_NOT_SUPPORTED; }
