#include "setup/encrypt_init.h"

// Not built yet: an honest failure rather than a pretend success.
status_t encrypt_init(const encrypt_init_request&, char*, size_t) { return STATUS_NOT_SUPPORTED; }
