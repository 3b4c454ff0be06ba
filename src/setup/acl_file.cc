#include "setup/acl_file.h"

#include <fnmatch.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/fs.h"

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_trailing_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool is_comment_mark(char c) {
  return c == '#' || c == ';';
}

std::string_view trim(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && is_blank(s[b])) b++;
  size_t e = s.size();
  while (e > b && is_trailing_space(s[e - 1])) e--;
  return s.substr(b, e - b);
}

// One line after its comment is cut: STATUS_OK with *skip set for an empty
// line, STATUS_OK with *entry filled for an entry, STATUS_INVALID otherwise.
status_t parse_line(std::string_view line, acl_entry* entry, bool* skip) {
  size_t counted = 0;
  if (acl_strip_comment(line.data(), line.size(), &counted) != STATUS_OK) return STATUS_INVALID;
  std::string_view s = trim(line.substr(0, counted));
  *skip = s.empty();
  if (s.empty()) return STATUS_OK;

  size_t key_end = 0;
  while (key_end < s.size() && !is_blank(s[key_end])) key_end++;
  if (key_end == s.size()) return STATUS_INVALID;  // a key without a directory list
  std::string_view key = s.substr(0, key_end);
  std::string_view list = trim(s.substr(key_end));
  if (list.empty()) return STATUS_INVALID;

  acl_entry e;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string_view::npos) comma = list.size();
    std::string_view raw = list.substr(pos, comma - pos);
    pos = comma + 1;
    if (raw.empty()) continue;
    std::string piece(trim(raw));
    if (piece.empty() || !dir_path_is_safe(piece.c_str())) return STATUS_INVALID;
    if (e.pattern_count == ACL_MAX_PATTERNS) return STATUS_INVALID;
    size_t keep = piece.size() < ACL_PATTERN_MAX ? piece.size() : ACL_PATTERN_MAX;
    memcpy(e.patterns[e.pattern_count], piece.data(), keep);
    e.patterns[e.pattern_count][keep] = '\0';
    e.pattern_count++;
  }
  if (e.pattern_count == 0) return STATUS_INVALID;
  sha256_digest(key.data(), key.size(), e.key_sha256);
  *entry = e;
  return STATUS_OK;
}

std::vector<std::string_view> split_components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  for (;;) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) {
      parts.push_back(path.substr(pos));
      return parts;
    }
    parts.push_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
}

int component_matches(std::string_view pattern, std::string_view name) {
  if (pattern.size() > ACL_COMPONENT_MAX || name.size() > ACL_COMPONENT_MAX) return 0;
  std::string p(pattern), n(name);
  return fnmatch(p.c_str(), n.c_str(), FNM_PATHNAME) == 0 ? 1 : 0;
}

}  // namespace

status_t acl_strip_comment(const char* line, size_t len, size_t* out_len) {
  size_t n = len;
  while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) n--;

  const void* eq = memchr(line, '=', n);
  size_t lead_end = n;
  if (eq) {
    lead_end = static_cast<size_t>(static_cast<const char*>(eq) - line) + 1;
    while (lead_end < n && is_blank(line[lead_end])) lead_end++;
  }
  for (size_t i = 0; i < lead_end; i++) {
    if (is_comment_mark(line[i]) && (i == 0 || is_blank(line[i - 1]))) {
      *out_len = i;
      return STATUS_OK;
    }
  }
  if (lead_end == n) {
    *out_len = n;
    return STATUS_OK;
  }

  char quote = line[lead_end];
  if (quote == '"' || quote == '\'') {
    size_t i = lead_end + 1;
    while (i < n && line[i] != quote) {
      if (quote == '"' && line[i] == '\\' && i + 1 < n &&
          (line[i + 1] == '"' || line[i + 1] == '\\'))
        i++;
      i++;
    }
    if (i >= n) return STATUS_INVALID;  // no closing quote
    i++;
    while (i < n && is_blank(line[i])) i++;
    if (i < n && !is_comment_mark(line[i])) return STATUS_INVALID;
    *out_len = i;
    return STATUS_OK;
  }
  for (size_t i = lead_end; i < n; i++) {
    if (is_comment_mark(line[i]) && is_blank(line[i - 1])) {
      *out_len = i;
      return STATUS_OK;
    }
  }
  *out_len = n;
  return STATUS_OK;
}

status_t acl_parse_text(const char* text, size_t len, std::vector<acl_entry>* out) {
  try {
    std::vector<acl_entry> entries;
    size_t pos = 0;
    while (pos < len) {
      // A line is read in pieces of at most ACL_LINE_MAX characters, each
      // ending at its line feed if one comes first; a NUL ends the text the
      // reader sees of that piece.
      size_t avail = len - pos < ACL_LINE_MAX ? len - pos : ACL_LINE_MAX;
      const void* nl = memchr(text + pos, '\n', avail);
      size_t piece =
          nl ? static_cast<size_t>(static_cast<const char*>(nl) - (text + pos)) + 1 : avail;
      std::string_view line(text + pos, piece);
      pos += piece;
      size_t nul = line.find('\0');
      if (nul != std::string_view::npos) line = line.substr(0, nul);

      acl_entry e;
      bool skip = false;
      if (parse_line(line, &e, &skip) != STATUS_OK) return STATUS_INVALID;
      if (!skip) entries.push_back(e);
    }
    *out = std::move(entries);
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}

status_t acl_parse_file(const char* path, std::vector<acl_entry>* out) {
  unique_fd fd;
  status_t s = fs_open_read(path, fd.out());
  if (s == STATUS_NOT_FOUND) return s;
  if (s != STATUS_OK) return STATUS_IO;
  std::vector<char> text;
  try {
    for (;;) {
      size_t have = text.size();
      text.resize(have + READ_CHUNK);
      size_t got = 0;
      s = fs_pread_full(fd.get(), text.data() + have, READ_CHUNK, have, &got);
      if (s != STATUS_OK) return STATUS_IO;
      text.resize(have + got);
      if (got < READ_CHUNK) break;
    }
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  return acl_parse_text(text.data(), text.size(), out);
}

const acl_entry* acl_find_entry(const std::vector<acl_entry>& entries, const char* key) {
  if (!key) return nullptr;
  uint8_t digest[SHA256_SIZE];
  sha256_digest(key, strlen(key), digest);
  for (const acl_entry& e : entries) {
    if (digest_equal(e.key_sha256, digest, SHA256_SIZE)) return &e;
  }
  return nullptr;
}

int acl_pattern_matches(const char* pattern, const char* dir) {
  if (!pattern || !dir) return 0;
  std::string_view p(pattern);
  if (p == "**") return 1;
  if (p.size() > 3 && p.substr(p.size() - 3) == "/**") {
    std::vector<std::string_view> want = split_components(p.substr(0, p.size() - 3));
    std::vector<std::string_view> have = split_components(dir);
    if (have.size() <= want.size()) return 0;
    for (size_t i = 0; i < want.size(); i++) {
      if (!component_matches(want[i], have[i])) return 0;
    }
    return 1;
  }
  return fnmatch(pattern, dir, FNM_PATHNAME) == 0 ? 1 : 0;
}

int acl_allows(const std::vector<acl_entry>& entries, const char* key, const char* dir) {
  const acl_entry* e = acl_find_entry(entries, key);
  if (!e || !dir_path_is_safe(dir)) return 0;
  for (uint32_t i = 0; i < e->pattern_count; i++) {
    if (acl_pattern_matches(e->patterns[i], dir)) return 1;
  }
  return 0;
}
