// The lock a run takes on a backup directory before it reads anything in it,
// so that two runs never work on one directory at cross purposes (a prune
// removing the backup a recompress is rewriting, two recompress runs sharing
// one temporary image). Readers share it; a run that changes the directory
// holds it alone. It is flock(2) on the directory itself: no lock file is
// added to the store, and the kernel drops the lock when the process ends,
// however it ends.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/fs.h"
#include "base/status.h"

enum dir_lock_mode : int {
  DIR_LOCK_SHARED = 0,     // commands that only read
  DIR_LOCK_EXCLUSIVE = 1,  // commands that write, rename or remove
};

// What one command asks for: a directory as the user gave it, and a mode.
struct dir_lock_request {
  const char* dir = nullptr;
  dir_lock_mode mode = DIR_LOCK_SHARED;
};

// The locks one command holds; released when it goes out of scope.
constexpr size_t DIR_LOCK_MAX = 4;
struct dir_lock_set {
  unique_fd fds[DIR_LOCK_MAX];
  size_t count = 0;
};

// Takes the locks of all requests without waiting, in one fixed order (by
// device and inode), so that two runs asking for the same pair never wait
// on each other crosswise. Requests naming one directory (same device and
// inode, however spelled) are taken once, exclusively when any of them asks
// for that: a second flock of the same process on another descriptor of one
// directory would refuse itself.
//
// STATUS_AGAIN when another run holds a lock that conflicts: the ERROR line
// "another zuv_maintenance run is working on <dir>" is logged, and every
// lock taken so far is released. A directory that does not exist, or a path
// that is no directory, is not locked (the command reports it its own way); one that cannot be
// opened, or a file system that cannot lock, is said once at WARN and the run goes on without that
// lock. Nothing in the directories is changed.
[[nodiscard]] status_t dir_lock_take(const dir_lock_request* requests, size_t count,
                                     dir_lock_set* out);
// Releases every lock of the set (also done by its destructor).
void dir_lock_release(dir_lock_set* set);

// The directory that holds a file: the path up to its last "/", "/" for a
// file in the root, "." for a bare name. Cut at cap; false when it does not fit.
bool dir_of_path(const char* path, char* out, size_t cap);
