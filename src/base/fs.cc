#include "base/fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/memory.h"

namespace {

fs_fault_hook g_hook = nullptr;
void* g_hook_ctx = nullptr;

// Asks the test hook about one call. Returns true when the call must fail; errno
// is then set to the injected error.
bool fault_fails(fs_op op, const char* path, size_t* len) {
  if (!g_hook) return false;
  fs_fault f = g_hook(op, path, g_hook_ctx);
  if (f.err != 0) {
    errno = f.err;
    return true;
  }
  if (len && f.max_len != 0 && *len > f.max_len) *len = f.max_len;
  return false;
}

// Moves len bytes in as many calls (call(done, want), a pread or a pwrite) as
// it takes: EINTR repeats a call, and a call that moves nothing ends the loop
// with the count so far.
template <class Call>
status_t transfer_all(fs_op op, size_t len, size_t* out_count, Call call) {
  size_t done = 0;
  while (done < len) {
    size_t want = len - done;
    // An injected failure takes the same path as a real one, so an injected
    // EINTR is retried like the kernel's.
    ssize_t n = fault_fails(op, nullptr, &want) ? -1 : call(done, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return status_from_errno(errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (out_count) *out_count = done;
  return STATUS_OK;
}

}  // namespace

void fs_set_fault_hook(fs_fault_hook hook, void* ctx) {
  g_hook = hook;
  g_hook_ctx = ctx;
}

status_t status_from_errno(int err) {
  switch (err) {
    case ENOENT:
      return STATUS_NOT_FOUND;
    case EAGAIN:
      return STATUS_AGAIN;
    case ENOMEM:
      return STATUS_NO_MEMORY;
    case EEXIST:
      return STATUS_EXISTS;
    case EINVAL:
      return STATUS_INVALID;
    default:
      return STATUS_IO;
  }
}

status_t fs_open(const char* path, int flags, mode_t mode, int* out_fd) {
  if (fault_fails(FS_OP_OPEN, path, nullptr)) return status_from_errno(errno);
  int fd = ::open(path, flags, mode);
  if (fd < 0) return status_from_errno(errno);
  *out_fd = fd;
  return STATUS_OK;
}

status_t fs_open_regular(const char* path, int flags, mode_t mode, int* out_fd) {
  struct stat st;
  return fs_open_regular_stat(path, flags, mode, out_fd, &st);
}

status_t fs_open_regular_stat(const char* path, int flags, mode_t mode, int* out_fd,
                              struct stat* out_st) {
  int fd = -1;
  status_t s = fs_open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode, &fd);
  if (s != STATUS_OK) {
    // A directory fails the open (EISDIR) and a FIFO without a reader fails
    // a non-blocking open for writing (ENXIO): both are what they are, not
    // a fault of the disk.
    const int err = errno;
    struct stat st;
    if ((err == EISDIR || err == ENXIO) && ::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
      errno = FS_ERR_NOT_REGULAR;
      return STATUS_IO;
    }
    errno = err;
    return s;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return status_from_errno(err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = FS_ERR_NOT_REGULAR;
    return STATUS_IO;
  }
  // Blocking again: on a regular file the flag changes nothing today, but
  // later reads and writes must never see EAGAIN.
  // F_SETFL changes only the status flags (O_APPEND, O_NONBLOCK, O_DIRECT,
  // O_NOATIME, O_ASYNC), so the flags of the open itself serve without an
  // F_GETFL: a scan opens thousands of meta files.
  if ((flags & O_NONBLOCK) == 0) {
    if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return status_from_errno(err);
    }
  }
  *out_fd = fd;
  *out_st = st;
  return STATUS_OK;
}

status_t fs_create_new(const char* path, mode_t mode, int* out_fd) {
  return fs_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode, out_fd);
}

status_t fs_create_temp(const char* path, mode_t mode, int* out_fd) {
  status_t s = fs_create_new(path, mode, out_fd);
  if (s != STATUS_EXISTS) return s;
  struct stat st;
  s = fs_lstat(path, &st);
  if (s == STATUS_OK && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    return STATUS_EXISTS;
  }
  if (s == STATUS_OK) s = fs_remove(path);
  if (s != STATUS_OK && s != STATUS_NOT_FOUND) return s;
  return fs_create_new(path, mode, out_fd);
}

const char* fs_strerror(int err) {
  if (err == FS_ERR_NOT_REGULAR) return "not a regular file";
  return strerror(err);
}

status_t fs_open_read(const char* path, int* out_fd) {
  return fs_open(path, O_RDONLY, 0, out_fd);
}

status_t fs_create(const char* path, mode_t mode, int* out_fd) {
  return fs_open(path, O_WRONLY | O_CREAT | O_TRUNC, mode, out_fd);
}

status_t fs_close(int fd) {
  if (fd < 0) return STATUS_OK;
  if (fault_fails(FS_OP_CLOSE, nullptr, nullptr)) {
    ::close(fd);  // the descriptor is released either way
    return status_from_errno(EIO);
  }
  if (::close(fd) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_pread(int fd, void* buf, size_t len, uint64_t offset, size_t* out_count) {
  if (fault_fails(FS_OP_PREAD, nullptr, &len)) return status_from_errno(errno);
  ssize_t n = ::pread(fd, buf, len, static_cast<off_t>(offset));
  if (n < 0) return status_from_errno(errno);
  if (out_count) *out_count = static_cast<size_t>(n);
  return STATUS_OK;
}

status_t fs_pread_full(int fd, void* buf, size_t len, uint64_t offset, size_t* out_count) {
  auto* p = static_cast<uint8_t*>(buf);
  return transfer_all(FS_OP_PREAD, len, out_count, [&](size_t done, size_t want) {
    return ::pread(fd, p + done, want, static_cast<off_t>(offset + done));
  });
}

status_t fs_pwrite_all(int fd, const void* data, size_t len, uint64_t offset, size_t* out_count) {
  const auto* p = static_cast<const uint8_t*>(data);
  return transfer_all(FS_OP_PWRITE, len, out_count, [&](size_t done, size_t want) {
    return ::pwrite(fd, p + done, want, static_cast<off_t>(offset + done));
  });
}

status_t fs_fsync(int fd) {
  if (fault_fails(FS_OP_FSYNC, nullptr, nullptr)) return status_from_errno(errno);
  if (::fsync(fd) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_fchmod(int fd, mode_t mode) {
  if (fault_fails(FS_OP_FCHMOD, nullptr, nullptr)) return status_from_errno(errno);
  if (::fchmod(fd, mode) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_ftruncate(int fd, uint64_t length) {
  if (fault_fails(FS_OP_FTRUNCATE, nullptr, nullptr)) return status_from_errno(errno);
  if (::ftruncate(fd, static_cast<off_t>(length)) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_rename(const char* from, const char* to) {
  if (fault_fails(FS_OP_RENAME, to, nullptr)) return status_from_errno(errno);
  if (::rename(from, to) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_remove(const char* path) {
  if (fault_fails(FS_OP_REMOVE, path, nullptr)) return status_from_errno(errno);
  if (::remove(path) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_link(const char* existing, const char* new_path) {
  if (fault_fails(FS_OP_LINK, new_path, nullptr)) return status_from_errno(errno);
  if (::link(existing, new_path) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_mkdir(const char* path, mode_t mode) {
  if (fault_fails(FS_OP_MKDIR, path, nullptr)) return status_from_errno(errno);
  if (::mkdir(path, mode) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_stat(const char* path, struct stat* out) {
  if (fault_fails(FS_OP_STAT, path, nullptr)) return status_from_errno(errno);
  struct stat st;
  if (::stat(path, &st) != 0) return status_from_errno(errno);
  *out = st;
  return STATUS_OK;
}

status_t fs_lstat(const char* path, struct stat* out) {
  if (fault_fails(FS_OP_STAT, path, nullptr)) return status_from_errno(errno);
  struct stat st;
  if (::lstat(path, &st) != 0) return status_from_errno(errno);
  *out = st;
  return STATUS_OK;
}

status_t fs_fstat(int fd, struct stat* out) {
  if (fault_fails(FS_OP_STAT, nullptr, nullptr)) return status_from_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) return status_from_errno(errno);
  *out = st;
  return STATUS_OK;
}

bool fs_exists(const char* path) {
  struct stat st;
  return fs_stat(path, &st) == STATUS_OK;
}

status_t fs_fsync_dir(const char* dir_path) {
  unique_fd fd;
  status_t s = fs_open(dir_path, O_RDONLY | O_DIRECTORY, 0, fd.out());
  if (s != STATUS_OK) return s;
  s = fs_fsync(fd.get());
  status_t c = fd.close();
  return s != STATUS_OK ? s : c;
}

status_t fs_fsync_parent(const char* path) {
  const char* slash = strrchr(path, '/');
  if (!slash) return fs_fsync_dir(".");
  if (slash == path) return fs_fsync_dir("/");
  // No allocation here: this flush is what makes a removal or a rename
  // durable, and a failure to allocate must not stop a run halfway through
  // one. A directory name this long cannot be opened anyway.
  char dir[PATH_MAX];
  const size_t len = static_cast<size_t>(slash - path);
  if (len >= sizeof dir) {
    errno = ENAMETOOLONG;
    return status_from_errno(errno);
  }
  memcpy(dir, path, len);
  dir[len] = '\0';
  return fs_fsync_dir(dir);
}

status_t make_dirs(const char* path) {
  if (!path) return STATUS_INVALID;
  char buf[1100];
  size_t len = strlen(path);
  // A longer path is refused rather than cut: cutting it would create a
  // directory of another name.
  if (len >= sizeof buf) return STATUS_INVALID;
  memcpy(buf, path, len + 1);
  // Parents first; whether each exists already or fails is settled by the
  // creation of the whole path below.
  for (size_t i = 1; i < len; i++) {
    if (buf[i] != '/') continue;
    buf[i] = '\0';
    (void)fs_mkdir(buf, 0777);
    buf[i] = '/';
  }
  status_t s = fs_mkdir(buf, 0777);
  if (s == STATUS_OK) return STATUS_OK;
  if (s == STATUS_EXISTS) {
    struct stat st;
    if (fs_stat(buf, &st) == STATUS_OK && S_ISDIR(st.st_mode)) return STATUS_OK;
    return STATUS_EXISTS;
  }
  return s;
}

status_t fs_copy_range(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset, size_t len,
                       size_t* out_copied) {
  size_t done = 0;
  bool use_kernel = true;
  std::vector<uint8_t> buf;
  while (done < len) {
    size_t want = len - done;
    if (fault_fails(FS_OP_COPY, nullptr, &want)) {
      if (errno == EINTR) continue;  // as the kernel's EINTR below
      return status_from_errno(errno);
    }
    if (use_kernel) {
      loff_t in_off = static_cast<loff_t>(in_offset + done);
      loff_t out_off = static_cast<loff_t>(out_offset + done);
      ssize_t n = ::copy_file_range(in_fd, &in_off, out_fd, &out_off, want, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
            errno == EBADF) {
          use_kernel = false;  // not on this file system pair; copy through user space
          continue;
        }
        return status_from_errno(errno);
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
      continue;
    }
    if (buf.empty() && memory_resize(&buf, 1u << 20) != STATUS_OK) return STATUS_NO_MEMORY;
    size_t chunk = want < buf.size() ? want : buf.size();
    size_t got = 0;
    status_t s = fs_pread_full(in_fd, buf.data(), chunk, in_offset + done, &got);
    if (s != STATUS_OK) return s;
    if (got == 0) break;
    size_t put = 0;
    s = fs_pwrite_all(out_fd, buf.data(), got, out_offset + done, &put);
    if (s != STATUS_OK) return s;
    done += put;
    if (put < got) break;
  }
  if (out_copied) *out_copied = done;
  return STATUS_OK;
}

status_t fs_flush_range(int fd, uint64_t offset, uint64_t len, bool wait) {
  if (fault_fails(FS_OP_FSYNC, nullptr, nullptr)) return status_from_errno(errno);
  const unsigned flags =
      wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER
           : SYNC_FILE_RANGE_WRITE;
  if (::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(len), flags) != 0)
    return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_dir_open(const char* path, fs_dir* out) {
  if (fault_fails(FS_OP_OPENDIR, path, nullptr)) return status_from_errno(errno);
  DIR* d = ::opendir(path);
  if (!d) return status_from_errno(errno);
  fs_dir_close(out);
  out->handle = d;
  return STATUS_OK;
}

status_t fs_dir_next(fs_dir* dir, const char** out_name) {
  if (!dir->handle) return STATUS_INVALID;
  for (;;) {
    if (fault_fails(FS_OP_READDIR, nullptr, nullptr)) return status_from_errno(errno);
    errno = 0;
    struct dirent* e = ::readdir(dir->handle);
    if (!e) {
      if (errno != 0) return status_from_errno(errno);
      *out_name = nullptr;
      return STATUS_OK;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    *out_name = e->d_name;
    return STATUS_OK;
  }
}

void fs_dir_close(fs_dir* dir) {
  if (dir->handle) {
    ::closedir(dir->handle);
    dir->handle = nullptr;
  }
}

int64_t now_seconds() {
  return static_cast<int64_t>(::time(nullptr));
}

status_t fs_openat(int dir_fd, const char* name, int flags, mode_t mode, int* out_fd) {
  if (fault_fails(FS_OP_OPEN, name, nullptr)) return status_from_errno(errno);
  int fd = ::openat(dir_fd, name, flags | O_CLOEXEC, mode);
  if (fd < 0) return status_from_errno(errno);
  *out_fd = fd;
  return STATUS_OK;
}

status_t fs_openat_regular(int dir_fd, const char* name, int flags, mode_t mode, int* out_fd) {
  unique_fd fd;
  status_t s = fs_openat(dir_fd, name, flags | O_NONBLOCK | O_NOCTTY, mode, fd.out());
  if (s != STATUS_OK) {
    // A directory (EISDIR) or a FIFO without a reader (ENXIO) is what it
    // is, not a fault of the disk.
    const int err = errno;
    struct stat st;
    if ((err == EISDIR || err == ENXIO) && ::fstatat(dir_fd, name, &st, 0) == 0 &&
        !S_ISREG(st.st_mode)) {
      errno = FS_ERR_NOT_REGULAR;
      return STATUS_IO;
    }
    errno = err;
    return s;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return status_from_errno(errno);
  if (!S_ISREG(st.st_mode)) {
    (void)fd.close();
    errno = FS_ERR_NOT_REGULAR;
    return STATUS_IO;
  }
  if ((flags & O_NONBLOCK) == 0) {
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
      const int err = errno;
      (void)fd.close();
      errno = err;
      return status_from_errno(err);
    }
  }
  *out_fd = fd.release();
  return STATUS_OK;
}

status_t fs_fstatat(int dir_fd, const char* name, struct stat* out, int flags) {
  if (fault_fails(FS_OP_STAT, name, nullptr)) return status_from_errno(errno);
  struct stat st;
  if (::fstatat(dir_fd, name, &st, flags) != 0) return status_from_errno(errno);
  *out = st;
  return STATUS_OK;
}

status_t fs_unlinkat(int dir_fd, const char* name) {
  if (fault_fails(FS_OP_REMOVE, name, nullptr)) return status_from_errno(errno);
  if (::unlinkat(dir_fd, name, 0) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

status_t fs_dir_open_at(int dir_fd, fs_dir* out) {
  if (fault_fails(FS_OP_OPENDIR, nullptr, nullptr)) return status_from_errno(errno);
  // "." opened again, not dup'ed: a dup would share the read position.
  const int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return status_from_errno(errno);
  DIR* d = ::fdopendir(fd);
  if (!d) {
    const int err = errno;
    ::close(fd);
    return status_from_errno(err);
  }
  fs_dir_close(out);
  out->handle = d;
  return STATUS_OK;
}
