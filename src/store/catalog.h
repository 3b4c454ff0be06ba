// Catalog scan: which backups a directory holds, from their headers alone.
// The uuid index over a catalog is store/catalog_index.h; the chain of one
// backup, found through it, is store/chain.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "store/backup.h"
#include "store/uuid.h"

struct catalog_entry {
  std::string meta_path;  // "<dir>/<file name>"
  uint8_t uuid[UUID_SIZE] = {};
  uint8_t parent_uuid[UUID_SIZE] = {};
  uint8_t kind = KIND_FULL;
  std::string name;  // header name up to its first 0 byte, at most 63 bytes
  int64_t created = 0;
  int64_t retain_until = 0;
};

// Lists the meta files of one directory (not its subdirectories) in listing
// order. A missing directory is an empty catalog. Damaged or newer headers
// are skipped with a WARN line, vanished files silently; any other header
// read failure fails the scan with an ERROR line.
[[nodiscard]] status_t catalog_scan(const char* dir, std::vector<catalog_entry>* out);
// The scan a removal needs: an entry named like a meta file that cannot be
// read, for whatever reason (damaged, cut short, newer format version, not a
// regular file, a dangling link, a read error), does not end the scan: it is
// logged (the WARN lines above, "not a regular file" and "dangling symbolic
// link" as their reasons, or the ERROR line of a read error) and counted in
// *unreadable, so that the caller can refuse to remove anything. Only memory
// running out or a directory that cannot be listed fails the scan.
[[nodiscard]] status_t catalog_scan_counting(const char* dir, std::vector<catalog_entry>* out,
                                             uint64_t* unreadable);
// As catalog_scan_counting, for a reader that has already said what it could
// not read in its own words: the entries are counted, not logged again.
[[nodiscard]] status_t catalog_scan_counting_quiet(const char* dir, std::vector<catalog_entry>* out,
                                                   uint64_t* unreadable);
void catalog_free(std::vector<catalog_entry>* entries);
