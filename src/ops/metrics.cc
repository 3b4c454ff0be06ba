#include "ops/metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/fs.h"
#include "base/log.h"
#include "store/naming.h"

namespace {

// Length of the well-formed UTF-8 sequence at s (at most n bytes), or 0 when
// none starts there: overlong forms, surrogates and code points past
// U+10FFFF are not well-formed.
size_t utf8_sequence(const unsigned char* s, size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; i++)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return len;
}

void append_label_value(std::string* out, const char* value) {
  const auto* s = reinterpret_cast<const unsigned char*>(value);
  size_t n = strlen(value);
  while (n > 0) {
    size_t len = utf8_sequence(s, n);
    if (len == 0) {
      *out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
      len = 1;
    } else if (*s == '\\') {
      *out += "\\\\";
    } else if (*s == '"') {
      *out += "\\\"";
    } else if (*s == '\n') {
      *out += "\\n";
    } else {
      out->append(reinterpret_cast<const char*>(s), len);
    }
    s += len;
    n -= len;
  }
}

void append_gauge(std::string* out, const char* name, const char* help, const std::string& label,
                  const char* value) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += " gauge\n";
  *out += name;
  *out += label;
  *out += ' ';
  *out += value;
  *out += '\n';
}

void append_gauge(std::string* out, const char* name, const char* help, const std::string& label,
                  unsigned long long value) {
  char text[32];
  snprintf(text, sizeof text, "%llu", value);
  append_gauge(out, name, help, label, text);
}

// A temporary name beside path that is not yet taken, created with O_EXCL
// and never through a link.
status_t create_temp(const char* path, std::string* tmp, int* fd) {
  status_t s = STATUS_EXISTS;
  for (unsigned attempt = 0; attempt < 100 && s == STATUS_EXISTS; attempt++) {
    char name[PATH_CAP];
    int n =
        snprintf(name, sizeof name, "%s.%ld-%u.tmp", path, static_cast<long>(getpid()), attempt);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
      errno = ENAMETOOLONG;
      return STATUS_INVALID;
    }
    s = fs_create_new(name, 0644, fd);
    if (s == STATUS_OK) *tmp = name;
  }
  return s;
}

status_t write_replace(const char* path, const std::string& text, int* err) {
  std::string tmp;
  unique_fd fd;
  status_t s = create_temp(path, &tmp, fd.out());
  if (s != STATUS_OK) {
    *err = errno;
    return s;
  }
  size_t put = 0;
  s = fs_pwrite_all(fd.get(), text.data(), text.size(), 0, &put);
  if (s == STATUS_OK && put != text.size()) {
    errno = ENOSPC;
    s = STATUS_IO;
  }
  if (s == STATUS_OK) s = fs_fsync(fd.get());
  if (s == STATUS_OK) s = fd.close();
  if (s == STATUS_OK) s = fs_rename(tmp.c_str(), path);
  if (s != STATUS_OK) {
    *err = errno;
    // Unlike a backup's temporary files, nothing is learnt from this one:
    // it would only lie in the collector's directory.
    (void)fd.close();
    (void)fs_remove(tmp.c_str());
    return s;
  }
  s = fs_fsync_parent(path);
  if (s != STATUS_OK) *err = errno;
  return s;
}

}  // namespace

std::string metrics_scrub_text(const char* backup_dir, const scrub_totals& t) {
  std::string label = "{dir=\"";
  append_label_value(&label, backup_dir);
  label += "\"}";
  std::string out;
  append_gauge(&out, "zuv_scrub_blocks_checked",
               "Blocks with data read and verified by the last scrub of the directory.", label,
               t.blocks_checked);
  append_gauge(&out, "zuv_scrub_blocks_bad",
               "Blocks the last scrub found damaged (bit rot, failed authentication).", label,
               t.blocks_bad);
  append_gauge(&out, "zuv_scrub_files_skipped",
               "Encrypted backups the last scrub skipped for want of --decrypt-key-file.", label,
               t.files_skipped);
  append_gauge(&out, "zuv_scrub_files_unverified",
               "Meta files the last scrub could not verify (unreadable, damaged, image missing).",
               label, t.files_unverified);
  append_gauge(&out, "zuv_scrub_bytes_read",
               "Payload bytes the last scrub read from the image files.", label, t.bytes_read);
  char duration[32];
  snprintf(duration, sizeof duration, "%.3f", t.duration_seconds);
  append_gauge(&out, "zuv_scrub_duration_seconds", "How long the last scrub ran.", label, duration);
  append_gauge(&out, "zuv_scrub_last_run_timestamp_seconds",
               "Unix time at which the last scrub ended.", label,
               static_cast<unsigned long long>(t.finished_at > 0 ? t.finished_at : 0));
  append_gauge(&out, "zuv_scrub_success",
               "1 when the last scrub verified every block it had to and failed nothing, else 0.",
               label, t.status == STATUS_OK ? 1ULL : 0ULL);
  return out;
}

status_t metrics_write_scrub(const char* path, const char* backup_dir, const scrub_totals& t) {
  int err = 0;
  status_t s = STATUS_NO_MEMORY;
  try {
    s = write_replace(path, metrics_scrub_text(backup_dir, t), &err);
  } catch (const std::bad_alloc&) {
    err = ENOMEM;
  }
  if (s != STATUS_OK)
    log_write(LOG_ERROR_LEVEL, "cannot write --metrics-file %s: %s", path, fs_strerror(err));
  return s;
}
