#include "store/catalog.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "base/fs.h"
#include "base/log.h"
#include "store/naming.h"

namespace {

constexpr size_t CATALOG_INITIAL = 16;

// True when the directory entry itself is gone (removed since the listing),
// as opposed to a name that stays but cannot be opened (a dangling link).
bool entry_gone(const char* path) {
  struct stat st;
  return fs_lstat(path, &st) == STATUS_NOT_FOUND;
}

// The reason a scan gives for an entry it skips, or null when it fails the
// scan (or, counting, logs the entry as a read error).
const char* skip_reason(status_t s, int err, bool counting) {
  if (s == STATUS_CORRUPT) return "corrupt or incomplete header";
  if (s == STATUS_NOT_SUPPORTED) return "newer format version";
  if (counting && s == STATUS_NOT_FOUND) return "dangling symbolic link";
  if (counting && s == STATUS_IO && err == FS_ERR_NOT_REGULAR) return fs_strerror(err);
  return nullptr;
}

// With unreadable null, as catalog_scan; otherwise as catalog_scan_counting,
// and, quiet, without a line per entry it cannot read.
status_t catalog_scan_into(const char* dir, std::vector<catalog_entry>* entries, backup_header* h,
                           uint64_t* unreadable, bool quiet) {
  unique_dir listing;
  status_t s = fs_dir_open(dir, &listing.dir);
  if (s != STATUS_OK) {
    int err = errno;
    // A store that does not exist yet simply holds no backups.
    if (err == ENOENT) return STATUS_OK;
    log_write(LOG_ERROR_LEVEL, "cannot open backup directory %s: %s", dir, strerror(err));
    return STATUS_IO;
  }

  std::string path;
  for (;;) {
    const char* name = nullptr;
    s = fs_dir_next(&listing.dir, &name);
    if (s != STATUS_OK) {
      // A listing cut short would hide backups from delete and prune, which
      // then could remove a backup something still depends on.
      log_write(LOG_ERROR_LEVEL, "cannot read backup directory %s: %s", dir, strerror(errno));
      return s;
    }
    if (!name) break;
    if (!is_meta_file_name(name)) continue;

    path.assign(dir).append("/").append(name);
    s = header_read_known(path.c_str(), h);
    if (s != STATUS_OK) {
      const int err = errno;
      // A file removed since the listing is no backup. A dangling link is a
      // name that stays: for a removal it counts like any unreadable entry.
      if (s == STATUS_NOT_FOUND && (!unreadable || entry_gone(path.c_str()))) continue;
      const char* reason = skip_reason(s, err, unreadable != nullptr);
      if (quiet) {
        // said by the caller's own reading of the directory
      } else if (reason) {
        log_write(LOG_WARN_LEVEL, "skipping %s: %s", path.c_str(), reason);
      } else {
        log_write(LOG_ERROR_LEVEL, "cannot read backup header %s (%s, status=%d)", path.c_str(),
                  status_message(s), s);
      }
      // For a removal every entry that cannot be read counts, whatever the
      // reason, and the scan goes on so that the count is whole: the backup
      // it may hold takes part in chains nobody can see.
      if (s == STATUS_NO_MEMORY || (!unreadable && !reason)) return s;
      if (unreadable) (*unreadable)++;
      continue;
    }

    catalog_entry e;
    e.meta_path = path;
    memcpy(e.uuid, header_uuid(*h), UUID_SIZE);
    memcpy(e.parent_uuid, header_parent_uuid(*h), UUID_SIZE);
    e.kind = header_kind(*h);
    char text[HDR_NAME_LEN];
    header_name_copy(*h, text);
    e.name = text;
    e.created = header_created(*h);
    e.retain_until = header_retain_until(*h);
    entries->push_back(std::move(e));
  }
  return STATUS_OK;
}

status_t scan(const char* dir, std::vector<catalog_entry>* out, uint64_t* unreadable, bool quiet) {
  std::vector<catalog_entry> entries;
  uint64_t count = 0;
  status_t s;
  try {
    entries.reserve(CATALOG_INITIAL);
    // One header area for the whole scan, zeroed once: only the known fields
    // are read into it, and only those of the table above are kept.
    auto h = std::make_unique<backup_header>();
    s = catalog_scan_into(dir, &entries, h.get(), unreadable ? &count : nullptr, quiet);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  if (s != STATUS_OK) return s;
  out->swap(entries);
  if (unreadable) *unreadable = count;
  return STATUS_OK;
}

}  // namespace

status_t catalog_scan(const char* dir, std::vector<catalog_entry>* out) {
  return scan(dir, out, nullptr, false);
}

status_t catalog_scan_counting(const char* dir, std::vector<catalog_entry>* out,
                               uint64_t* unreadable) {
  return scan(dir, out, unreadable, false);
}

status_t catalog_scan_counting_quiet(const char* dir, std::vector<catalog_entry>* out,
                                     uint64_t* unreadable) {
  return scan(dir, out, unreadable, true);
}

void catalog_free(std::vector<catalog_entry>* entries) {
  std::vector<catalog_entry>().swap(*entries);
}
