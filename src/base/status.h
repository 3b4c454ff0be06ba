// Status codes: the one failure currency of the program. Every operation
// returns one; 0 is success and failures are negative. System error numbers
// become status codes only through status_from_errno (base/fs.h).
#pragma once

#include <cstdint>

using status_t = int32_t;

enum : status_t {
  STATUS_OK = 0,              // success
  STATUS_IO = -1,             // a system call failed for a reason not listed below
  STATUS_NO_MEMORY = -2,      // an allocation failed
  STATUS_INVALID = -3,        // a caller passed something this operation refuses
  STATUS_NOT_FOUND = -4,      // the named file, directory or backup does not exist
  STATUS_EXISTS = -5,         // the thing to be created is already there
  STATUS_NOT_SUPPORTED = -6,  // a newer format, or a request this build does not do
  STATUS_CORRUPT = -7,        // stored bytes fail a check: damage or inconsistency
  STATUS_PROTOCOL = -8,       // a peer broke the protocol (kept for the family's codes)
  STATUS_AGAIN = -9,          // temporarily unavailable; trying again may work
  STATUS_DECRYPT = -10,       // an AEAD tag did not verify: wrong key or damaged payload
};

// The message shown in the failure line; never null. Unknown codes give
// "unknown error".
const char* status_message(status_t status);
