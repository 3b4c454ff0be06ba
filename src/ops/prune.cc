#include "ops/prune.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "cli/log.h"
#include "ops/prune_core.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/header.h"
#include "store/naming.h"

void prune_format_time(int64_t t, char* out, size_t cap) {
  time_t tt = static_cast<time_t>(t);
  struct tm utc;
  if (gmtime_r(&tt, &utc) && strftime(out, cap, "%Y-%m-%d %H:%M:%S UTC", &utc) > 0) return;
  snprintf(out, cap, "%" PRId64, t);
}

status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                   uint64_t* out_image_bytes, backup_header* scratch) {
  char image_path[PATH_CAP];
  bool have_image = image_path_for_meta(meta_path, image_path, sizeof image_path) == STATUS_OK;

  // The header is read before anything is removed: afterwards it is gone.
  status_t read = header_read(meta_path, scratch);
  if (out_image_bytes) *out_image_bytes = read == STATUS_OK ? header_image_bytes(*scratch) : 0;
  if (dry_run) return STATUS_OK;

  status_t result = STATUS_OK;
  bool meta_gone = fs_remove(meta_path) == STATUS_OK;
  if (!meta_gone) {
    log_write(LOG_WARN_LEVEL, "could not remove meta file %s", meta_path);
    result = STATUS_IO;
  }
  // The image goes even when the meta file stayed: its space is what the run
  // was asked to free, and the failure is reported either way.
  if (!have_image) return result;
  // The removal of the meta file is made durable first: after a crash the
  // image must never be gone while its meta file is still there.
  if ((meta_gone && fs_fsync_parent(meta_path) != STATUS_OK) ||
      fs_remove(image_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove image file %s", image_path);
    return STATUS_IO;
  }
  return result;
}

status_t remove_backup_files(const char* meta_path, int32_t dry_run, uint64_t* out_image_bytes) {
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  if (!scratch) return STATUS_NO_MEMORY;
  return remove_backup_files_using(meta_path, dry_run, out_image_bytes, scratch.get());
}

status_t prune_backups(const prune_request& req) {
  if (!req.search_dir) return STATUS_INVALID;
  std::vector<catalog_entry> catalog;
  status_t s = catalog_scan(req.search_dir, &catalog);
  if (s != STATUS_OK) return s;

  prune_plan plan;
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  s = scratch ? prune_plan_build(catalog, req.name_filter, req.now, &plan) : STATUS_NO_MEMORY;
  if (s != STATUS_OK) {
    catalog_free(&catalog);
    return s;
  }

  char when[64];
  size_t kept = 0;
  for (size_t i = 0; i < catalog.size(); i++) {
    uint8_t d = plan.decision[i];
    if (d == PRUNE_DELETE || d == PRUNE_OTHER_NAME) continue;
    const catalog_entry& e = catalog[i];
    kept++;
    if (e.retain_until != 0) {
      prune_format_time(e.retain_until, when, sizeof when);
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s, retained until %s) %s", kind_text(e.kind),
                e.name.c_str(), prune_reason_text(d), when, e.meta_path.c_str());
    } else {
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s) %s", kind_text(e.kind), e.name.c_str(),
                prune_reason_text(d), e.meta_path.c_str());
    }
  }

  const char* action = req.dry_run ? "[dry-run] would delete" : "delete";
  uint64_t total_bytes = 0;
  size_t failures = 0;
  for (const prune_item& item : plan.deletions) {
    const catalog_entry& e = catalog[item.position];
    prune_format_time(e.retain_until, when, sizeof when);
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' (expired %s) %s", action, kind_text(e.kind),
              e.name.c_str(), when, e.meta_path.c_str());
    uint64_t bytes = 0;
    if (remove_backup_files_using(e.meta_path.c_str(), req.dry_run, &bytes, scratch.get()) !=
        STATUS_OK) {
      failures++;
    }
    total_bytes += bytes;
  }

  log_write(LOG_INFO_LEVEL, "prune %s: %s %zu backup(s) (%llu byte(s) of image data), kept %zu%s",
            req.search_dir, req.dry_run ? "would delete" : "deleted",
            plan.deletions.size() - failures, static_cast<unsigned long long>(total_bytes), kept,
            failures ? ", some files could not be removed" : "");
  catalog_free(&catalog);
  return failures ? STATUS_IO : STATUS_OK;
}
