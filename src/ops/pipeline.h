// The ordered pipeline: one thread, the owner, hands out jobs in a fixed
// order; worker threads run them; the owner takes them back in exactly the
// order it handed them out. Scrub and recompress read (and write) on the
// owner, in table order, and decode, hash and compress on the workers, so
// that what they log and write is the same whatever the thread count.
//
// Jobs live in a ring of slots. The pipeline only says which slot is whose:
// the data of a slot (its buffers, its result) lives in arrays of the owner,
// indexed by slot, and belongs to the owner from pipeline_next_slot until
// pipeline_submit, to one worker until the job has run, and to the owner
// again from pipeline_wait_oldest until pipeline_release_oldest.
//
// With no worker threads (one thread asked for, or none could be started)
// a job runs on the owner inside pipeline_submit: the single-threaded path
// is the same code with no thread, no lock wait and one slot.
//
// The owner's loop:
//   for each job:
//     if (pipeline_full(p)) { take(pipeline_wait_oldest(p)); pipeline_release_oldest(p); }
//     fill(pipeline_next_slot(p)); pipeline_submit(p);
//   while (!pipeline_empty(p)) { take(pipeline_wait_oldest(p)); pipeline_release_oldest(p); }
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

// Runs one job: the data of `slot`, on worker number `worker` (0 to
// workers - 1; 0 on the owner when there are no workers), so that a worker
// may keep scratch space of its own. Must not throw.
using pipeline_work = void (*)(void* ctx, size_t slot, size_t worker);

// The most threads a run uses, whatever it asks for and the machine has.
constexpr size_t PIPELINE_MAX_THREADS = 64;
// Two slots per worker: one job running, one read and waiting beside it.
constexpr size_t PIPELINE_SLOTS_PER_WORKER = 2;
constexpr size_t PIPELINE_MAX_SLOTS = PIPELINE_MAX_THREADS * PIPELINE_SLOTS_PER_WORKER;

// The number of CPUs this process may run on (its affinity mask, so that
// taskset and systemd's CPUAffinity= limit it), at least 1 and at most
// PIPELINE_MAX_THREADS.
size_t pipeline_default_threads();

struct ordered_pipeline {
  ordered_pipeline() = default;
  ordered_pipeline(const ordered_pipeline&) = delete;
  ordered_pipeline& operator=(const ordered_pipeline&) = delete;
  // Joins the workers (pipeline_stop). Declare the pipeline after the data
  // its jobs use, so that it goes first.
  ~ordered_pipeline();

  pipeline_work work = nullptr;
  void* ctx = nullptr;
  size_t slot_count = 1;
  size_t worker_count = 0;

  std::mutex mu;
  std::condition_variable work_cv;  // workers wait for a job
  std::condition_variable done_cv;  // the owner waits for the oldest job
  uint64_t submitted = 0;           // jobs handed out
  uint64_t claimed = 0;             // jobs a worker has begun
  uint64_t taken = 0;               // jobs the owner has taken back
  bool stopping = false;
  bool done[PIPELINE_MAX_SLOTS] = {};
  std::thread threads[PIPELINE_MAX_THREADS];
};

// Sets the pipeline up for `threads` threads: none for 0 or 1 (jobs run on
// the owner, one slot), else that many workers (at most
// PIPELINE_MAX_THREADS) with PIPELINE_SLOTS_PER_WORKER slots each. A thread
// that cannot be started (no memory, a process limit) is not an error: the
// work goes to those that could be, down to none. Call once, on an unused
// pipeline. Returns the number of workers started.
size_t pipeline_start(ordered_pipeline* p, size_t threads, pipeline_work work, void* ctx);

inline size_t pipeline_slots(const ordered_pipeline& p) {
  return p.slot_count;
}
// Owner only. Every slot handed out and not yet released.
inline bool pipeline_full(const ordered_pipeline& p) {
  return p.submitted - p.taken == p.slot_count;
}
// Owner only. Nothing handed out that is not yet released.
inline bool pipeline_empty(const ordered_pipeline& p) {
  return p.submitted == p.taken;
}
// Owner only. The slot the next job is filled into; requires !pipeline_full.
inline size_t pipeline_next_slot(const ordered_pipeline& p) {
  return static_cast<size_t>(p.submitted % p.slot_count);
}
// Hands the job in pipeline_next_slot out (without workers: runs it now).
void pipeline_submit(ordered_pipeline* p);
// Waits until the oldest job handed out has run and returns its slot;
// requires !pipeline_empty.
size_t pipeline_wait_oldest(ordered_pipeline* p);
// The owner is done with the oldest slot; it may be filled again.
void pipeline_release_oldest(ordered_pipeline* p);
// Lets the jobs being run finish, drops those not yet begun, and joins the
// workers. Safe to call twice.
void pipeline_stop(ordered_pipeline* p);
