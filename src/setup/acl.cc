#include "setup/acl.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/fs.h"
#include "base/log.h"
#include "setup/setup_file.h"

namespace {

constexpr size_t DIRS_BUFFER = 512;  // the --dir text must fit with its 0
constexpr size_t KEY_MAX = 64;
constexpr size_t GENERATED_KEY_BYTES = 32;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_control(char c) {
  auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}
bool has_control(std::string_view s) {
  for (char c : s)
    if (is_control(c)) return true;
  return false;
}
bool is_comment_mark(char c) {
  return c == '#' || c == ';';
}

// Every pattern must reach the server as the pattern meant: the server trims
// blanks around each piece, then rejects the whole file for an unsafe or
// empty piece or a ninth one, and cuts a longer piece to 63 characters.
bool dirs_are_acceptable(const char* dirs) {
  std::string_view list(dirs);
  if (list.size() >= DIRS_BUFFER) return false;
  // A newline would start a second entry of the caller's choosing; other
  // control characters are trimmed away or split the line on the server.
  if (has_control(list)) return false;
  // "#" or ";" at the start (after the blank that follows the key) or after a
  // blank starts a comment, cutting the list or leaving the key without one.
  for (size_t i = 0; i < list.size(); i++) {
    if (is_comment_mark(list[i]) && (i == 0 || is_blank(list[i - 1]))) return false;
  }

  size_t count = 0;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string_view::npos) comma = list.size();
    std::string raw(list.substr(pos, comma - pos));
    pos = comma + 1;
    if (raw.empty()) continue;
    if (!dir_path_is_safe(raw.c_str())) return false;
    size_t b = 0, e = raw.size();
    while (b < e && is_blank(raw[b])) b++;
    while (e > b && is_blank(raw[e - 1])) e--;
    std::string seen = raw.substr(b, e - b);  // the pattern as the server keeps it
    if (seen.empty() || !dir_path_is_safe(seen.c_str())) return false;
    if (seen.size() > ACL_PATTERN_MAX) return false;
    if (++count > ACL_MAX_PATTERNS) return false;
  }
  return count > 0;
}

bool key_is_acceptable(const char* key) {
  std::string_view k(key);
  if (k.empty() || k.size() > KEY_MAX) return false;
  // Blanks end the key; a leading "#" or ";" turns the whole line into a
  // comment, so the entry would silently not exist.
  if (has_control(k) || k.find(' ') != std::string_view::npos || is_comment_mark(k[0]))
    return false;
  return true;
}

// With a "=" in the line, a quote after it (and its blanks) makes the server
// read the rest as a quoted value: an unclosed quote, or text after the
// closing one, rejects the whole file.
bool line_enters_quoted_value(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  size_t i = eq + 1;
  while (i < line.size() && is_blank(line[i])) i++;
  return i < line.size() && (line[i] == '"' || line[i] == '\'');
}

// Writes line at the end of the file open at fd (O_APPEND: the kernel puts
// every write at the end, whatever the offset) and flushes it. On failure
// the file is cut back to old_size, so no partial line is left for the
// server to reject or to glue to the next entry.
status_t write_line(int fd, const std::string& line, uint64_t old_size) {
  size_t written = 0;
  status_t s = fs_pwrite_all(fd, line.data(), line.size(), 0, &written);
  if (s == STATUS_OK && written != line.size()) s = STATUS_IO;
  if (s == STATUS_OK) s = fs_fsync(fd);
  if (s != STATUS_OK) {
    (void)fs_ftruncate(fd, old_size);
    return STATUS_IO;
  }
  return STATUS_OK;
}

// A new ACL file, 0600 from the start: it holds API keys in clear text.
status_t create_with_line(const char* path, unique_fd* fd, const std::string& line) {
  if (fs_fchmod(fd->get(), 0600) != STATUS_OK || write_line(fd->get(), line, 0) != STATUS_OK) {
    (void)fd->close();
    (void)fs_remove(path);
    return STATUS_IO;
  }
  if (fd->close() != STATUS_OK) return STATUS_IO;
  if (fs_fsync_parent(path) != STATUS_OK) return STATUS_IO;
  return STATUS_OK;
}

status_t refuse_file(const char* path) {
  log_write(LOG_ERROR_LEVEL,
            "%s is not a regular file that only its owner can write; refusing to add a key to it",
            path);
  return STATUS_INVALID;
}

// An existing ACL file gets the line only when what is opened is a regular
// file that neither its group nor others can write: anyone who can write it
// can add a key of their own, and anything else (a FIFO, a device) would
// hang the run or swallow the key. A link at the path is followed, as the
// server's own reading follows it. Everything is judged on the descriptor
// that is written, never again by the path.
status_t append_to_existing(const char* path, const std::string& line) {
  unique_fd fd;
  if (fs_open_regular(path, O_RDWR | O_APPEND, 0, fd.out()) != STATUS_OK)
    return errno == FS_ERR_NOT_REGULAR ? refuse_file(path) : STATUS_IO;
  struct stat st;
  if (fs_fstat(fd.get(), &st) != STATUS_OK) return STATUS_IO;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return refuse_file(path);
  // Operators may rely on a file others can read; it still gets the line.
  if ((st.st_mode & S_IROTH) != 0)
    log_write(LOG_WARN_LEVEL,
              "%s is readable by others and holds keys in clear text (chmod 600, or 640 with "
              "the storage server's group)",
              path);

  // A last line without its line feed would be joined to the new one: the
  // server would read one entry of the old key with both lists (or a
  // comment swallowing the new entry). The line feed first keeps the last
  // entry as the server read it before.
  const uint64_t old_size = static_cast<uint64_t>(st.st_size);
  std::string text;
  if (old_size > 0) {
    char last = 0;
    size_t got = 0;
    if (fs_pread(fd.get(), &last, 1, old_size - 1, &got) != STATUS_OK || got != 1) return STATUS_IO;
    if (last != '\n') text = "\n";
  }
  text += line;
  if (write_line(fd.get(), text, old_size) != STATUS_OK) return STATUS_IO;
  return fd.close() == STATUS_OK ? STATUS_OK : STATUS_IO;
}

// Appends line to the ACL file, creating it when there is none (no link
// followed then: the exclusive create fails on any link at the path).
status_t append_line(const char* path, const std::string& line) {
  unique_fd fd;
  status_t s = fs_open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600,
                       fd.out());
  if (s == STATUS_OK) return create_with_line(path, &fd, line);
  if (s == STATUS_EXISTS) return append_to_existing(path, line);
  return STATUS_IO;
}

}  // namespace

int dir_path_is_safe(const char* path) {
  if (!path || !*path) return 0;
  std::string_view p(path);
  size_t pos = 0;
  for (;;) {
    size_t slash = p.find('/', pos);
    std::string_view part = p.substr(pos, slash == std::string_view::npos ? p.npos : slash - pos);
    if (part.empty() || part == "." || part == "..") return 0;
    if (part.find('\\') != std::string_view::npos) return 0;
    if (slash == std::string_view::npos) return 1;
    pos = slash + 1;
  }
}

status_t acl_add(const acl_add_request& req, char* key_out, size_t key_cap) {
  if (!req.acl_file || !req.dirs || !key_out || key_cap <= KEY_MAX) return STATUS_INVALID;
  // Checking the patterns and building the line take memory; without it
  // nothing is written.
  try {
    if (!dirs_are_acceptable(req.dirs)) return STATUS_INVALID;

    std::string key;
    if (req.key) {
      if (!key_is_acceptable(req.key)) return STATUS_INVALID;
      key = req.key;
    } else {
      uint8_t bytes[GENERATED_KEY_BYTES];
      if (RAND_bytes(bytes, sizeof bytes) != 1) return STATUS_IO;
      char hex[2 * GENERATED_KEY_BYTES + 1];
      setup_hex_lower(bytes, sizeof bytes, hex);
      key = hex;
    }

    std::string line = key + " " + req.dirs + "\n";
    if (line_enters_quoted_value(line)) return STATUS_INVALID;
    status_t s = append_line(req.acl_file, line);
    if (s != STATUS_OK) return s;

    size_t n = key.size() < key_cap - 1 ? key.size() : key_cap - 1;
    memcpy(key_out, key.data(), n);
    key_out[n] = '\0';
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}
