#include "base/dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/log.h"

namespace {

struct held_dir {
  const char* dir;  // as the user gave it
  dev_t dev;
  ino_t ino;
  dir_lock_mode mode;
  int fd;
};

// Opens a directory for its lock. -1 and a WARN line when it cannot be
// opened; -1 silently when it does not exist or is no directory (the command
// reports that its own way when it opens it).
int open_for_lock(const char* dir) {
  int fd = -1;
  status_t s = fs_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, &fd);
  if (s == STATUS_OK) return fd;
  const int err = errno;
  if (err != ENOENT && err != ENOTDIR)
    log_write(LOG_WARN_LEVEL, "cannot lock %s (%s); going on without the lock", dir,
              fs_strerror(err));
  return -1;
}

}  // namespace

status_t dir_lock_take(const dir_lock_request* requests, size_t count, dir_lock_set* out) {
  dir_lock_release(out);
  if (count > DIR_LOCK_MAX) return STATUS_INVALID;

  held_dir held[DIR_LOCK_MAX];
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    const int fd = open_for_lock(requests[i].dir);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) != 0) {
      log_write(LOG_WARN_LEVEL, "cannot lock %s (%s); going on without the lock", requests[i].dir,
                fs_strerror(errno));
      (void)fs_close(fd);
      continue;
    }
    size_t k = 0;
    while (k < n && !(held[k].dev == st.st_dev && held[k].ino == st.st_ino)) k++;
    if (k < n) {
      // One directory under two names: one lock, the stronger of the two.
      held[k].mode = std::max(held[k].mode, requests[i].mode);
      (void)fs_close(fd);
      continue;
    }
    held[n++] = {requests[i].dir, st.st_dev, st.st_ino, requests[i].mode, fd};
  }
  // A handful of entries: insertion sort by (device, inode).
  for (size_t i = 1; i < n; i++) {
    for (size_t k = i; k > 0; k--) {
      const held_dir& a = held[k - 1];
      const held_dir& b = held[k];
      if (a.dev < b.dev || (a.dev == b.dev && a.ino < b.ino)) break;
      std::swap(held[k - 1], held[k]);
    }
  }

  status_t result = STATUS_OK;
  for (size_t i = 0; i < n; i++) {
    if (result != STATUS_OK) {
      (void)fs_close(held[i].fd);
      continue;
    }
    const int op = (held[i].mode == DIR_LOCK_EXCLUSIVE ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
      rc = flock(held[i].fd, op);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
      out->fds[out->count++] = unique_fd(held[i].fd);
      continue;
    }
    const int err = errno;
    if (err == EWOULDBLOCK) {
      log_write(LOG_ERROR_LEVEL, "another zuv_maintenance run is working on %s", held[i].dir);
      result = STATUS_AGAIN;
    } else {
      // Some network file systems cannot lock at all: the run goes on as
      // it did before there was a lock.
      log_write(LOG_WARN_LEVEL, "cannot lock %s (%s); going on without the lock", held[i].dir,
                fs_strerror(err));
    }
    (void)fs_close(held[i].fd);
  }
  if (result != STATUS_OK) dir_lock_release(out);
  return result;
}

void dir_lock_release(dir_lock_set* set) {
  for (size_t i = 0; i < set->count; i++) (void)set->fds[i].close();
  set->count = 0;
}

bool dir_of_path(const char* path, char* out, size_t cap) {
  const char* slash = strrchr(path, '/');
  const char* dir = ".";
  size_t len = 1;
  if (slash == path) {
    dir = "/";
  } else if (slash) {
    dir = path;
    len = static_cast<size_t>(slash - path);
  }
  if (len >= cap) return false;
  memcpy(out, dir, len);
  out[len] = '\0';
  return true;
}
