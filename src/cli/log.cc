#include "cli/log.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

struct log_state {
  char program_name[64] = "zuv";
  uint32_t min_level = LOG_INFO_LEVEL;
  pthread_mutex_t lock;
  bool lock_ready = false;
};

log_state g_log;

const char* level_label(uint32_t level) {
  switch (level) {
    case LOG_DEBUG_LEVEL: return "DEBUG";
    case LOG_INFO_LEVEL: return "INFO";
    case LOG_WARN_LEVEL: return "WARN";
    case LOG_ERROR_LEVEL: return "ERROR";
    default: return "?";
  }
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

  bool locked = g_log.lock_ready && pthread_mutex_lock(&g_log.lock) == 0;
  fprintf(stderr, "%s [%s] %-5s ", stamp, g_log.program_name, level_label(level));
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  fflush(stderr);
  if (locked) pthread_mutex_unlock(&g_log.lock);
}
