// Block compression over libzstd's one-shot API and liblz4's block API.
// Compression is used only when it gains: codec_compress returns 0 unless the
// result is strictly smaller than the input, and the caller stores the block
// raw under CODEC_NONE. Nothing is allocated per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/format_ids.h"
#include "base/status.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

struct codec_zstd_cctx_free {
  void operator()(ZSTD_CCtx_s* c) const;
};
struct codec_zstd_dctx_free {
  void operator()(ZSTD_DCtx_s* d) const;
};

// What one thread keeps between blocks: libzstd's contexts, made on first
// use. Without one, every zstd block allocates a context and, at the higher
// levels, clears tens of MiB of match tables before it starts; a kept context
// starts each block where the last left its tables. The bytes produced are
// exactly those of the calls without a workspace. One thread at a time.
struct codec_workspace {
  std::unique_ptr<ZSTD_CCtx_s, codec_zstd_cctx_free> zstd_compress;
  std::unique_ptr<ZSTD_DCtx_s, codec_zstd_dctx_free> zstd_decompress;
};

// Worst-case compressed size of len bytes; len for CODEC_NONE and unknown ids.
size_t codec_bound(uint8_t codec, size_t len);
// Compressed length, or 0 on a library error, no gain, or CODEC_NONE or an
// unknown id (the destination is then untouched for CODEC_NONE). lz4 ignores
// the level.
// With a workspace (optional), its contexts are used; one that cannot be
// made leaves the call to the one-shot path.
size_t codec_compress(uint8_t codec, int level, const void* src, size_t src_len, void* dst,
                      size_t dst_cap, codec_workspace* ws = nullptr);
// STATUS_OK; STATUS_INVALID for an unknown codec or CODEC_NONE with too small
// a destination; STATUS_CORRUPT for data the library rejects (also data that
// would overflow the destination). *out_len (optional) gets the decoded size.
[[nodiscard]] status_t codec_decompress(uint8_t codec, const void* src, size_t src_len, void* dst,
                                        size_t dst_cap, size_t* out_len,
                                        codec_workspace* ws = nullptr);
