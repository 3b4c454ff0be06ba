// The progress of a long run on the operator's terminal: one status line
// under the log lines (bytes done of the total, rate, time left), kept by a
// timer thread that redraws it a few times a second, so the work itself only
// adds to a counter. Shown only when standard error is a terminal; otherwise
// the meter is never started and nothing is written.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

// How often the line is redrawn at most.
constexpr std::chrono::milliseconds PROGRESS_REFRESH{250};

struct progress_meter {
  progress_meter() = default;
  progress_meter(const progress_meter&) = delete;
  progress_meter& operator=(const progress_meter&) = delete;
  // Stops the timer and clears the line (progress_stop).
  ~progress_meter();

  bool active = false;  // started and not yet stopped
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> total{0};
  char what[32] = "";  // the command, in front of the figures
  std::chrono::steady_clock::time_point start;

  std::mutex mu;
  std::condition_variable wake;
  bool stopping = false;
  std::thread timer;
};

// True when a status line can be shown: standard error is a terminal that
// understands the line-clearing sequence (not TERM=dumb).
bool progress_wanted();

// Starts the meter when progress_wanted(): the line is drawn at once and
// then redrawn every PROGRESS_REFRESH until progress_stop. When no timer
// thread can be started the line stays as first drawn, updated by nothing;
// the run goes on. Call once per meter.
void progress_start(progress_meter* m, const char* what, uint64_t total);

// Counts bytes done; a relaxed add, nothing more, so it may be called for
// every block.
inline void progress_add(progress_meter* m, uint64_t bytes) {
  if (m && m->active) m->done.fetch_add(bytes, std::memory_order_relaxed);
}
// Takes bytes off the total (work that turned out not to be done: a backup
// skipped, the gaps of an image).
void progress_shrink(progress_meter* m, uint64_t bytes);
// Adds bytes to the total (work found to be larger than first counted).
inline void progress_grow(progress_meter* m, uint64_t bytes) {
  if (m && m->active) m->total.fetch_add(bytes, std::memory_order_relaxed);
}

// Joins the timer and clears the line; safe to call more than once and on a
// meter that never started.
void progress_stop(progress_meter* m);

// The text of the line, cut to width - 1 columns so that it never wraps
// (a wrapped line could not be cleared): "scrub: 1.5 GiB of 4.0 GiB (37%),
// 210.3 MiB/s, 0:00:12 left". The rate and the time left are "--" until a
// rate can be told (the first half second, or nothing done yet).
void progress_format(char* out, size_t cap, const char* what, uint64_t done, uint64_t total,
                     double elapsed_seconds, size_t width);
