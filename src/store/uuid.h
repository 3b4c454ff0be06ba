// Backup identifiers: 16 raw bytes, compared as bytes; all zero means "none".
#pragma once

#include <cstdint>

constexpr int UUID_SIZE = 16;
constexpr int UUID_TEXT_SIZE = 37;  // 36 characters and the terminating 0

// A random version-4 uuid. Never fails.
void uuid_generate(uint8_t out[UUID_SIZE]);
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lowercase, bytes in stored order.
void uuid_format(const uint8_t id[UUID_SIZE], char out[UUID_TEXT_SIZE]);
bool uuid_is_zero(const uint8_t id[UUID_SIZE]);
bool uuid_equal(const uint8_t a[UUID_SIZE], const uint8_t b[UUID_SIZE]);
