// File names of a backup: the meta file's extension tells the kind, the
// image file is named after the meta file, and new backups get a time-stamped
// name that does not collide with an existing one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

constexpr size_t PATH_CAP = 1024;  // paths are at most 1023 bytes

// ".infb"/".indb"/".inib" and ".csfb"/".csdb"/".csib"; kinds above 2 take FULL's.
const char* meta_ext_for_kind(uint8_t kind);
const char* image_ext_for_kind(uint8_t kind);

// True when the name (or path) ends in ".infb", ".indb" or ".inib".
bool is_meta_file_name(const char* name);

// Replaces the meta extension by the image extension. STATUS_INVALID when
// the path is 4 bytes or shorter, has no meta extension, or the result does
// not fit cap.
[[nodiscard]] status_t image_path_for_meta(const char* meta_path, char* out, size_t cap);

// "<dir>/<name>-<YYYYmmddHHMM>[-n]<ext>" for the first n in 1..1000 whose
// meta and image paths are both free, and whose "<image>.tmp" (an upload's
// partial image has that name) is absent too. STATUS_INVALID for a bad name
// or a path too long, STATUS_EXISTS when all 1000 are taken. Creates nothing.
[[nodiscard]] status_t new_backup_paths(const char* dir, const char* name, uint8_t kind,
                                        int64_t created, char* meta_out, size_t meta_cap,
                                        char* image_out, size_t image_cap);
