// Recompress: rewrite one backup's payloads with another codec or level.
#pragma once

#include <cstdint>

#include "base/status.h"

struct recompress_request {
  const char* meta_path = nullptr;  // --meta
  int32_t codec = 1;                // 2 = lz4, 1 = zstd
  int32_t level = 9;                // --level, passed to the compressor unchanged
};

[[nodiscard]] status_t recompress_backup(const recompress_request& req);
