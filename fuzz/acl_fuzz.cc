// ACL text through the storage server's reader and matcher, dir_path_is_safe
// on arbitrary paths, and acl-add on arbitrary --dir and --key values: every
// line acl-add accepts must read back, as the server reads it, to exactly
// that key and those patterns.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "setup/acl.h"
#include "setup/acl_file.h"

namespace {

std::string trim_blanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) b++;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) e--;
  return s.substr(b, e - b);
}

std::string c_string(const std::string& s) {
  return s.substr(0, strnlen(s.c_str(), s.size()));
}

void check_entries(const std::vector<acl_entry>& entries) {
  for (const acl_entry& e : entries) {
    if (e.pattern_count == 0 || e.pattern_count > ACL_MAX_PATTERNS) abort();
    for (uint32_t i = 0; i < e.pattern_count; i++) {
      size_t n = strnlen(e.patterns[i], sizeof e.patterns[i]);
      if (n == 0 || n > ACL_PATTERN_MAX) abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Arguments reach the program as C strings: each ends at its first 0.
  const std::string key = c_string(in.ConsumeRandomLengthString(96));
  const std::string dirs = c_string(in.ConsumeRandomLengthString(640));
  const std::string dir = c_string(in.ConsumeRandomLengthString(256));
  const std::string text = in.ConsumeRemainingBytesAsString();

  // The reader on the text, line by line and whole.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    size_t counted = 0;
    if (acl_strip_comment(text.data() + pos, end - pos, &counted) == STATUS_OK &&
        counted > end - pos)
      abort();
    pos = end;
  }
  std::vector<acl_entry> entries;
  if (acl_parse_text(text.data(), text.size(), &entries) == STATUS_OK) {
    check_entries(entries);
    if (acl_allows(entries, key.c_str(), dir.c_str()) && !dir_path_is_safe(dir.c_str())) abort();
    for (const acl_entry& e : entries) {
      for (uint32_t i = 0; i < e.pattern_count; i++)
        (void)acl_pattern_matches(e.patterns[i], dir.c_str());
    }
  } else if (!entries.empty()) {
    abort();  // a rejected file leaves the output untouched
  }
  (void)dir_path_is_safe(dirs.c_str());

  // acl-add into an empty file, then the server's reading of it.
  std::string path = fuzz_write_file("fuzz.acl", nullptr, 0);
  acl_add_request req;
  req.acl_file = path.c_str();
  req.dirs = dirs.c_str();
  req.key = key.c_str();
  char key_out[80];
  if (acl_add(req, key_out, sizeof key_out) != STATUS_OK) return 0;
  if (strcmp(key_out, key.c_str()) != 0) abort();
  std::vector<acl_entry> written;
  if (acl_parse_file(path.c_str(), &written) != STATUS_OK) abort();
  if (written.size() != 1) abort();
  const acl_entry* e = acl_find_entry(written, key.c_str());
  if (!e) abort();
  std::vector<std::string> want;
  size_t p = 0;
  while (p <= dirs.size()) {
    size_t comma = dirs.find(',', p);
    if (comma == std::string::npos) comma = dirs.size();
    std::string piece = dirs.substr(p, comma - p);
    p = comma + 1;
    if (!piece.empty()) want.push_back(trim_blanks(piece));
  }
  if (want.size() != e->pattern_count) abort();
  for (size_t i = 0; i < want.size(); i++) {
    if (want[i] != e->patterns[i]) abort();
  }
  return 0;
}
