#include "ops/synthetic_full.h"

// Not built yet: an honest failure rather than a pretend success.
status_t synthetic_full(const synthetic_full_request&) { return STATUS_NOT_SUPPORTED; }
