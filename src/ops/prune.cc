// prune removes the expired backups of one directory, each chain from its
// leaves up, and keeps the newest backup of each name and every chain still
// needed. Which backups go, and in which order, is the plan's to say: its
// rule opens ops/prune_plan.h. This file holds the directory, reads its
// catalog, reports the plan and carries it out.
#include "ops/prune.h"

#include <memory>
#include <new>
#include <vector>

#include "base/dir_lock.h"
#include "base/log.h"
#include "base/text.h"
#include "ops/prune_plan.h"
#include "ops/removal.h"
#include "store/format.h"
#include "store/header.h"

namespace {

// Logs the "keep" line of every kept backup, in catalog order; returns how
// many there are.
size_t report_kept(const std::vector<catalog_entry>& catalog, const prune_plan& plan) {
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
      text_format_time(e.retain_until, when, sizeof when);
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s, retained until %s) %s", kind_text(e.kind), name,
                prune_reason_text(d), when, e.meta_path.c_str());
    } else {
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s) %s", kind_text(e.kind), name,
                prune_reason_text(d), e.meta_path.c_str());
    }
  }
  return kept;
}

// The plan and its execution once the directory is held and its catalog
// read whole.
status_t prune_catalog(const prune_request& req, const std::vector<catalog_entry>& catalog) {
  prune_plan plan;
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header());
  status_t s =
      scratch ? prune_plan_build(catalog, req.name_filter, req.now, &plan) : STATUS_NO_MEMORY;
  if (s != STATUS_OK) return s;
  const size_t kept = report_kept(catalog, plan);

  const char* action = req.dry_run ? "[dry-run] would delete" : "delete";
  char when[64];
  char name[TEXT_ESCAPED_CAP];
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
    text_format_time(e.retain_until, when, sizeof when);
    text_escape_control(e.name.c_str(), name, sizeof name);
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' (expired %s) %s", action, kind_text(e.kind), name, when,
              e.meta_path.c_str());
    uint64_t bytes = 0;
    if (guard.remove(e.meta_path.c_str(), e.parent_uuid, req.dry_run, scratch.get(), &bytes) !=
        STATUS_OK)
      failures++;
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
