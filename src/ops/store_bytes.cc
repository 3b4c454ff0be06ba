#include "ops/store_bytes.h"

#include <sys/stat.h>

#include <cstdio>

#include "base/fs.h"
#include "store/naming.h"

uint64_t store_image_bytes(const char* meta_path) {
  char image[PATH_CAP];
  if (image_path_for_meta(meta_path, image, sizeof image) != STATUS_OK) return 0;
  struct stat st;
  if (fs_stat(image, &st) != STATUS_OK || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

uint64_t store_dir_image_bytes(const char* dir) {
  unique_dir listing;
  if (fs_dir_open(dir, &listing.dir) != STATUS_OK) return 0;
  uint64_t total = 0;
  for (;;) {
    const char* name = nullptr;
    if (fs_dir_next(&listing.dir, &name) != STATUS_OK || name == nullptr) break;
    if (!is_meta_file_name(name)) continue;
    char meta[PATH_CAP];
    int n = snprintf(meta, sizeof meta, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof meta) continue;
    total += store_image_bytes(meta);
  }
  return total;
}
