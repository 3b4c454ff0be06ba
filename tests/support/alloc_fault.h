// Failing the Nth C++ allocation: the test binary replaces the global
// operator new and delete (every form) with ones that take their memory from
// malloc and, while an AllocFault is armed on the calling thread, fail the
// chosen call. Only allocations through operator new are counted: OpenSSL,
// zstd and the C library allocate with malloc and never fail this way.
#pragma once

#include <cstdint>

namespace test {

// While alive, counts this thread's calls of operator new and makes call
// number fail_at (counting from 1; 0 = none) fail: the throwing forms throw
// std::bad_alloc, the nothrow forms return null. Only that one call fails;
// later ones succeed. Other threads are never touched. Arm it around the
// operation under test only: test framework calls inside the armed region
// would be counted (and could be the one that fails).
//
// EVERY_THREAD counts the calls of every thread (the worker threads an
// operation starts) in one sequence instead; one AllocFault of that kind at
// a time, armed and disarmed on one thread. An operation whose workers
// allocate would then fail on a worker, where nothing can catch it.
class AllocFault {
 public:
  enum scope { THIS_THREAD, EVERY_THREAD };
  explicit AllocFault(uint64_t fail_at, scope where = THIS_THREAD);
  ~AllocFault();
  AllocFault(const AllocFault&) = delete;
  AllocFault& operator=(const AllocFault&) = delete;
  uint64_t calls() const;
  bool fired() const;

 private:
  scope where_;
};

// True when the replaced operator new is the one this binary's code (and the
// C++ runtime it uses) actually calls; checked once by failing a string
// allocation made inside the C++ runtime.
bool alloc_fault_works();

}  // namespace test
