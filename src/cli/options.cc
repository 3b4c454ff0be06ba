#include "cli/options.h"

#include <cstring>

#include "base/log.h"

const option_spec COMMON_OPTIONS[] = {
    {"--help", "-h", 0},
    {"--version", nullptr, 0},
    {"--selftest", nullptr, 0},
    {nullptr, nullptr, 0},
};

const option_spec RUNLOG_OPTIONS[] = {
    {"--no-syslog", nullptr, 0}, {"--no-log", nullptr, 0},   {"--syslog", nullptr, 1},
    {"--log", nullptr, 1},       {"--log-path", nullptr, 1}, {nullptr, nullptr, 0},
};

namespace {

// What follows the long name when arg starts with it: the end of the
// argument, "=", or anything else (then it is another word, such as --dirx).
enum class name_match { NONE, WHOLE, WITH_VALUE };

name_match match_long_name(const char* arg, const char* long_name) {
  size_t n = strlen(long_name);
  if (strncmp(arg, long_name, n) != 0) return name_match::NONE;
  if (arg[n] == '\0') return name_match::WHOLE;
  if (arg[n] == '=') return name_match::WITH_VALUE;
  return name_match::NONE;
}

}  // namespace

const char* opt_value(int argc, char** argv, const char* long_name, const char* alias,
                      const char* fallback) {
  if (argc <= 1 || (!long_name && !alias)) return fallback;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    name_match m = long_name ? match_long_name(arg, long_name) : name_match::NONE;
    if (m == name_match::WITH_VALUE) return arg + strlen(long_name) + 1;
    if (m == name_match::WHOLE || (alias && strcmp(arg, alias) == 0)) {
      // The next argument is the value whatever it looks like ("--level -5").
      return i + 1 < argc ? argv[i + 1] : fallback;
    }
  }
  return fallback;
}

int opt_flag(int argc, char** argv, const char* long_name, const char* alias) {
  if (argc <= 1) return 0;
  for (int i = 1; i < argc; i++) {
    if (long_name && strcmp(argv[i], long_name) == 0) return 1;
    if (alias && strcmp(argv[i], alias) == 0) return 1;
  }
  return 0;
}

runlog_settings opt_runlog_settings(int argc, char** argv) {
  runlog_settings settings;
  settings.syslog = opt_flag(argc, argv, "--no-syslog", nullptr) == 0;
  settings.file = opt_flag(argc, argv, "--no-log", nullptr) == 0;
  settings.syslog_mask = opt_value(argc, argv, "--syslog", nullptr, nullptr);
  settings.file_mask = opt_value(argc, argv, "--log", nullptr, nullptr);
  settings.log_dir = opt_value(argc, argv, "--log-path", nullptr, settings.log_dir);
  return settings;
}

const option_spec* opt_find(const option_spec* table, const char* arg, const char** inline_value) {
  if (!table) return nullptr;
  for (const option_spec* e = table; e->long_name; e++) {
    switch (match_long_name(arg, e->long_name)) {
      case name_match::WHOLE:
        *inline_value = nullptr;
        return e;
      case name_match::WITH_VALUE:
        *inline_value = arg + strlen(e->long_name) + 1;
        // A flag written with a value ("--force=1") is not the flag, and not
        // its alias either.
        if (e->takes_value == 1) return e;
        continue;
      case name_match::NONE:
        break;
    }
    if (e->alias && strcmp(arg, e->alias) == 0) {
      *inline_value = nullptr;
      return e;
    }
  }
  return nullptr;
}

// Every warning goes to standard error and, as category 1, to the run log.
#define OPT_WARN(...)                       \
  do {                                      \
    log_write(LOG_WARN_LEVEL, __VA_ARGS__); \
    runlog_write(1, __VA_ARGS__);           \
  } while (0)

int32_t opt_validate(int argc, char** argv, const option_spec* table, int32_t positional_allowed) {
  int32_t warnings = 0;
  int32_t positionals = 0;
  if (argc <= 1) return 0;
  int i = 1;
  while (i < argc) {
    const char* arg = argv[i];
    int len = static_cast<int>(strlen(arg));
    if (strcmp(arg, "--") == 0) return warnings;
    if (arg[0] != '-' || strcmp(arg, "-") == 0) {
      if (positionals >= positional_allowed) {
        OPT_WARN("unexpected argument '%.*s' ignored", len, arg);
        warnings++;
      }
      positionals++;
      i++;
      continue;
    }

    const char* inline_value = nullptr;
    const option_spec* opt = opt_find(table, arg, &inline_value);
    if (!opt) opt = opt_find(COMMON_OPTIONS, arg, &inline_value);
    if (!opt && runlog_active()) opt = opt_find(RUNLOG_OPTIONS, arg, &inline_value);

    if (opt) {
      if (opt->takes_value != 1 || inline_value) {
        i++;
      } else if (i + 1 >= argc) {
        return warnings;  // its value is missing; the reader gets the default
      } else {
        i += 2;
      }
      continue;
    }

    const char* eq = strchr(arg, '=');
    if (eq) {
      OPT_WARN("unknown option '%.*s=...' ignored", static_cast<int>(eq - arg), arg);
      i++;
    } else if (i + 1 < argc && argv[i + 1][0] != '-') {
      OPT_WARN("unknown option '%.*s' ignored (with the value after it)", len, arg);
      i += 2;
    } else {
      OPT_WARN("unknown option '%.*s' ignored", len, arg);
      i++;
    }
    warnings++;
  }
  return warnings;
}
