#include "base/text.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(TextTest, ControlBytesAreEscapedAndEverythingElsePassesUnchanged) {
  char out[TEXT_ESCAPED_CAP];
  EXPECT_STREQ(text_escape_control("db-01 nightly", out, sizeof out), "db-01 nightly");
  EXPECT_STREQ(text_escape_control("caf\xc3\xa9\\x", out, sizeof out), "caf\xc3\xa9\\x");
  EXPECT_STREQ(text_escape_control("db\x1b[1A\x1b[2K\r   removed\n\x7f", out, sizeof out),
               "db\\x1b[1A\\x1b[2K\\x0d   removed\\x0a\\x7f");
  EXPECT_STREQ(text_escape_control(nullptr, out, sizeof out), "");
}

TEST(TextTest, OutputIsCutWholeAtItsCapacity) {
  char out[6];
  // "\x01" needs four bytes: it is left out whole rather than half written.
  EXPECT_STREQ(text_escape_control("ab\x01", out, sizeof out), "ab");
  EXPECT_STREQ(text_escape_control("abcdefgh", out, sizeof out), "abcde");
}

TEST(TextTest, TimesOutsideTheCalendarPrintAsSeconds) {
  char text[64];
  text_format_time(0, text, sizeof text);
  EXPECT_STREQ(text, "1970-01-01 00:00:00 UTC");
  text_format_time(INT64_MAX, text, sizeof text);
  EXPECT_STREQ(text, "9223372036854775807");
}
