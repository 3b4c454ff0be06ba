// Text for an operator's terminal and the log: stored text with its control
// bytes escaped, and times written out.
#pragma once

#include <cstddef>
#include <cstdint>

// Text taken from stored files (a backup name in a header, the names in an
// upload journal) is printed and logged for an operator's terminal. A byte
// below 0x20 or 0x7f there could move the cursor or rewrite a line already
// shown, so it is shown escaped as "\xHH" instead; every other byte passes
// unchanged, so ordinary names print exactly as stored.

// Room for any header or journal text escaped: every byte can take 4.
constexpr size_t TEXT_ESCAPED_CAP = 1024;

// Writes text with its control bytes escaped into out (cap bytes, always
// terminated, cut when full); returns out.
const char* text_escape_control(const char* text, char* out, size_t cap);

// A time as "%Y-%m-%d %H:%M:%S UTC"; the plain number of seconds when the
// time cannot be broken down (beyond the calendar gmtime_r knows).
void text_format_time(int64_t t, char* out, size_t cap);
