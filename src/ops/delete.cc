// delete removes a backup and every backup that depends on it, directly or
// through others, deepest first, so that no chain is ever left without its
// parent. Which backups those are is the plan's to say (ops/delete_plan.h);
// this file holds the directories, reads their catalog and carries it out.
#include "ops/delete.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "base/log.h"
#include "base/text.h"
#include "ops/delete_plan.h"
#include "ops/removal.h"
#include "store/format.h"
#include "store/header.h"
#include "store/naming.h"

namespace {

// The catalog of every directory that may hold a dependent of the target:
// --search-dir, and the target's own directory when that is another one.
// STATUS_CORRUPT (nothing removed) when a meta file in either cannot be read.
status_t delete_catalog(const delete_request& req, const char* target_dir,
                        std::vector<catalog_entry>* catalog) {
  uint64_t unreadable = 0;
  status_t s = catalog_scan_counting(req.search_dir, catalog, &unreadable);
  if (s != STATUS_OK) return s;
  // The scan takes a missing directory for an empty one. Here that would
  // delete the target alone and leave its dependents, wherever they really
  // are, without a parent: a mistyped directory is refused instead.
  if (catalog->empty()) {
    struct stat st;
    if (fs_stat(req.search_dir, &st) == STATUS_NOT_FOUND) {
      log_write(LOG_ERROR_LEVEL, "cannot open backup directory %s: %s", req.search_dir,
                strerror(ENOENT));
      return STATUS_NOT_FOUND;
    }
  }
  uint64_t unreadable_beside = 0;
  if (!removal_same_dir(req.search_dir, target_dir)) {
    // The target's own dependents usually lie beside it: deleting it with
    // only another directory's would leave them without their parent.
    std::vector<catalog_entry> beside;
    s = catalog_scan_counting(target_dir, &beside, &unreadable_beside);
    if (s != STATUS_OK) return s;
    try {
      catalog->insert(catalog->end(), std::make_move_iterator(beside.begin()),
                      std::make_move_iterator(beside.end()));
    } catch (const std::bad_alloc&) {
      return STATUS_NO_MEMORY;
    }
  }
  if (unreadable != 0) removal_refuse_unreadable(req.search_dir, unreadable);
  if (unreadable_beside != 0) removal_refuse_unreadable(target_dir, unreadable_beside);
  return unreadable != 0 || unreadable_beside != 0 ? STATUS_CORRUPT : STATUS_OK;
}

// Removes the members in plan order, the target (position -1) last, and
// logs each one and the summary; scratch is the header area of the removals.
status_t remove_members(const delete_request& req, const backup_header& target,
                        const std::vector<catalog_entry>& catalog,
                        const std::vector<delete_member>& members, backup_header* scratch) {
  char target_name[HDR_NAME_LEN];
  header_name_copy(target, target_name);
  const char* action = req.dry_run ? "[dry-run] would delete" : "deleting";
  uint64_t total_bytes = 0;
  size_t count = 0;
  size_t failures = 0;
  removal_guard guard;
  for (const delete_member& m : members) {
    const char* meta_path = req.meta_path;
    const uint8_t* id = header_uuid(target);
    const uint8_t* parent = header_parent_uuid(target);
    uint8_t kind = header_kind(target);
    const char* name = target_name;
    if (m.position >= 0) {
      const catalog_entry& e = catalog[static_cast<size_t>(m.position)];
      meta_path = e.meta_path.c_str();
      id = e.uuid;
      parent = e.parent_uuid;
      kind = e.kind;
      name = e.name.c_str();
    }
    if (guard.keeps(id, parent, meta_path)) {
      failures++;
      continue;
    }
    char id_text[UUID_TEXT_SIZE];
    uuid_format(id, id_text);
    char shown[TEXT_ESCAPED_CAP];
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' uuid=%s meta=%s", action, kind_text(kind),
              text_escape_control(name, shown, sizeof shown), id_text, meta_path);
    uint64_t bytes = 0;
    if (guard.remove(meta_path, parent, req.dry_run, scratch, &bytes) != STATUS_OK) failures++;
    total_bytes += bytes;
    count++;
  }
  log_write(LOG_INFO_LEVEL, "%s%zu backup(s), %llu byte(s) of image data",
            req.dry_run ? "would delete " : "deleted ", count,
            static_cast<unsigned long long>(total_bytes));
  // Every member was tried; a file left behind still fails the command.
  return failures ? STATUS_IO : STATUS_OK;
}

}  // namespace

status_t delete_backup(const delete_request& req) {
  if (!req.meta_path || !req.search_dir) return STATUS_INVALID;
  char target_dir[PATH_CAP];
  if (!dir_of_path(req.meta_path, target_dir, sizeof target_dir)) return STATUS_INVALID;
  // Both directories are held alone for a real run (shared for a dry run),
  // from before the first read to the last removal.
  const dir_lock_mode mode = req.dry_run ? DIR_LOCK_SHARED : DIR_LOCK_EXCLUSIVE;
  const dir_lock_request want[] = {{req.search_dir, mode}, {target_dir, mode}};
  dir_lock_set lock;
  status_t s = dir_lock_take(want, 2, &lock);
  if (s == STATUS_OK) s = removal_settle_rewrites(req.search_dir, req.dry_run != 0);
  if (s == STATUS_OK && !removal_same_dir(req.search_dir, target_dir))
    s = removal_settle_rewrites(target_dir, req.dry_run != 0);
  if (s != STATUS_OK) return s;

  std::unique_ptr<backup_header> target(new (std::nothrow) backup_header());
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header());
  if (!target || !scratch) return STATUS_NO_MEMORY;
  s = header_read_known(req.meta_path, target.get());
  if (s != STATUS_OK) return s;

  std::vector<catalog_entry> catalog;
  s = delete_catalog(req, target_dir, &catalog);
  std::vector<delete_member> members;
  if (s == STATUS_OK) s = delete_plan_build(catalog, header_uuid(*target), &members);
  if (s == STATUS_OK) s = remove_members(req, *target, catalog, members, scratch.get());
  catalog_free(&catalog);
  return s;
}
