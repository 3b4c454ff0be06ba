// File primitives: the one seam between the store and the kernel. Every file
// system call the store, the operations and the set-up commands make goes
// through here, so that errno is mapped to a status in exactly one place
// (status_from_errno) and tests can fail any call (fs_set_fault_hook).
//
// Descriptors are plain ints owned by the caller; -1 holds nothing. No
// primitive logs: the caller words the message. Out parameters are written
// only on success.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/status.h"

// errno -> status: ENOENT STATUS_NOT_FOUND, EAGAIN STATUS_AGAIN, ENOMEM
// STATUS_NO_MEMORY, EEXIST STATUS_EXISTS, EINVAL STATUS_INVALID, everything
// else STATUS_IO.
status_t status_from_errno(int err);

[[nodiscard]] status_t fs_open_read(const char* path, int* out_fd);
// O_WRONLY | O_CREAT | O_TRUNC with the given mode: an existing file is truncated.
[[nodiscard]] status_t fs_create(const char* path, mode_t mode, int* out_fd);
// General open for callers that need other flags (O_EXCL, O_NOFOLLOW, O_DIRECTORY...).
[[nodiscard]] status_t fs_open(const char* path, int flags, mode_t mode, int* out_fd);

// errno of an fs_open_regular that met something other than a regular file.
// Not a kernel value: fs_strerror words it, status_from_errno maps it to
// STATUS_IO.
constexpr int FS_ERR_NOT_REGULAR = 4096;
// Opens path only when it is a regular file. The open itself never blocks
// (O_NONBLOCK, cleared again once the file is known to be regular), so a
// FIFO or a device named like a meta file, an image, a key file or a journal
// is refused at once instead of hanging the run. Anything that is not a
// regular file gives STATUS_IO with errno FS_ERR_NOT_REGULAR (a directory
// too, whether it fails the open as EISDIR or after it). O_NOCTTY and
// O_CLOEXEC are always added.
[[nodiscard]] status_t fs_open_regular(const char* path, int flags, mode_t mode, int* out_fd);
// fs_open_regular that also gives the open file's stat, which it takes anyway.
[[nodiscard]] status_t fs_open_regular_stat(const char* path, int flags, mode_t mode, int* out_fd,
                                            struct stat* out_st);
// Creates a file that must be new: O_WRONLY | O_CREAT | O_EXCL, never
// through a symbolic link (O_NOFOLLOW); STATUS_EXISTS when anything is there.
[[nodiscard]] status_t fs_create_new(const char* path, mode_t mode, int* out_fd);
// Creates a temporary file that must be new: O_WRONLY | O_CREAT | O_EXCL,
// never through a symbolic link (O_NOFOLLOW). A file already at that name is
// a leftover of a killed run, since the caller holds its directory's
// exclusive lock: a regular file or a link there is removed and the create
// tried once more; anything else there gives STATUS_EXISTS.
[[nodiscard]] status_t fs_create_temp(const char* path, mode_t mode, int* out_fd);
// strerror, with "not a regular file" for FS_ERR_NOT_REGULAR.
const char* fs_strerror(int err);
// A negative descriptor gives STATUS_OK without a call.
status_t fs_close(int fd);
inline bool fd_is_open(int fd) {
  return fd >= 0;
}

// Exactly one pread; the count may be short and is 0 at end of file. No retry,
// also not on EINTR.
[[nodiscard]] status_t fs_pread(int fd, void* buf, size_t len, uint64_t offset, size_t* out_count);
// Reads until len bytes arrived or end of file, in as many preads as needed
// (for tables larger than one call can move). EINTR is retried.
[[nodiscard]] status_t fs_pread_full(int fd, void* buf, size_t len, uint64_t offset,
                                     size_t* out_count);
// Writes the whole buffer; EINTR repeats the call; a zero result ends the loop
// with success and a short count (the caller decides what that means).
[[nodiscard]] status_t fs_pwrite_all(int fd, const void* data, size_t len, uint64_t offset,
                                     size_t* out_count);
[[nodiscard]] status_t fs_fsync(int fd);
[[nodiscard]] status_t fs_fchmod(int fd, mode_t mode);
[[nodiscard]] status_t fs_ftruncate(int fd, uint64_t length);
// Atomic replace on one file system; see fs_fsync_parent for durability.
[[nodiscard]] status_t fs_rename(const char* from, const char* to);
[[nodiscard]] status_t fs_remove(const char* path);
// A second name for an existing file (link). Lets a rewrite keep the old
// version reachable until the new one is committed, so it can be put back.
[[nodiscard]] status_t fs_link(const char* existing, const char* new_path);
[[nodiscard]] status_t fs_mkdir(const char* path, mode_t mode);
// stat (follows links) / lstat (does not).
[[nodiscard]] status_t fs_stat(const char* path, struct stat* out);
[[nodiscard]] status_t fs_lstat(const char* path, struct stat* out);
[[nodiscard]] status_t fs_fstat(int fd, struct stat* out);
// True when stat succeeds; every failure counts as absent.
bool fs_exists(const char* path);
// Makes a directory's entries durable: opens the directory and fsyncs it.
[[nodiscard]] status_t fs_fsync_dir(const char* dir_path);
// fs_fsync_dir on the directory that holds path ("." when it has no "/").
[[nodiscard]] status_t fs_fsync_parent(const char* path);
// Creates a directory and its missing parents (mode 0777 less the umask).
// STATUS_OK when the directory is there afterwards, new or not;
// STATUS_EXISTS when something that is no directory stands at path;
// STATUS_INVALID for a path of 1100 bytes or more (refused, never cut);
// else the status of the failed mkdir.
[[nodiscard]] status_t make_dirs(const char* path);
// In-kernel copy (copy_file_range) of up to len bytes; falls back to pread +
// pwrite when the kernel cannot. out_copied receives what was copied.
[[nodiscard]] status_t fs_copy_range(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset,
                                     size_t len, size_t* out_copied);
// Writes the dirty pages of [offset, offset + len) of fd out to the disk
// (sync_file_range): with wait, waits until they are written, before and
// after starting (so the pages are clean when it returns); without, only
// starts the write-out. No metadata is written: fs_fsync is still needed for
// durability. A failure is a failure of the writes: an error reported here
// may not be reported to a later fs_fsync of the same descriptor again.
[[nodiscard]] status_t fs_flush_range(int fd, uint64_t offset, uint64_t len, bool wait);

// Directory listing in the order the kernel returns it.
struct fs_dir {
  DIR* handle = nullptr;
};
[[nodiscard]] status_t fs_dir_open(const char* path, fs_dir* out);
// *out_name is the next entry's name, or null at the end; "." and ".." are
// skipped. A failed readdir is an error, never taken for the end.
[[nodiscard]] status_t fs_dir_next(fs_dir* dir, const char** out_name);
void fs_dir_close(fs_dir* dir);

// Wall-clock time in whole unix seconds.
int64_t now_seconds();

// RAII owner of a descriptor. close() reports the result where it matters;
// the destructor closes silently.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) {
      (void)close();
      fd_ = other.release();
    }
    return *this;
  }
  ~unique_fd() { (void)close(); }
  int get() const { return fd_; }
  int* out() {
    (void)close();
    return &fd_;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  status_t close() {
    int fd = release();
    return fs_close(fd);
  }
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// RAII owner of a directory listing.
struct unique_dir {
  fs_dir dir;
  unique_dir() = default;
  unique_dir(const unique_dir&) = delete;
  unique_dir& operator=(const unique_dir&) = delete;
  ~unique_dir() { fs_dir_close(&dir); }
};

// ---- Fault injection seam (tests only; no hook is set in the product) ----

enum fs_op : uint8_t {
  FS_OP_OPEN,
  FS_OP_CLOSE,
  FS_OP_PREAD,
  FS_OP_PWRITE,
  FS_OP_FSYNC,
  FS_OP_FCHMOD,
  FS_OP_FTRUNCATE,
  FS_OP_RENAME,
  FS_OP_REMOVE,
  FS_OP_MKDIR,
  FS_OP_STAT,
  FS_OP_OPENDIR,
  FS_OP_READDIR,
  FS_OP_COPY,
  FS_OP_LINK,
};

// What the hook asks of one call: err != 0 makes the call fail with that errno
// without touching the disk; max_len != 0 cuts a read, write or copy to at
// most that many bytes (a short transfer).
struct fs_fault {
  int err = 0;
  size_t max_len = 0;
};

// path is the call's path where it has one, else null.
using fs_fault_hook = fs_fault (*)(fs_op op, const char* path, void* ctx);

// Installs (or, with null, removes) the hook. Not thread-safe; tests only.
void fs_set_fault_hook(fs_fault_hook hook, void* ctx);

// ---- Work inside one open directory ----
//
// A command that lists a directory and then acts on what it found does both
// through one descriptor of that directory: a name is looked up in the
// directory that was listed, never again by a path whose components someone
// could swap for a link in between. name is one entry of the directory (the
// fault hook sees it as the call's path).

// openat(dir_fd, name, flags, mode). O_CLOEXEC is always added.
[[nodiscard]] status_t fs_openat(int dir_fd, const char* name, int flags, mode_t mode, int* out_fd);
// As fs_open_regular, relative to dir_fd: never blocks, and anything other
// than a regular file is STATUS_IO with errno FS_ERR_NOT_REGULAR. With
// O_NOFOLLOW in flags a link at name is not followed (ELOOP, STATUS_IO).
[[nodiscard]] status_t fs_openat_regular(int dir_fd, const char* name, int flags, mode_t mode,
                                         int* out_fd);
// fstatat with the given flags (AT_SYMLINK_NOFOLLOW to look at a link itself).
[[nodiscard]] status_t fs_fstatat(int dir_fd, const char* name, struct stat* out, int flags);
// Removes the entry name of dir_fd (not a directory). A link is removed
// itself, never what it points to.
[[nodiscard]] status_t fs_unlinkat(int dir_fd, const char* name);
// A listing of the directory open at dir_fd, with a read position of its
// own; dir_fd stays open and owned by the caller.
[[nodiscard]] status_t fs_dir_open_at(int dir_fd, fs_dir* out);
