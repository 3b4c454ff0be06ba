#include "base/log.h"

#include <pthread.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct log_state {
  char program_name[64] = "zuv";
  uint32_t min_level = LOG_INFO_LEVEL;
  pthread_mutex_t lock;
  bool lock_ready = false;
  // The status line shown under the log lines, if any (under the lock).
  char status[256] = "";
  bool status_shown = false;
};

log_state g_log;

const char* level_label(uint32_t level) {
  switch (level) {
    case LOG_DEBUG_LEVEL:
      return "DEBUG";
    case LOG_INFO_LEVEL:
      return "INFO";
    case LOG_WARN_LEVEL:
      return "WARN";
    case LOG_ERROR_LEVEL:
      return "ERROR";
    default:
      return "?";
  }
}

// One write(2) for the whole line; the loop only finishes what a signal or a
// full pipe cut short.
void write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a failed write to standard error is ignored
    data += n;
    len -= static_cast<size_t>(n);
  }
}

constexpr char CLEAR_LINE[] = "\r\033[K";

// Draws the status line; the lock is held.
void status_draw() {
  char buf[sizeof g_log.status + 8];
  int n = snprintf(buf, sizeof buf, "\r%s\033[K", g_log.status);
  if (n > 0) write_all(STDERR_FILENO, buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

bool lock_log() {
  return g_log.lock_ready && pthread_mutex_lock(&g_log.lock) == 0;
}

void unlock_log(bool locked) {
  if (locked) pthread_mutex_unlock(&g_log.lock);
}

}  // namespace

void log_init(const char* program_name, uint32_t min_level) {
  snprintf(g_log.program_name, sizeof g_log.program_name, "%s", program_name ? program_name : "");
  g_log.min_level = min_level;
  if (!g_log.lock_ready) {
    pthread_mutex_init(&g_log.lock, nullptr);
    g_log.lock_ready = true;
  }
}

void log_write(uint32_t level, const char* format, ...) {
  if (level < g_log.min_level) return;
  char stamp[32] = "";
  time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc)) strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);

  // The whole line is formatted first and written with one call, so that the
  // lines of two runs sharing a terminal, a pipe or the journal never
  // interleave. Most lines fit the buffer on the stack; a longer one (a list
  // of names) gets a buffer of its own, and is cut to the stack buffer only
  // when that cannot be had.
  char small[1024];
  int prefix =
      snprintf(small, sizeof small, "%s [%s] %-5s ", stamp, g_log.program_name, level_label(level));
  if (prefix < 0) return;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const size_t room = sizeof small - static_cast<size_t>(prefix);
  int text = vsnprintf(small + prefix, room, format, args);
  va_end(args);
  if (text < 0) text = 0;
  char* line = small;
  char* large = nullptr;
  size_t len = static_cast<size_t>(prefix) + static_cast<size_t>(text);
  if (static_cast<size_t>(text) + 1 >= room) {
    large = static_cast<char*>(malloc(len + 2));
    if (large) {
      memcpy(large, small, static_cast<size_t>(prefix));
      vsnprintf(large + prefix, static_cast<size_t>(text) + 1, format, again);
      line = large;
    } else {
      len = sizeof small - 2;  // cut, but still whole as a line
    }
  }
  va_end(again);
  line[len++] = '\n';

  bool locked = lock_log();
  fflush(stderr);  // whatever stdio still holds goes first
  if (g_log.status_shown) write_all(STDERR_FILENO, CLEAR_LINE, sizeof CLEAR_LINE - 1);
  write_all(STDERR_FILENO, line, len);
  if (g_log.status_shown) status_draw();
  unlock_log(locked);
  free(large);
}

void log_status_show(const char* text) {
  bool locked = lock_log();
  // Cut at the first line feed or carriage return: the status line is one row.
  size_t n = strcspn(text, "\r\n");
  if (n >= sizeof g_log.status) n = sizeof g_log.status - 1;
  memcpy(g_log.status, text, n);
  g_log.status[n] = '\0';
  g_log.status_shown = true;
  status_draw();
  unlock_log(locked);
}

void log_status_clear() {
  bool locked = lock_log();
  if (g_log.status_shown) write_all(STDERR_FILENO, CLEAR_LINE, sizeof CLEAR_LINE - 1);
  g_log.status_shown = false;
  g_log.status[0] = '\0';
  unlock_log(locked);
}
