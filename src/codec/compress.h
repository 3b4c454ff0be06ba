// Block compression over libzstd's one-shot API and liblz4's block API.
// Compression is used only when it gains: codec_compress returns 0 unless the
// result is strictly smaller than the input, and the caller stores the block
// raw under CODEC_NONE. Nothing is allocated per call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/format_ids.h"
#include "base/status.h"

// Worst-case compressed size of len bytes; len for CODEC_NONE and unknown ids.
size_t codec_bound(uint8_t codec, size_t len);
// Compressed length, or 0 on a library error, no gain, or CODEC_NONE or an
// unknown id (the destination is then untouched for CODEC_NONE). lz4 ignores
// the level.
size_t codec_compress(uint8_t codec, int level, const void* src, size_t src_len, void* dst,
                      size_t dst_cap);
// STATUS_OK; STATUS_INVALID for an unknown codec or CODEC_NONE with too small
// a destination; STATUS_CORRUPT for data the library rejects (also data that
// would overflow the destination). *out_len (optional) gets the decoded size.
[[nodiscard]] status_t codec_decompress(uint8_t codec, const void* src, size_t src_len, void* dst,
                                        size_t dst_cap, size_t* out_len);
