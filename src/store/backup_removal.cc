#include "store/backup_removal.h"

#include <memory>
#include <new>

#include "base/fs.h"
#include "base/log.h"
#include "store/naming.h"

status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                   uint64_t* out_image_bytes, backup_header* scratch,
                                   bool* meta_stays) {
  if (meta_stays) *meta_stays = false;
  char image_path[PATH_CAP];
  bool have_image = image_path_for_meta(meta_path, image_path, sizeof image_path) == STATUS_OK;

  // The header is read before anything is removed: afterwards it is gone.
  status_t read = header_read_known(meta_path, scratch);
  if (out_image_bytes) *out_image_bytes = read == STATUS_OK ? header_image_bytes(*scratch) : 0;
  if (dry_run) return STATUS_OK;

  // A meta file that stays keeps its image: a meta file without its image is
  // a backup nobody can restore, where both together are one that a second
  // run can still remove whole.
  if (fs_remove(meta_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove meta file %s", meta_path);
    if (meta_stays) *meta_stays = true;
    return STATUS_IO;
  }
  if (!have_image) return STATUS_OK;
  // The removal of the meta file is made durable first: after a crash the
  // image must never be gone while its meta file is still there. Until it
  // is, the meta file may still come back, so it counts as staying.
  if (fs_fsync_parent(meta_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove image file %s", image_path);
    if (meta_stays) *meta_stays = true;
    return STATUS_IO;
  }
  if (fs_remove(image_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove image file %s", image_path);
    return STATUS_IO;
  }
  return STATUS_OK;
}

status_t remove_backup_files(const char* meta_path, int32_t dry_run, uint64_t* out_image_bytes) {
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header());
  if (!scratch) return STATUS_NO_MEMORY;
  return remove_backup_files_using(meta_path, dry_run, out_image_bytes, scratch.get(), nullptr);
}
