#include "codec/compress.h"

#include <lz4.h>
#include <zstd.h>

#include <climits>
#include <cstring>

namespace {

// liblz4 takes every length as an int. A length that does not fit is never
// narrowed (it could wrap to a small positive value and make lz4 read or
// decode only part of the buffer): inputs above LZ4_MAX_INPUT_SIZE are not
// compressed, and a capacity above INT_MAX is offered as INT_MAX, which only
// ever lends lz4 less room than the caller has.
int lz4_capacity(size_t cap) {
  return cap > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(cap);
}

ZSTD_CCtx* compress_context(codec_workspace* ws) {
  if (!ws) return nullptr;
  if (!ws->zstd_compress) ws->zstd_compress.reset(ZSTD_createCCtx());
  return ws->zstd_compress.get();
}

ZSTD_DCtx* decompress_context(codec_workspace* ws) {
  if (!ws) return nullptr;
  if (!ws->zstd_decompress) ws->zstd_decompress.reset(ZSTD_createDCtx());
  return ws->zstd_decompress.get();
}

}  // namespace

void codec_zstd_cctx_free::operator()(ZSTD_CCtx_s* c) const {
  ZSTD_freeCCtx(c);
}

void codec_zstd_dctx_free::operator()(ZSTD_DCtx_s* d) const {
  ZSTD_freeDCtx(d);
}

size_t codec_bound(uint8_t codec, size_t len) {
  switch (codec) {
    case CODEC_ZSTD:
      return ZSTD_compressBound(len);
    case CODEC_LZ4:
      if (len > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) return 0;
      return static_cast<size_t>(LZ4_compressBound(static_cast<int>(len)));
    default:
      return len;
  }
}

size_t codec_compress(uint8_t codec, int level, const void* src, size_t src_len, void* dst,
                      size_t dst_cap, codec_workspace* ws) {
  size_t out = 0;
  switch (codec) {
    case CODEC_ZSTD: {
      // ZSTD_compressCCtx sets every parameter from the level for each call,
      // so what one block leaves in the context cannot change the next.
      ZSTD_CCtx* cctx = compress_context(ws);
      size_t r = cctx ? ZSTD_compressCCtx(cctx, dst, dst_cap, src, src_len, level)
                      : ZSTD_compress(dst, dst_cap, src, src_len, level);
      if (ZSTD_isError(r)) return 0;
      out = r;
      break;
    }
    case CODEC_LZ4: {
      if (src_len > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) return 0;
      int r = LZ4_compress_default(static_cast<const char*>(src), static_cast<char*>(dst),
                                   static_cast<int>(src_len), lz4_capacity(dst_cap));
      if (r <= 0) return 0;
      out = static_cast<size_t>(r);
      break;
    }
    default:
      return 0;
  }
  // A form that is not strictly smaller gains nothing: the caller stores raw.
  return out < src_len ? out : 0;
}

status_t codec_decompress(uint8_t codec, const void* src, size_t src_len, void* dst, size_t dst_cap,
                          size_t* out_len, codec_workspace* ws) {
  size_t produced = 0;
  switch (codec) {
    case CODEC_NONE:
      if (dst_cap < src_len) return STATUS_INVALID;
      if (src_len != 0) memmove(dst, src, src_len);
      produced = src_len;
      break;
    case CODEC_ZSTD: {
      ZSTD_DCtx* dctx = decompress_context(ws);
      size_t r = dctx ? ZSTD_decompressDCtx(dctx, dst, dst_cap, src, src_len)
                      : ZSTD_decompress(dst, dst_cap, src, src_len);
      if (ZSTD_isError(r)) return STATUS_CORRUPT;
      produced = r;
      break;
    }
    case CODEC_LZ4: {
      // No lz4 block of a valid store is this long; it cannot be passed whole.
      if (src_len > static_cast<size_t>(INT_MAX)) return STATUS_CORRUPT;
      int r = LZ4_decompress_safe(static_cast<const char*>(src), static_cast<char*>(dst),
                                  static_cast<int>(src_len), lz4_capacity(dst_cap));
      if (r < 0) return STATUS_CORRUPT;
      produced = static_cast<size_t>(r);
      break;
    }
    default:
      return STATUS_INVALID;
  }
  if (out_len) *out_len = produced;
  return STATUS_OK;
}
