#include "setup/setup_file.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/fs.h"
#include "base/memory.h"

namespace {

constexpr int NAME_ATTEMPTS = 8;

// A name beside final_path: "<final_path><tag><8 random hex digits>". Empty
// when the random generator fails or the name cannot be allocated.
std::string random_sibling(const std::string& final_path, const char* tag) {
  uint8_t r[4];
  if (RAND_bytes(r, sizeof r) != 1) return std::string();
  char hex[2 * sizeof r + 1];
  setup_hex_lower(r, sizeof r, hex);
  try {
    return final_path + tag + hex;
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

bool path_present(const std::string& path) {
  struct stat st;
  return fs_lstat(path.c_str(), &st) == STATUS_OK;
}

bool path_is_directory(const std::string& path) {
  struct stat st;
  return fs_lstat(path.c_str(), &st) == STATUS_OK && S_ISDIR(st.st_mode);
}

// Best-effort removal on a path that is already failing; its own failure
// changes nothing the caller could act on.
void remove_quietly(const std::string& path) {
  if (!path.empty()) (void)fs_remove(path.c_str());
}

}  // namespace

void setup_hex_lower(const uint8_t* bytes, size_t len, char* out) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < len; i++) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0x0f];
  }
  out[2 * len] = '\0';
}

bool setup_path_is_symlink(const char* path) {
  struct stat st;
  return fs_lstat(path, &st) == STATUS_OK && S_ISLNK(st.st_mode);
}

status_t setup_temp_write(const char* final_path, mode_t mode, bool exact_mode, const void* data,
                          size_t len, setup_temp_file* out) {
  out->path.clear();
  try {
    out->final_path = final_path;
  } catch (const std::bad_alloc&) {
    return STATUS_IO;
  }
  unique_fd fd;
  std::string tmp;
  for (int attempt = 0; attempt < NAME_ATTEMPTS; attempt++) {
    tmp = random_sibling(out->final_path, ".tmp-");
    if (tmp.empty()) return STATUS_IO;
    status_t s =
        fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode, fd.out());
    if (s == STATUS_OK) break;
    if (s != STATUS_EXISTS) return STATUS_IO;
    tmp.clear();
  }
  if (tmp.empty()) return STATUS_IO;
  out->path = std::move(tmp);  // no allocation once the file exists

  size_t written = 0;
  status_t s = STATUS_OK;
  if (exact_mode) s = fs_fchmod(fd.get(), mode);
  if (s == STATUS_OK) s = fs_pwrite_all(fd.get(), data, len, 0, &written);
  if (s == STATUS_OK && written != len) s = STATUS_IO;
  if (s == STATUS_OK) s = fs_fsync(fd.get());
  status_t c = fd.close();
  if (s == STATUS_OK) s = c;
  if (s != STATUS_OK) {
    setup_temp_discard(out);
    return STATUS_IO;
  }
  return STATUS_OK;
}

void setup_temp_discard(setup_temp_file* tmp) {
  remove_quietly(tmp->path);
  tmp->path.clear();
}

status_t setup_commit(setup_temp_file* files, size_t count) {
  // What has happened to each final path, so a failure can be walked back.
  struct step {
    std::string aside;  // where the old file was moved, or empty
    bool placed = false;
  };
  std::vector<step> steps;
  if (memory_resize(&steps, count) != STATUS_OK) {
    for (size_t i = 0; i < count; i++) setup_temp_discard(&files[i]);
    return STATUS_IO;
  }

  auto undo = [&](size_t upto) {
    for (size_t i = upto + 1; i-- > 0;) {
      const char* final_path = files[i].final_path.c_str();
      if (!steps[i].aside.empty()) {
        (void)fs_rename(steps[i].aside.c_str(), final_path);  // puts the old file back
      } else if (steps[i].placed) {
        remove_quietly(files[i].final_path);  // nothing was there before
      }
    }
    for (size_t i = 0; i < count; i++) setup_temp_discard(&files[i]);
  };

  // A directory is never moved aside: a rename would carry it off whole,
  // and the removal of the moved-aside copy would delete an empty one.
  for (size_t i = 0; i < count; i++) {
    if (path_is_directory(files[i].final_path)) {
      for (size_t k = 0; k < count; k++) setup_temp_discard(&files[k]);
      return STATUS_IO;
    }
  }

  for (size_t i = 0; i < count; i++) {
    // The last rename needs no safety copy: if it fails, its path still holds
    // the old file, and the earlier ones are walked back.
    bool last = i + 1 == count;
    if (!last && path_present(files[i].final_path)) {
      std::string aside;
      for (int attempt = 0; attempt < NAME_ATTEMPTS && aside.empty(); attempt++) {
        aside = random_sibling(files[i].final_path, ".old-");
        if (!aside.empty() && path_present(aside)) aside.clear();
      }
      if (aside.empty() || fs_rename(files[i].final_path.c_str(), aside.c_str()) != STATUS_OK) {
        undo(i);
        return STATUS_IO;
      }
      steps[i].aside = std::move(aside);
    }
    if (fs_rename(files[i].path.c_str(), files[i].final_path.c_str()) != STATUS_OK) {
      undo(i);
      return STATUS_IO;
    }
    steps[i].placed = true;
    files[i].path.clear();
  }

  status_t result = STATUS_OK;
  for (size_t i = 0; i < count; i++) {
    if (fs_fsync_parent(files[i].final_path.c_str()) != STATUS_OK) result = STATUS_IO;
  }
  // A moved-aside file may be an old private key: failing to remove it is
  // reported rather than left behind silently.
  for (size_t i = 0; i < count; i++) {
    if (!steps[i].aside.empty() && fs_remove(steps[i].aside.c_str()) != STATUS_OK)
      result = STATUS_IO;
  }
  return result;
}
