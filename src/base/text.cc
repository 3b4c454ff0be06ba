#include "base/text.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

const char* text_escape_control(const char* text, char* out, size_t cap) {
  if (cap == 0) return out;
  static const char HEX[] = "0123456789abcdef";
  size_t n = 0;
  for (const char* p = text ? text : ""; *p; p++) {
    const auto c = static_cast<unsigned char>(*p);
    const bool control = c < 0x20 || c == 0x7f;
    const size_t need = control ? 4 : 1;
    if (n + need >= cap) break;
    if (!control) {
      out[n++] = *p;
      continue;
    }
    out[n++] = '\\';
    out[n++] = 'x';
    out[n++] = HEX[c >> 4];
    out[n++] = HEX[c & 15];
  }
  out[n] = '\0';
  return out;
}

void text_format_time(int64_t t, char* out, size_t cap) {
  time_t tt = static_cast<time_t>(t);
  struct tm utc;
  if (gmtime_r(&tt, &utc) && strftime(out, cap, "%Y-%m-%d %H:%M:%S UTC", &utc) > 0) return;
  snprintf(out, cap, "%" PRId64, t);
}
