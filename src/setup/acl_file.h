// The storage server's ACL file: how it reads the lines acl-add appends, and
// how it matches a client's key and requested directory against them.
//
// Kept for the tests and the fuzzer: no command runs this reader. It is the
// contract every line acl-add writes must meet, kept as code so that the
// tests can read back what acl-add wrote as the server would.
//
// A line is "<key><blanks><pattern>[,<pattern>...]". Lines are read in pieces
// of at most 1023 characters, a comment is cut off first (acl_strip_comment),
// and one bad line makes the whole file invalid, locking every client out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/status.h"
#include "codec/digest.h"
#include "setup/acl.h"

constexpr size_t ACL_LINE_MAX = 1023;     // characters read as one line
constexpr size_t ACL_COMPONENT_MAX = 63;  // a longer path component never matches

// One entry as the server keeps it: the key itself is not kept, only its
// SHA-256. Patterns are NUL-terminated.
struct acl_entry {
  uint8_t key_sha256[SHA256_SIZE] = {};
  char patterns[ACL_MAX_PATTERNS][ACL_PATTERN_MAX + 1] = {};
  uint32_t pattern_count = 0;
};

// Parses the text of an ACL file. On success *out holds the entries in file
// order; STATUS_INVALID (with *out untouched) when any line is invalid;
// STATUS_NO_MEMORY when the entries cannot be held.
[[nodiscard]] status_t acl_parse_text(const char* text, size_t len, std::vector<acl_entry>* out);
// As acl_parse_text on the file's contents; STATUS_NOT_FOUND when there is no
// such file, STATUS_IO when it cannot be read.
[[nodiscard]] status_t acl_parse_file(const char* path, std::vector<acl_entry>* out);

// The comment rule on one line (its line end may be included). *out_len is
// the length of the part that counts; STATUS_INVALID when the rule rejects
// the line (an unclosed quote, or text after a closing quote).
//   - With a "=", the text up to it and the blanks after it are the leading
//     part; the rest is the value. Otherwise the whole line is leading.
//   - In the leading part "#" or ";" at the start or after a blank begins a
//     comment.
//   - A value starting with ' or " runs to the matching quote (inside double
//     quotes \" and \\ do not end it); only blanks, then the end or a comment
//     may follow.
//   - In an unquoted value, "#" or ";" after a blank begins a comment.
[[nodiscard]] status_t acl_strip_comment(const char* line, size_t len, size_t* out_len);

// The first entry whose digest is the key's, or null. Later entries for the
// same key are never consulted.
const acl_entry* acl_find_entry(const std::vector<acl_entry>& entries, const char* key);

// 1 when pattern allows dir: "**" allows everything; "P/**" allows a
// directory with more components than P whose leading components match P's
// one for one; anything else is an fnmatch with FNM_PATHNAME over the whole
// directory ("*" never crosses a "/"). Does not test dir itself.
int acl_pattern_matches(const char* pattern, const char* dir);

// 1 when key has an entry, dir is a safe relative path, and one of the
// entry's patterns allows it; else 0.
int acl_allows(const std::vector<acl_entry>& entries, const char* key, const char* dir);
