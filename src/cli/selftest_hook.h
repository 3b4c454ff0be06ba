// Test seam of the self-test: a test may stand in for the codec round trips
// that run_selftest makes, to break one codec path and see the failure
// reported. Nothing in the program sets it; null runs codec_self_check.
#pragma once

#include <cstddef>
#include <cstdint>

using selftest_check_fn = int (*)(uint8_t codec, const char* failure_message, const uint8_t* data,
                                  char* msg, size_t msg_cap);

// Installs (or, with null, removes) the stand-in. Not thread-safe; tests only.
void selftest_set_check_hook(selftest_check_fn hook);
