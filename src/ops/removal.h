// What prune and delete share around their plans: the catalog they may act
// on only when every meta file in it could be read, the rewrites they put
// right first, and the removals themselves (store/backup_removal.h), which
// keep every ancestor a failed removal still needs.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "base/status.h"
#include "store/backup.h"
#include "store/catalog.h"
#include "store/uuid.h"

// The ERROR line that refuses a removal for count meta files of dir (as the
// user gave it) that catalog_scan_counting could not read. A removal then
// removes nothing: a backup nobody can read may depend on one the plan would
// remove (a newer agent's DIFF on its FULL), or be the one that keeps it.
void removal_refuse_unreadable(const char* dir, uint64_t count);

// Every recompress of dir that was killed between its two renames is
// finished or undone (backup_finish_rewrite), and spare images left without
// a swap are removed: the run holds dir alone. With dry_run nothing is
// changed and each interrupted one is only reported (backup_warn_interrupted).
// STATUS_OK, or the status of the first call that failed.
[[nodiscard]] status_t removal_settle_rewrites(const char* dir, bool dry_run);

// True when a and b name one directory (device and inode), however spelled.
bool removal_same_dir(const char* a, const char* b);

// Removals run deepest first, so every dependent of a backup is met before
// it. A backup whose meta file stays (its removal failed) still needs its
// whole chain: its parent, and so every ancestor, is kept in this run.
class removal_guard {
 public:
  // True when a backup depending on the one with this uuid stayed: the
  // WARN line "keeping <meta_path>: ..." is logged, and its own parent is
  // kept in turn.
  bool keeps(const uint8_t uuid[UUID_SIZE], const uint8_t parent_uuid[UUID_SIZE],
             const char* meta_path);
  // Removes one backup's files (remove_backup_files_using, scratch as its
  // header area); when its meta file stays, its parent is kept.
  [[nodiscard]] status_t remove(const char* meta_path, const uint8_t parent_uuid[UUID_SIZE],
                                int32_t dry_run, backup_header* scratch, uint64_t* out_image_bytes);

 private:
  // The backup whose parent is parent_uuid stays.
  void stays(const uint8_t parent_uuid[UUID_SIZE]);

  using key = std::array<uint8_t, UUID_SIZE>;
  std::set<key> kept_;
  // Memory ran out while a parent was noted: nothing more is removed.
  bool keep_all_ = false;
};
