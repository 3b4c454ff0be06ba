#include "base/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "base/log.h"

namespace {

// "1.5 GiB", "812 B": binary units, one decimal from KiB up.
void format_bytes(char* out, size_t cap, double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  size_t unit = 0;
  while (bytes >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
    bytes /= 1024.0;
    unit++;
  }
  if (unit == 0)
    snprintf(out, cap, "%.0f B", bytes);
  else
    snprintf(out, cap, "%.1f %s", bytes, units[unit]);
}

// Columns of the terminal on standard error; 80 when it does not say.
size_t terminal_width() {
  struct winsize ws;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void draw(progress_meter* m) {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m->start).count();
  char text[256];
  progress_format(text, sizeof text, m->what, m->done.load(std::memory_order_relaxed),
                  m->total.load(std::memory_order_relaxed), elapsed, terminal_width());
  log_status_show(text);
}

void timer_loop(progress_meter* m) {
  std::unique_lock<std::mutex> lock(m->mu);
  for (;;) {
    if (m->wake.wait_for(lock, PROGRESS_REFRESH, [m] { return m->stopping; })) return;
    lock.unlock();
    draw(m);
    lock.lock();
  }
}

}  // namespace

void progress_format(char* out, size_t cap, const char* what, uint64_t done, uint64_t total,
                     double elapsed_seconds, size_t width) {
  if (cap == 0) return;
  // Backups written since the total was taken can carry the count past it.
  if (total < done) total = done;
  char done_text[32];
  char total_text[32];
  format_bytes(done_text, sizeof done_text, static_cast<double>(done));
  format_bytes(total_text, sizeof total_text, static_cast<double>(total));
  const unsigned percent =
      total != 0 ? static_cast<unsigned>(static_cast<double>(done) * 100.0 / total) : 100;

  char rate_text[48] = "--/s";
  char left_text[48] = "-- left";
  if (elapsed_seconds >= 0.5 && done != 0) {
    const double rate = static_cast<double>(done) / elapsed_seconds;
    char r[32];
    format_bytes(r, sizeof r, rate);
    snprintf(rate_text, sizeof rate_text, "%s/s", r);
    const double left = static_cast<double>(total - done) / rate;
    if (left < 1e8) {
      const auto s = static_cast<unsigned long long>(left + 0.5);
      snprintf(left_text, sizeof left_text, "%llu:%02llu:%02llu left", s / 3600, s / 60 % 60,
               s % 60);
    }
  }
  snprintf(out, cap, "%s: %s of %s (%u%%), %s, %s", what, done_text, total_text, percent, rate_text,
           left_text);
  // Never as wide as the terminal: a line that wraps cannot be cleared.
  const size_t room = width > 1 ? width - 1 : 1;
  if (strlen(out) > room && room < cap) out[room] = '\0';
}

bool progress_wanted() {
  if (isatty(STDERR_FILENO) != 1) return false;
  const char* term = getenv("TERM");
  return !(term && strcmp(term, "dumb") == 0);
}

void progress_start(progress_meter* m, const char* what, uint64_t total) {
  if (m->active || !progress_wanted()) return;
  snprintf(m->what, sizeof m->what, "%s", what);
  m->total.store(total, std::memory_order_relaxed);
  m->done.store(0, std::memory_order_relaxed);
  m->start = std::chrono::steady_clock::now();
  m->stopping = false;
  m->active = true;
  draw(m);
  try {
    m->timer = std::thread(timer_loop, m);
  } catch (const std::exception&) {
    // No thread: the line stays as drawn until it is cleared.
  }
}

void progress_shrink(progress_meter* m, uint64_t bytes) {
  if (!m || !m->active) return;
  uint64_t have = m->total.load(std::memory_order_relaxed);
  while (!m->total.compare_exchange_weak(have, have > bytes ? have - bytes : 0,
                                         std::memory_order_relaxed)) {
  }
}

void progress_stop(progress_meter* m) {
  if (!m->active) return;
  {
    std::lock_guard<std::mutex> lock(m->mu);
    m->stopping = true;
  }
  m->wake.notify_all();
  if (m->timer.joinable()) m->timer.join();
  m->active = false;
  log_status_clear();
}

progress_meter::~progress_meter() {
  progress_stop(this);
}
