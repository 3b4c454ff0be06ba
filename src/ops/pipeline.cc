#include "ops/pipeline.h"

#include <sched.h>

#include <exception>

size_t pipeline_default_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  size_t n = 1;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) n = static_cast<size_t>(count);
  }
  return n < PIPELINE_MAX_THREADS ? n : PIPELINE_MAX_THREADS;
}

namespace {

// Takes jobs in the order they were handed out, so that the oldest job, the
// one the owner waits for, is always the first to begin.
void worker_loop(ordered_pipeline* p, size_t worker) {
  std::unique_lock<std::mutex> lock(p->mu);
  for (;;) {
    p->work_cv.wait(lock, [p] { return p->stopping || p->claimed != p->submitted; });
    if (p->stopping) return;
    const size_t slot = static_cast<size_t>(p->claimed % p->slot_count);
    p->claimed++;
    lock.unlock();
    p->work(p->ctx, slot, worker);
    lock.lock();
    p->done[slot] = true;
    p->done_cv.notify_one();
  }
}

}  // namespace

size_t pipeline_start(ordered_pipeline* p, size_t threads, pipeline_work work, void* ctx) {
  p->work = work;
  p->ctx = ctx;
  p->slot_count = 1;
  p->worker_count = 0;
  if (threads <= 1) return 0;
  if (threads > PIPELINE_MAX_THREADS) threads = PIPELINE_MAX_THREADS;
  for (size_t i = 0; i < threads; i++) {
    try {
      p->threads[i] = std::thread(worker_loop, p, i);
    } catch (const std::exception&) {
      break;  // no memory or no more threads: the ones running do the work
    }
    p->worker_count++;
  }
  // Workers only look at slot_count once a job is handed out.
  if (p->worker_count != 0) p->slot_count = p->worker_count * PIPELINE_SLOTS_PER_WORKER;
  return p->worker_count;
}

void pipeline_submit(ordered_pipeline* p) {
  if (p->worker_count == 0) {
    const size_t slot = pipeline_next_slot(*p);
    p->work(p->ctx, slot, 0);
    p->done[slot] = true;
    p->submitted++;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(p->mu);
    p->submitted++;
  }
  p->work_cv.notify_one();
}

size_t pipeline_wait_oldest(ordered_pipeline* p) {
  const size_t slot = static_cast<size_t>(p->taken % p->slot_count);
  if (p->worker_count == 0) return slot;
  std::unique_lock<std::mutex> lock(p->mu);
  p->done_cv.wait(lock, [p, slot] { return p->done[slot]; });
  return slot;
}

void pipeline_release_oldest(ordered_pipeline* p) {
  const size_t slot = static_cast<size_t>(p->taken % p->slot_count);
  if (p->worker_count == 0) {
    p->done[slot] = false;
    p->taken++;
    return;
  }
  std::lock_guard<std::mutex> lock(p->mu);
  p->done[slot] = false;
  p->taken++;
}

void pipeline_stop(ordered_pipeline* p) {
  {
    std::lock_guard<std::mutex> lock(p->mu);
    p->stopping = true;
  }
  p->work_cv.notify_all();
  for (size_t i = 0; i < p->worker_count; i++) {
    if (p->threads[i].joinable()) p->threads[i].join();
  }
}

ordered_pipeline::~ordered_pipeline() {
  pipeline_stop(this);
}
