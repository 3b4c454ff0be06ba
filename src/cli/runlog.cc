#include "cli/runlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/fs.h"

namespace {

struct runlog_state {
  bool active = false;
  char program_name[64] = "zuv";  // also the syslog identity, so it must outlive openlog
  bool syslog_enabled = true;
  uint64_t syslog_mask = 1;
  uint64_t file_mask = 1;
  FILE* file = nullptr;
};

runlog_state g_runlog;

// A mask value: 1 when absent or empty; otherwise an unsigned number in C
// notation (0x.. hexadecimal, 0.. octal). Anything else warns and gives 1.
uint64_t parse_mask(const char* option, const char* value) {
  if (!value || value[0] == '\0') return 1;
  char* end = nullptr;
  unsigned long mask = strtoul(value, &end, 0);
  if (end == value || *end != '\0') {
    fprintf(stderr, "warning: zuv_runlog: invalid %s value '%s' -- using default 1\n", option,
            value);
    return 1;
  }
  return mask;
}

void write_file_entry(const char* text) {
  char stamp[32] = "";
  time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc)) strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  fprintf(g_runlog.file, "%s [%s] pid=%ld %s\n", stamp, g_runlog.program_name,
          static_cast<long>(getpid()), text);
  fflush(g_runlog.file);
}

// The start and end entries are category bit 0.
void write_lifecycle_entry(const char* text) {
  if (g_runlog.file && (g_runlog.file_mask & 1)) write_file_entry(text);
  if (g_runlog.syslog_enabled && (g_runlog.syslog_mask & 1)) syslog(LOG_INFO, "%s", text);
}

// Opens the log file for appending, created with the process's default
// permissions when missing. Null when it cannot be opened.
FILE* open_log_file(const char* path) {
  int fd = -1;
  if (fs_open(path, O_WRONLY | O_CREAT | O_APPEND, 0666, &fd) != STATUS_OK) return nullptr;
  FILE* f = fdopen(fd, "a");
  if (!f) (void)fs_close(fd);
  return f;
}

}  // namespace

void runlog_init(const runlog_settings& settings, const char* program_name) {
  g_runlog.active = true;
  snprintf(g_runlog.program_name, sizeof g_runlog.program_name, "%s",
           program_name ? program_name : "");
  const char* short_name = g_runlog.program_name;
  if (strncmp(short_name, "zuv_", 4) == 0) short_name += 4;
  const char* log_dir = settings.log_dir;

  g_runlog.syslog_mask = parse_mask("--syslog", settings.syslog_mask);
  g_runlog.file_mask = parse_mask("--log", settings.file_mask);

  g_runlog.syslog_enabled = settings.syslog;
  if (g_runlog.syslog_enabled) openlog(g_runlog.program_name, LOG_PID, LOG_DAEMON);

  if (settings.file) {
    if (make_dirs(log_dir) != STATUS_OK) {
      fprintf(stderr,
              "warning: zuv_runlog: could not create log directory '%s' -- continuing without "
              "logfile\n",
              log_dir);
    } else {
      size_t len = strlen(log_dir);
      const char* sep = (len == 0 || log_dir[len - 1] != '/') ? "/" : "";
      char path[1200];
      snprintf(path, sizeof path, "%s%s%s.log", log_dir, sep, short_name);
      g_runlog.file = open_log_file(path);
      if (!g_runlog.file) {
        fprintf(stderr,
                "warning: zuv_runlog: could not open logfile '%s' -- continuing without "
                "logfile\n",
                path);
      }
    }
  }

  on_exit(runlog_at_exit, nullptr);
  write_lifecycle_entry("started");
}

void runlog_write(uint32_t category_mask, const char* format, ...) {
  // Nothing is sent anywhere before the run log is set up: its default state
  // has syslog enabled, and a stray early call must not reach the host's
  // syslog under a borrowed identity.
  if (!g_runlog.active) return;
  bool to_file = g_runlog.file && (category_mask & static_cast<uint32_t>(g_runlog.file_mask));
  bool to_syslog =
      g_runlog.syslog_enabled && (category_mask & static_cast<uint32_t>(g_runlog.syslog_mask));
  if (!to_file && !to_syslog) return;
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (to_file) write_file_entry(text);
  if (to_syslog) syslog(LOG_INFO, "%s", text);
}

int runlog_active() {
  return g_runlog.active ? 1 : 0;
}

void runlog_at_exit(int exit_status, void*) {
  char text[64];
  if (exit_status >= 0) {
    snprintf(text, sizeof text, "%s exit=%d", "stopped", exit_status);
  } else {
    snprintf(text, sizeof text, "%s", "stopped");
  }
  write_lifecycle_entry(text);
  if (g_runlog.file) {
    fclose(g_runlog.file);
    g_runlog.file = nullptr;
  }
  if (g_runlog.syslog_enabled) closelog();
}
