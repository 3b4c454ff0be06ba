#include "setup/acl.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "setup/acl_file.h"
#include "setup/setup_file.h"
#include "store/fs.h"

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

// Appends line to the ACL file. An ACL file made here is 0600 from the start
// (it holds API keys in clear text); an existing one keeps its mode. On a
// failed write the file is cut back to its old length, so no partial line
// is left for the server to reject or to glue to the next entry.
status_t append_line(const char* path, const std::string& line) {
  unique_fd fd;
  bool created = false;
  status_t s = fs_open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600,
                       fd.out());
  if (s == STATUS_OK) {
    created = true;
    if (fs_fchmod(fd.get(), 0600) != STATUS_OK) {
      (void)fd.close();
      (void)fs_remove(path);
      return STATUS_IO;
    }
  } else if (s == STATUS_EXISTS) {
    if (fs_open(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0, fd.out()) != STATUS_OK) return STATUS_IO;
  } else {
    return STATUS_IO;
  }

  uint64_t old_size = 0;
  if (!created) {
    struct stat st;
    if (fs_stat(path, &st) != STATUS_OK) return STATUS_IO;
    old_size = static_cast<uint64_t>(st.st_size);
  }
  // O_APPEND: the kernel puts every write at the end, whatever the offset.
  size_t written = 0;
  s = fs_pwrite_all(fd.get(), line.data(), line.size(), 0, &written);
  if (s == STATUS_OK && written != line.size()) s = STATUS_IO;
  if (s == STATUS_OK) s = fs_fsync(fd.get());
  if (s != STATUS_OK) {
    (void)fs_ftruncate(fd.get(), old_size);
    (void)fd.close();
    if (created) (void)fs_remove(path);
    return STATUS_IO;
  }
  if (fd.close() != STATUS_OK) return STATUS_IO;
  if (created && fs_fsync_parent(path) != STATUS_OK) return STATUS_IO;
  return STATUS_OK;
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
