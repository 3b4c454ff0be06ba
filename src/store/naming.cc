#include "store/naming.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/fs.h"
#include "store/format.h"

namespace {

constexpr size_t EXT_LEN = 5;
constexpr size_t BASE_CAP = 900;  // base path without extension: at most 899 bytes
constexpr int MAX_CANDIDATES = 1000;

// Index into the extension tables by the meta extension at the end of path,
// or -1.
int meta_ext_index(const char* path, size_t len) {
  if (len < EXT_LEN) return -1;
  const char* ext = path + len - EXT_LEN;
  for (int k = 0; k < 3; k++) {
    if (memcmp(ext, meta_ext_for_kind(static_cast<uint8_t>(k)), EXT_LEN) == 0) return k;
  }
  return -1;
}

// snprintf that tells whether the whole text fit.
template <typename... Args>
bool format_fits(char* out, size_t cap, const char* fmt, Args... args) {
  int n = snprintf(out, cap, fmt, args...);
  return n >= 0 && static_cast<size_t>(n) < cap;
}

}  // namespace

const char* meta_ext_for_kind(uint8_t kind) {
  switch (kind) {
    case KIND_DIFF:
      return ".indb";
    case KIND_INC:
      return ".inib";
    default:
      return ".infb";
  }
}

const char* image_ext_for_kind(uint8_t kind) {
  switch (kind) {
    case KIND_DIFF:
      return ".csdb";
    case KIND_INC:
      return ".csib";
    default:
      return ".csfb";
  }
}

bool is_meta_file_name(const char* name) {
  if (!name) return false;
  return meta_ext_index(name, strlen(name)) >= 0;
}

status_t image_path_for_meta(const char* meta_path, char* out, size_t cap) {
  if (!meta_path || !out) return STATUS_INVALID;
  size_t len = strlen(meta_path);
  if (len <= 4) return STATUS_INVALID;
  int kind = meta_ext_index(meta_path, len);
  if (kind < 0) return STATUS_INVALID;
  if (len >= cap) return STATUS_INVALID;
  memcpy(out, meta_path, len - EXT_LEN);
  memcpy(out + len - EXT_LEN, image_ext_for_kind(static_cast<uint8_t>(kind)), EXT_LEN);
  out[len] = '\0';
  return STATUS_OK;
}

namespace {

// "<image>.tmp" is also the name under which the storage server writes an
// upload of that image, so a candidate whose temporary image exists (an
// upload under way, or what a killed run left) is taken: the new backup
// never writes over, or removes, a file it cannot tell from an upload.
bool temp_image_taken(const char* image) {
  char tmp[PATH_CAP + 4];
  if (!format_fits(tmp, sizeof tmp, "%s.tmp", image)) return true;
  struct stat st;
  return fs_lstat(tmp, &st) == STATUS_OK;
}

}  // namespace

status_t new_backup_paths(const char* dir, const char* name, uint8_t kind, int64_t created,
                          char* meta_out, size_t meta_cap, char* image_out, size_t image_cap) {
  if (!dir || !name || !*name || strchr(name, '/') || strchr(name, '\\')) return STATUS_INVALID;
  if (!meta_out || !image_out) return STATUS_INVALID;

  time_t t = static_cast<time_t>(created);
  struct tm tm;
  char stamp[16];
  if (!gmtime_r(&t, &tm) || strftime(stamp, sizeof(stamp), "%Y%m%d%H%M", &tm) == 0) {
    return STATUS_INVALID;  // a time no calendar can print
  }
  const char* meta_ext = meta_ext_for_kind(kind);
  const char* image_ext = image_ext_for_kind(kind);

  char base[BASE_CAP];
  char meta[PATH_CAP];
  char image[PATH_CAP];
  for (int n = 1; n <= MAX_CANDIDATES; n++) {
    bool fits = n == 1 ? format_fits(base, sizeof(base), "%s/%s-%s", dir, name, stamp)
                       : format_fits(base, sizeof(base), "%s/%s-%s-%d", dir, name, stamp, n);
    if (!fits) return STATUS_INVALID;
    if (!format_fits(meta, sizeof(meta), "%s%s", base, meta_ext) ||
        !format_fits(image, sizeof(image), "%s%s", base, image_ext)) {
      return STATUS_INVALID;
    }
    if (fs_exists(meta) || fs_exists(image) || temp_image_taken(image)) continue;
    size_t meta_len = strlen(meta);
    size_t image_len = strlen(image);
    if (meta_len >= meta_cap || image_len >= image_cap) return STATUS_INVALID;
    memcpy(meta_out, meta, meta_len + 1);
    memcpy(image_out, image, image_len + 1);
    return STATUS_OK;
  }
  return STATUS_EXISTS;
}
