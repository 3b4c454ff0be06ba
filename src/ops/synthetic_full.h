// Synthetic full: collapse the chain of a DIFF or INC into one new FULL by
// copying the newest stored payload of every block, without decoding.
#pragma once

#include "base/status.h"

struct synthetic_full_request {
  const char* target = nullptr;      // --target: meta file of the DIFF/INC
  const char* search_dir = nullptr;  // --search-dir: where its ancestors are
  const char* out_dir = nullptr;     // --out: where the new FULL goes
  const char* name = nullptr;        // --name: the new backup's name
};

[[nodiscard]] status_t synthetic_full(const synthetic_full_request& req);
