// Recompress: rewrite one backup's payloads with another codec or level.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/format_ids.h"
#include "base/status.h"

struct recompress_request {
  const char* meta_path = nullptr;  // --meta
  int32_t codec = CODEC_ZSTD;       // --to: CODEC_ZSTD or CODEC_LZ4
  int32_t level = 9;                // --level, passed to the compressor unchanged
  // --threads: blocks are compressed on this many threads (1: on the calling
  // thread alone); 0 means one per CPU the process may run on. The new image
  // and meta file are the same bytes whatever the count.
  size_t threads = 0;
};

[[nodiscard]] status_t recompress_backup(const recompress_request& req);
