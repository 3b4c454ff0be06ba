#include "ops/delete.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cli/log.h"
#include "ops/prune_core.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/header.h"

status_t delete_backup(const delete_request& req) {
  if (!req.meta_path || !req.search_dir) return STATUS_INVALID;
  std::unique_ptr<backup_header> target(new (std::nothrow) backup_header);
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  if (!target || !scratch) return STATUS_NO_MEMORY;
  status_t s = header_read(req.meta_path, target.get());
  if (s != STATUS_OK) return s;

  std::vector<catalog_entry> catalog;
  s = catalog_scan(req.search_dir, &catalog);
  if (s != STATUS_OK) return s;
  // The scan takes a missing directory for an empty one. Here that would
  // delete the target alone and leave its dependents, wherever they really
  // are, without a parent: a mistyped directory is refused instead.
  if (catalog.empty()) {
    struct stat st;
    if (fs_stat(req.search_dir, &st) == STATUS_NOT_FOUND) {
      log_write(LOG_ERROR_LEVEL, "cannot open backup directory %s: %s", req.search_dir,
                strerror(ENOENT));
      return STATUS_NOT_FOUND;
    }
  }

  std::vector<delete_member> members;
  s = delete_plan_build(catalog, header_uuid(*target), &members);
  if (s != STATUS_OK) {
    catalog_free(&catalog);
    return s;
  }

  char target_name[HDR_NAME_LEN];
  header_name_copy(*target, target_name);
  const char* action = req.dry_run ? "[dry-run] would delete" : "deleting";
  uint64_t total_bytes = 0;
  size_t count = 0;
  size_t failures = 0;
  for (const delete_member& m : members) {
    const char* meta_path = req.meta_path;
    const uint8_t* id = header_uuid(*target);
    uint8_t kind = header_kind(*target);
    const char* name = target_name;
    if (m.position >= 0) {
      const catalog_entry& e = catalog[static_cast<size_t>(m.position)];
      meta_path = e.meta_path.c_str();
      id = e.uuid;
      kind = e.kind;
      name = e.name.c_str();
    }
    char id_text[UUID_TEXT_SIZE];
    uuid_format(id, id_text);
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' uuid=%s meta=%s", action, kind_text(kind), name, id_text,
              meta_path);
    uint64_t bytes = 0;
    if (remove_backup_files_using(meta_path, req.dry_run, &bytes, scratch.get()) != STATUS_OK) {
      failures++;
    }
    total_bytes += bytes;
    count++;
  }

  catalog_free(&catalog);
  log_write(LOG_INFO_LEVEL, "%s%zu backup(s), %llu byte(s) of image data",
            req.dry_run ? "would delete " : "deleted ", count,
            static_cast<unsigned long long>(total_bytes));
  // Every member was tried; a file left behind still fails the command.
  return failures ? STATUS_IO : STATUS_OK;
}
