#include "base/status.h"

#include <gtest/gtest.h>

TEST(StatusTest, EveryCodeHasItsMessageAndOthersAreUnknown) {
  const char* expected[] = {"ok",
                            "I/O error",
                            "out of memory",
                            "invalid argument or request",
                            "not found",
                            "already exists",
                            "not supported",
                            "corrupt or inconsistent data",
                            "protocol error",
                            "temporarily unavailable",
                            "decryption failed (wrong key or corrupted data)"};
  for (int code = 0; code >= -10; code--) EXPECT_STREQ(status_message(code), expected[-code]);
  for (status_t other : {-11, 1, INT32_MIN, INT32_MAX})
    EXPECT_STREQ(status_message(other), "unknown error") << other;
}
