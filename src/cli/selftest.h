// --version and --selftest: answered before anything else is set up.
#pragma once

#include <cstddef>
#include <cstdint>

// 0 or 1: the exit status to end with; -1: neither option is present.
int version_or_selftest(int argc, char** argv, const char* program_name);
// 0 when SHA-256, CRC32C, zstd and lz4 all compute correctly, else 1 with a
// message in msg (when given and msg_cap > 0).
int run_selftest(char* msg, size_t msg_cap);
constexpr size_t SELFTEST_DATA_SIZE = 262144;
// Round trip of data (262144 bytes) through one codec at level 3.
int codec_self_check(uint8_t codec, const char* failure_message, const uint8_t* data, char* msg,
                     size_t msg_cap);
