// Helpers shared by the set-up commands: new files are written beside their
// final path under a temporary name, made durable, and only then renamed into
// place, so a failure never leaves a half-written secret or destroys the file
// it was meant to replace.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/status.h"

// Writes len bytes as lowercase hexadecimal, high half of each byte first,
// followed by a terminating 0: out needs 2 * len + 1 bytes.
void setup_hex_lower(const uint8_t* bytes, size_t len, char* out);

// True when there is a symbolic link at path itself (not in a directory above
// it). Any failure to look counts as "no link": the later exclusive create and
// rename cannot write through a link anyway.
bool setup_path_is_symlink(const char* path);

// A temporary file in the directory of final_path, created exclusively and
// without following links. The path is empty when nothing was created.
struct setup_temp_file {
  std::string path;
  std::string final_path;
};

// Creates the temporary file with the given mode (set exactly with fchmod, so
// the umask cannot loosen or tighten a secret's 0600), writes data, fsyncs and
// closes it. On failure whatever was created is removed and out->path is
// empty. Every failure is STATUS_IO.
[[nodiscard]] status_t setup_temp_write(const char* final_path, mode_t mode, bool exact_mode,
                                        const void* data, size_t len, setup_temp_file* out);

// Removes the temporary file, if any, ignoring failures; empties the path.
void setup_temp_discard(setup_temp_file* tmp);

// Renames every prepared temporary file over its final path, all or nothing:
// a file already at a final path is first moved aside to a temporary name and,
// when a later rename fails, moved back, so after a failure every final path
// holds what it held before. On success the moved-aside files are removed and
// the directories are fsynced. A directory at a final path is never moved:
// nothing is renamed then. Every failure is STATUS_IO; the temporary
// files are discarded either way. STATUS_IO after every rename succeeded means
// the new files are in place but not known durable, or a moved-aside old file
// could not be removed.
[[nodiscard]] status_t setup_commit(setup_temp_file* files, size_t count);
