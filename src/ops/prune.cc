#include "ops/prune.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "cli/log.h"
#include "ops/prune_core.h"
#include "ops/removal.h"
#include "store/dir_lock.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/header.h"
#include "store/naming.h"
#include "store/text.h"

void prune_format_time(int64_t t, char* out, size_t cap) {
  time_t tt = static_cast<time_t>(t);
  struct tm utc;
  if (gmtime_r(&tt, &utc) && strftime(out, cap, "%Y-%m-%d %H:%M:%S UTC", &utc) > 0) return;
  snprintf(out, cap, "%" PRId64, t);
}

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

namespace {

// The plan and its execution once the directory is held and its catalog
// read whole.
status_t prune_catalog(const prune_request& req, const std::vector<catalog_entry>& catalog) {
  prune_plan plan;
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header());
  status_t s =
      scratch ? prune_plan_build(catalog, req.name_filter, req.now, &plan) : STATUS_NO_MEMORY;
  if (s != STATUS_OK) return s;

  char when[64];
  char name[TEXT_ESCAPED_CAP];
  size_t kept = 0;
  for (size_t i = 0; i < catalog.size(); i++) {
    uint8_t d = plan.decision[i];
    if (d == PRUNE_DELETE || d == PRUNE_OTHER_NAME) continue;
    const catalog_entry& e = catalog[i];
    kept++;
    text_escape_control(e.name.c_str(), name, sizeof name);
    if (e.retain_until != 0) {
      prune_format_time(e.retain_until, when, sizeof when);
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s, retained until %s) %s", kind_text(e.kind), name,
                prune_reason_text(d), when, e.meta_path.c_str());
    } else {
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s) %s", kind_text(e.kind), name,
                prune_reason_text(d), e.meta_path.c_str());
    }
  }

  const char* action = req.dry_run ? "[dry-run] would delete" : "delete";
  uint64_t total_bytes = 0;
  size_t failures = 0;
  size_t held_back = 0;  // ancestors of a backup that stayed
  removal_guard guard;
  for (const prune_item& item : plan.deletions) {
    const catalog_entry& e = catalog[item.position];
    if (guard.keeps(e.uuid, e.parent_uuid, e.meta_path.c_str())) {
      held_back++;
      continue;
    }
    prune_format_time(e.retain_until, when, sizeof when);
    text_escape_control(e.name.c_str(), name, sizeof name);
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' (expired %s) %s", action, kind_text(e.kind), name, when,
              e.meta_path.c_str());
    uint64_t bytes = 0;
    bool stays = false;
    if (remove_backup_files_using(e.meta_path.c_str(), req.dry_run, &bytes, scratch.get(),
                                  &stays) != STATUS_OK) {
      failures++;
      if (stays) guard.stays(e.parent_uuid);
    }
    total_bytes += bytes;
  }

  const bool failed = failures != 0 || held_back != 0;
  log_write(LOG_INFO_LEVEL, "prune %s: %s %zu backup(s) (%llu byte(s) of image data), kept %zu%s",
            req.search_dir, req.dry_run ? "would delete" : "deleted",
            plan.deletions.size() - failures - held_back,
            static_cast<unsigned long long>(total_bytes), kept + held_back,
            failed ? ", some files could not be removed" : "");
  return failed ? STATUS_IO : STATUS_OK;
}

}  // namespace

status_t prune_backups(const prune_request& req) {
  if (!req.search_dir) return STATUS_INVALID;
  // Held alone for a real run, from before the first read to the last
  // removal; a dry run only reads, beside other readers.
  const dir_lock_request want{req.search_dir, req.dry_run ? DIR_LOCK_SHARED : DIR_LOCK_EXCLUSIVE};
  dir_lock_set lock;
  status_t s = dir_lock_take(&want, 1, &lock);
  if (s == STATUS_OK) s = removal_settle_rewrites(req.search_dir, req.dry_run != 0);
  if (s != STATUS_OK) return s;

  std::vector<catalog_entry> catalog;
  uint64_t unreadable = 0;
  s = catalog_scan_counting(req.search_dir, &catalog, &unreadable);
  if (s != STATUS_OK) return s;
  if (unreadable != 0) {
    removal_refuse_unreadable(req.search_dir, unreadable);
    s = STATUS_CORRUPT;
  } else {
    s = prune_catalog(req, catalog);
  }
  catalog_free(&catalog);
  return s;
}
