// acl-add: append an API-key entry to the storage server's ACL file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

// The storage server's limits on the directory list of one line: a ninth
// pattern makes its whole ACL file invalid, and a longer pattern is cut.
constexpr size_t ACL_MAX_PATTERNS = 8;
constexpr size_t ACL_PATTERN_MAX = 63;

struct acl_add_request {
  const char* acl_file = nullptr;  // --acl-file
  const char* dirs = nullptr;      // --dir, comma-separated patterns
  const char* key = nullptr;       // --key, or null to generate one
};

// Appends "<key> <dirs>\n" to the ACL file, with req.key or a new random
// 256-bit key as 64 lowercase hex digits. On success key_out (cap >= 65) holds
// the key that was written. When the file's last line has no line feed, one
// is written first, so that line stays the entry it was.
// STATUS_INVALID, writing nothing, for a --dir or --key the storage server
// would reject or read differently: an unsafe or empty pattern, more than 8
// patterns, a pattern over 63 characters, a control character, a comment
// mark after a blank, a quoted value after "=", a key over 64 characters or
// with a blank. STATUS_INVALID too, writing nothing and logging why, when the
// existing file (a link at the path is followed) is not a regular file or
// its group or others can write it; a file others can read gets the line
// with a warning. STATUS_IO when the file cannot be opened or written; a
// failed write leaves the file as it was; STATUS_NO_MEMORY, writing nothing,
// when memory runs out. A file made here is 0600 (no link followed); an
// existing one keeps its mode. No lock is taken and duplicate keys are not
// looked for.
[[nodiscard]] status_t acl_add(const acl_add_request& req, char* key_out, size_t key_cap);

// 1 when every "/"-separated component is non-empty, not "." or "..", and has
// no backslash; else 0 (also for null or empty text).
int dir_path_is_safe(const char* path);
