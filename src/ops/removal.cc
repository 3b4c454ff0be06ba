#include "ops/removal.h"

#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>

#include "base/fs.h"
#include "base/log.h"
#include "store/backup.h"
#include "store/backup_removal.h"
#include "store/naming.h"

void removal_refuse_unreadable(const char* dir, uint64_t count) {
  log_write(LOG_ERROR_LEVEL, "nothing removed: %llu meta file(s) in %s could not be read",
            static_cast<unsigned long long>(count), dir);
}

namespace {

// The meta file name of a spare image name ("x.csdb.recompress.old" gives
// "x.indb"), or false when the name is not one.
bool meta_of_spare(const std::string& name, std::string* meta) {
  const size_t suffix = strlen(BACKUP_SPARE_SUFFIX);
  if (name.size() <= suffix || name.compare(name.size() - suffix, suffix, BACKUP_SPARE_SUFFIX) != 0)
    return false;
  std::string image = name.substr(0, name.size() - suffix);
  for (uint8_t kind = KIND_FULL; kind <= KIND_INC; kind++) {
    const std::string ext = image_ext_for_kind(kind);
    if (image.size() > ext.size() && image.ends_with(ext)) {
      *meta = image.substr(0, image.size() - ext.size()) + meta_ext_for_kind(kind);
      return true;
    }
  }
  return false;
}

status_t settle(const char* dir, bool dry_run) {
  // The names are gathered first: the renames below change the listing.
  std::vector<std::string> metas;
  {
    unique_dir listing;
    status_t s = fs_dir_open(dir, &listing.dir);
    if (s == STATUS_NOT_FOUND) return STATUS_OK;  // the scan reports a missing directory
    if (s != STATUS_OK) return s;
    for (;;) {
      const char* name = nullptr;
      s = fs_dir_next(&listing.dir, &name);
      if (s != STATUS_OK) return s;
      if (!name) break;
      std::string meta;
      if (meta_of_spare(name, &meta)) metas.push_back(std::string(dir) + "/" + meta);
    }
  }
  for (const std::string& meta : metas) {
    backup_rewrite_view view;
    status_t s = backup_rewrite_inspect(meta.c_str(), &view);
    if (s != STATUS_OK) return s;
    if (dry_run) {
      if (backup_pair_interrupted(view.state)) backup_warn_interrupted(meta.c_str());
      continue;
    }
    if (backup_pair_interrupted(view.state)) {
      int outcome = BACKUP_REWRITE_NONE;
      s = backup_finish_rewrite(meta.c_str(), &outcome);
    } else if (view.state == BACKUP_PAIR_STALE_SPARE) {
      // Only a second name of the image, or an old image nothing describes.
      s = fs_remove(view.spare.c_str());
      if (s == STATUS_OK) s = fs_fsync_parent(view.spare.c_str());
    }
    if (s != STATUS_OK && s != STATUS_NOT_FOUND) return s;
  }
  return STATUS_OK;
}

}  // namespace

status_t removal_settle_rewrites(const char* dir, bool dry_run) {
  try {
    return settle(dir, dry_run);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}

bool removal_same_dir(const char* a, const char* b) {
  struct stat sa, sb;
  return fs_stat(a, &sa) == STATUS_OK && fs_stat(b, &sb) == STATUS_OK && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool removal_guard::keeps(const uint8_t uuid[UUID_SIZE], const uint8_t parent_uuid[UUID_SIZE],
                          const char* meta_path) {
  key k;
  memcpy(k.data(), uuid, UUID_SIZE);
  if (!keep_all_ && kept_.count(k) == 0) return false;
  log_write(LOG_WARN_LEVEL, "keeping %s: a backup that depends on it could not be removed",
            meta_path);
  stays(parent_uuid);
  return true;
}

status_t removal_guard::remove(const char* meta_path, const uint8_t parent_uuid[UUID_SIZE],
                               int32_t dry_run, backup_header* scratch, uint64_t* out_image_bytes) {
  bool meta_stays = false;
  status_t s = remove_backup_files_using(meta_path, dry_run, out_image_bytes, scratch, &meta_stays);
  if (meta_stays) stays(parent_uuid);
  return s;
}

void removal_guard::stays(const uint8_t parent_uuid[UUID_SIZE]) {
  if (uuid_is_zero(parent_uuid)) return;
  key k;
  memcpy(k.data(), parent_uuid, UUID_SIZE);
  try {
    kept_.insert(k);
  } catch (const std::bad_alloc&) {
    keep_all_ = true;
  }
}
