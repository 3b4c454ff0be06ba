// The option lookup and validation on arbitrary argument lists: the input,
// split at its 0 bytes, is the argument list after the program name.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "cli/options.h"

namespace {

// The shapes the sub-commands use: options with and without a value, and a
// name that is the prefix of another.
const option_spec TABLE[] = {
    {"--dir", nullptr, 1},   {"--dir-mode", nullptr, 1}, {"--force", nullptr, 0},
    {"--level", nullptr, 1}, {"--dry-run", nullptr, 0},  {nullptr, nullptr, 0},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    // Warnings are formatted and then dropped, so the run does not flood
    // standard error.
    log_init("zuv_fuzz_options", LOG_ERROR_LEVEL);
    return true;
  }();
  (void)quiet;
  if (size < 1) return 0;
  const int32_t positional_allowed = data[0] % 3;

  std::vector<std::string> words{"zuv_maintenance"};
  std::string cur;
  for (size_t i = 1; i < size && words.size() < 64; i++) {
    if (data[i] == 0) {
      words.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  if (!cur.empty() || size == 1) words.push_back(cur);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  const int32_t warnings = opt_validate(argc, argv.data(), TABLE, positional_allowed);
  if (warnings < 0 || warnings > argc) abort();

  for (const option_spec* e = TABLE; e->long_name; e++) {
    const char* v = opt_value(argc, argv.data(), e->long_name, e->alias, nullptr);
    // A value is an argument or the part of one after "=": it lies inside argv.
    if (v) {
      bool inside = false;
      for (int i = 1; i < argc; i++) {
        size_t n = strlen(argv[i]);
        if (v >= argv[i] && v <= argv[i] + n) inside = true;
      }
      if (!inside) abort();
    }
    (void)opt_flag(argc, argv.data(), e->long_name, e->alias);
  }
  (void)opt_value(argc, argv.data(), "--help", "-h", "x");
  for (int i = 1; i < argc; i++) {
    const char* inline_value = nullptr;
    const option_spec* opt = opt_find(COMMON_OPTIONS, argv[i], &inline_value);
    if (opt && inline_value && (inline_value < argv[i] || inline_value > argv[i] + strlen(argv[i])))
      abort();
  }
  return 0;
}
