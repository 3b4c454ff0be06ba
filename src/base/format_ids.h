// The ids a backup's files store for a codec and a cipher: the codec of each
// block entry and the header's preferred codec, and the header's cipher.
// They are on-disk values (store/format.h shows where they stand) and the
// codec layer's API alike, so they are defined here, below both: codec/
// takes them without reaching up into store/, and store/format.h includes
// this header so that every on-disk id is at hand there.
#pragma once

#include <cstdint>

enum : uint8_t { CODEC_NONE = 0, CODEC_ZSTD = 1, CODEC_LZ4 = 2 };

enum : uint8_t { CIPHER_NONE = 0, CIPHER_AES_256_GCM = 1, CIPHER_CHACHA20_POLY1305 = 2 };
