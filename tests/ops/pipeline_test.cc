#include "ops/pipeline.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "support/alloc_fault.h"

namespace {

// A job's input and output, one per slot, as the owner keeps them.
struct Slot {
  uint64_t job = 0;           // filled by the owner
  uint64_t result = 0;        // written by the job
  unsigned sleep_us = 0;      // how long the job takes
  size_t worker = 0;          // who ran it
  std::thread::id thread_id;  // on which thread
};

struct Jobs {
  std::vector<Slot> slots = std::vector<Slot>(PIPELINE_MAX_SLOTS);
  std::atomic<int> running{0};
  std::atomic<int> most_running{0};
  std::atomic<bool> worker_busy[PIPELINE_MAX_THREADS] = {};
  std::atomic<int> overlaps{0};  // a worker given a second job while it ran one
  std::atomic<uint64_t> runs{0};
};

void run_job(void* ctx, size_t slot, size_t worker) {
  auto* jobs = static_cast<Jobs*>(ctx);
  if (jobs->worker_busy[worker].exchange(true)) jobs->overlaps++;
  int now = ++jobs->running;
  int most = jobs->most_running.load();
  while (now > most && !jobs->most_running.compare_exchange_weak(most, now)) {
  }
  Slot& s = jobs->slots[slot];
  if (s.sleep_us) std::this_thread::sleep_for(std::chrono::microseconds(s.sleep_us));
  s.result = s.job * 3 + 1;
  s.worker = worker;
  s.thread_id = std::this_thread::get_id();
  jobs->runs++;
  --jobs->running;
  jobs->worker_busy[worker] = false;
}

// Hands out `count` jobs with random durations and checks that each comes
// back once, whole, and in the order it was handed out. Returns the workers.
size_t run_in_order(size_t threads, uint64_t count, Jobs* jobs) {
  ordered_pipeline p;
  const size_t workers = pipeline_start(&p, threads, run_job, jobs);
  std::mt19937 rng(static_cast<unsigned>(threads));
  uint64_t next_taken = 0;
  auto take = [&] {
    const size_t slot = pipeline_wait_oldest(&p);
    const Slot& s = jobs->slots[slot];
    EXPECT_EQ(s.job, next_taken) << "taken back out of order";
    EXPECT_EQ(s.result, s.job * 3 + 1);
    EXPECT_LT(s.worker, workers == 0 ? 1 : workers);
    next_taken++;
    pipeline_release_oldest(&p);
  };
  for (uint64_t job = 0; job < count; job++) {
    if (pipeline_full(p)) take();
    Slot& s = jobs->slots[pipeline_next_slot(p)];
    s.job = job;
    s.result = 0;
    s.sleep_us = static_cast<unsigned>(rng() % 400);
    pipeline_submit(&p);
  }
  while (!pipeline_empty(p)) take();
  EXPECT_EQ(next_taken, count);
  return workers;
}

TEST(PipelineTest, JobsComeBackOnceEachInTheOrderTheyWereHandedOut) {
  for (size_t threads : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    Jobs jobs;
    const size_t workers = run_in_order(threads, 200, &jobs);
    EXPECT_EQ(workers, threads == 1 ? 0u : threads);
    EXPECT_EQ(jobs.runs.load(), 200u);
    EXPECT_EQ(jobs.overlaps.load(), 0) << "a worker ran two jobs at once";
  }
}

TEST(PipelineTest, OneThreadRunsEveryJobOnTheOwnerWithOneSlot) {
  Jobs jobs;
  ordered_pipeline p;
  EXPECT_EQ(pipeline_start(&p, 1, run_job, &jobs), 0u);
  EXPECT_EQ(pipeline_slots(p), 1u);
  jobs.slots[pipeline_next_slot(p)].job = 7;
  pipeline_submit(&p);
  EXPECT_TRUE(pipeline_full(p));
  // The job has run by the time submit returns, on this thread.
  const Slot& s = jobs.slots[pipeline_wait_oldest(&p)];
  EXPECT_EQ(s.result, 22u);
  EXPECT_EQ(s.thread_id, std::this_thread::get_id());
  pipeline_release_oldest(&p);
  EXPECT_TRUE(pipeline_empty(p));
}

TEST(PipelineTest, SeveralWorkersRunJobsAtOnceAndTheRingHoldsTwoPerWorker) {
  Jobs jobs;
  ordered_pipeline p;
  ASSERT_EQ(pipeline_start(&p, 4, run_job, &jobs), 4u);
  EXPECT_EQ(pipeline_slots(p), 8u);
  // Eight jobs of 50 ms each fill the ring; the workers take four at a time.
  for (uint64_t job = 0; job < 8; job++) {
    ASSERT_FALSE(pipeline_full(p));
    Slot& s = jobs.slots[pipeline_next_slot(p)];
    s.job = job;
    s.sleep_us = 50000;
    pipeline_submit(&p);
  }
  EXPECT_TRUE(pipeline_full(p));
  while (!pipeline_empty(p)) {
    EXPECT_NE(jobs.slots[pipeline_wait_oldest(&p)].thread_id, std::this_thread::get_id());
    pipeline_release_oldest(&p);
  }
  EXPECT_GE(jobs.most_running.load(), 2) << "the jobs never overlapped";
  EXPECT_LE(jobs.most_running.load(), 4);
}

TEST(PipelineTest, StoppingWithJobsStillOutJoinsTheWorkers) {
  Jobs jobs;
  {
    ordered_pipeline p;
    ASSERT_EQ(pipeline_start(&p, 3, run_job, &jobs), 3u);
    for (uint64_t job = 0; job < 6; job++) {
      jobs.slots[pipeline_next_slot(p)].sleep_us = 20000;
      pipeline_submit(&p);
    }
  }  // an early return of the owner: the destructor stops and joins
  EXPECT_EQ(jobs.running.load(), 0);
  EXPECT_LE(jobs.runs.load(), 6u);
}

TEST(PipelineTest, ThreadsThatCannotBeStartedLeaveTheWorkToFewerDownToNone) {
  if (!test::alloc_fault_works())
    GTEST_SKIP() << "this build's operator new is not the test binary's replacement";
  // Each thread's start allocates once on the owner: failing allocation k
  // leaves k - 1 workers, and every job still comes back in order.
  for (uint64_t k = 1; k <= 4; k++) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " failed");
    Jobs jobs;
    ordered_pipeline p;
    size_t workers = 0;
    {
      test::AllocFault fault(k);
      workers = pipeline_start(&p, 4, run_job, &jobs);
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_EQ(workers, k - 1);
    EXPECT_EQ(pipeline_slots(p), workers == 0 ? 1 : 2 * workers);
    uint64_t next = 0;
    for (uint64_t job = 0; job < 20; job++) {
      if (pipeline_full(p)) {
        EXPECT_EQ(jobs.slots[pipeline_wait_oldest(&p)].job, next++);
        pipeline_release_oldest(&p);
      }
      jobs.slots[pipeline_next_slot(p)].job = job;
      pipeline_submit(&p);
    }
    while (!pipeline_empty(p)) {
      EXPECT_EQ(jobs.slots[pipeline_wait_oldest(&p)].job, next++);
      pipeline_release_oldest(&p);
    }
    EXPECT_EQ(next, 20u);
  }
}

TEST(PipelineTest, DefaultIsTheCpusTheProcessMayRunOn) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  const size_t allowed = static_cast<size_t>(CPU_COUNT(&saved));
  EXPECT_EQ(pipeline_default_threads(), std::min(allowed, PIPELINE_MAX_THREADS));

  // As taskset or CPUAffinity= would leave it: one CPU.
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const size_t pinned = pipeline_default_threads();
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(pinned, 1u);
}

}  // namespace
