#include "ops/recompress.h"

// Not built yet: an honest failure rather than a pretend success.
status_t recompress_backup(const recompress_request&) { return STATUS_NOT_SUPPORTED; }
