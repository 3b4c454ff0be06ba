// The block table and the image file of one backup: the in-memory entry, the
// loaded backup (header + verified table + paths), loading and the atomic
// meta file write.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "store/format.h"
#include "store/header.h"

// One block table entry, decoded. The on-disk form is 58 packed bytes
// (store/format.h); block_entry_decode/encode convert.
struct block_entry {
  uint64_t block_id = 0;
  uint64_t offset = 0;
  uint32_t stored_len = 0;
  uint32_t raw_len = 0;
  uint8_t codec = CODEC_NONE;
  uint8_t flags = 0;
  uint8_t sha256[32] = {};
};

void block_entry_decode(const uint8_t src[BLOCK_ENTRY_SIZE], block_entry* out);
void block_entry_encode(const block_entry& e, uint8_t dst[BLOCK_ENTRY_SIZE]);

// True when the entry's lengths fit the buffers a reader sizes from the
// header: stored_len <= block_size (+28 when the backup has a cipher) and
// raw_len <= block_size. A reader refuses entries that fail this rather
// than read past a buffer; how it counts them is the reader's choice.
bool block_entry_fits(const block_entry& e, uint32_t block_size, uint8_t cipher);

struct loaded_backup {
  std::unique_ptr<backup_header> header;  // null until loaded
  std::vector<block_entry> table;         // block_count entries, file order
  std::string meta_path;
  std::string image_path;
};

// Reads the header and the block table of a meta file and verifies the table
// against table_sha256. Statuses: those of header_read; STATUS_INVALID when
// the path has no meta extension; STATUS_CORRUPT when the table is short, its
// digest differs, or block_count cannot be a table of this file (overflow, or
// past its end); STATUS_NO_MEMORY when memory runs out. On failure *out
// holds no table.
[[nodiscard]] status_t backup_load(const char* meta_path, loaded_backup* out);
// Releases the table and header; harmless to call twice or after a failed load.
void backup_release(loaded_backup* b);

// A backup rewritten in place (recompress) gets its new image and its new
// meta file with two renames, and two renames are not one step. The writer
// keeps the old image under a second name, "<image>" BACKUP_SPARE_SUFFIX,
// from before the first rename until both stand, and the new meta file is
// complete and flushed under "<meta>.tmp" before either rename. A run killed
// between the renames so leaves the new image beside the old meta file, a
// pair that does not decode, with both halves of each whole pair on disk.
constexpr const char BACKUP_SPARE_SUFFIX[] = ".recompress.old";

// What a rewrite left of a backup, found without changing anything.
enum backup_pair_state : int {
  BACKUP_PAIR_WHOLE = 0,        // no rewrite left anything: read as it stands
  BACKUP_PAIR_STALE_SPARE = 1,  // whole; only a spare name predates or outlived a swap
  // Killed between the renames: the new meta file "<meta>.tmp" verifies and
  // describes the image in place, which together are the whole new backup.
  BACKUP_PAIR_FINISHABLE = 2,
  // Killed between the renames: the spare is the image the meta file
  // describes, and together they are the whole old backup.
  BACKUP_PAIR_UNDOABLE = 3,
  // A spare and a new meta file that fit neither pair: left as they are.
  BACKUP_PAIR_UNDECIDED = 4,
};
inline bool backup_pair_interrupted(int state) {
  return state == BACKUP_PAIR_FINISHABLE || state == BACKUP_PAIR_UNDOABLE;
}

struct backup_rewrite_view {
  int state = BACKUP_PAIR_WHOLE;
  std::string image, spare, tmp_meta;  // the names looked at
};

// Finds out, by reading only, what a rewrite left of the backup of
// meta_path. Costs one stat when there is no spare image. Statuses:
// STATUS_OK; the status of a file call that could not say, or of a meta file
// beside a spare that cannot be read (the state is then not known);
// STATUS_NO_MEMORY when memory runs out.
[[nodiscard]] status_t backup_rewrite_inspect(const char* meta_path, backup_rewrite_view* out);

// backup_load of the backup as it stands once an interrupted rewrite is
// finished or undone, without changing anything: the new meta file over the
// image in place, or the meta file over the spare. meta_path and image_path
// of *out name the pair that was read; *state says what was found.
[[nodiscard]] status_t backup_load_whole(const char* meta_path, loaded_backup* out, int* state);

// The WARN line of a reader that met an interrupted rewrite and left it.
void backup_warn_interrupted(const char* meta_path);

enum backup_rewrite_outcome : int {
  BACKUP_REWRITE_NONE = 0,      // no interrupted rewrite: nothing was changed
  BACKUP_REWRITE_FINISHED = 1,  // the new meta file was put in place
  BACKUP_REWRITE_UNDONE = 2,    // the old image was put back
};

// Makes the backup of meta_path whole again when a rewrite of it was killed
// between its two renames (BACKUP_PAIR_FINISHABLE: the new meta file is put
// in place; BACKUP_PAIR_UNDOABLE: the old image is put back); the change is
// flushed and logged at WARN. Every other state is left alone. Only for a
// caller holding the directory's exclusive lock: readers use
// backup_load_whole. Statuses: STATUS_OK (with *outcome saying what was
// done), or the status of the file call that failed.
[[nodiscard]] status_t backup_finish_rewrite(const char* meta_path, int* outcome);

// Writes a meta file atomically: a copy of *header with block_count = count,
// header_size = 131072 and table_sha256 recomputed goes to "<dest>.tmp"
// (created new; a leftover there is removed first, see fs_create_temp),
// which is flushed, closed and renamed over dest; the directory is then
// flushed. *header is not modified. On failure dest is untouched and the
// temporary file may remain.
[[nodiscard]] status_t meta_write(const char* dest_path, mode_t mode, const backup_header& header,
                                  const block_entry* entries, size_t count);

// The first half of meta_write: the complete meta file under "<dest>.tmp",
// flushed and closed but not renamed. For a writer that must put another file
// in place first and then wants the meta file to follow at once: the caller
// renames "<dest>.tmp" over dest and flushes the directory.
[[nodiscard]] status_t meta_write_temp(const char* dest_path, mode_t mode,
                                       const backup_header& header, const block_entry* entries,
                                       size_t count);
