#include "support/alloc_fault.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace {

struct fault_state {
  bool armed = false;
  bool fired = false;
  uint64_t calls = 0;
  uint64_t fail_at = 0;
};

// Per thread, so that another thread's allocations (a test runner's, a
// library's worker) neither count nor fail.
constinit thread_local fault_state t_fault;

// The one sequence of every thread's calls, for EVERY_THREAD.
struct shared_fault_state {
  std::atomic<bool> armed{false};
  std::atomic<bool> fired{false};
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> fail_at{0};
};
constinit shared_fault_state g_fault;

// True when this call is the one to fail.
bool fault_now() {
  fault_state& f = t_fault;
  if (f.armed) {
    if (++f.calls != f.fail_at) return false;
    f.fired = true;
    return true;
  }
  if (!g_fault.armed.load(std::memory_order_acquire)) return false;
  if (g_fault.calls.fetch_add(1) + 1 != g_fault.fail_at.load(std::memory_order_relaxed))
    return false;
  g_fault.fired = true;
  return true;
}

void* allocate(std::size_t size, std::size_t align) {
  if (size == 0) size = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(size);
  void* p = nullptr;
  if (align < sizeof(void*)) align = sizeof(void*);
  return posix_memalign(&p, align, size) == 0 ? p : nullptr;
}

// malloc, asking the new handler when it fails, as the standard operator
// new does; null when there is no handler.
void* allocate_or_handle(std::size_t size, std::size_t align) {
  for (;;) {
    if (void* p = allocate(size, align)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) return nullptr;
    handler();
  }
}

// Each counts the call once; an injected failure skips the allocation.
void* allocate_or_throw(std::size_t size, std::size_t align) {
  if (fault_now()) throw std::bad_alloc();
  if (void* p = allocate_or_handle(size, align)) return p;
  throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size, std::size_t align) noexcept {
  if (fault_now()) return nullptr;
  try {
    return allocate_or_handle(size, align);
  } catch (...) {
    return nullptr;  // a handler that gave up by throwing
  }
}

constexpr std::size_t PLAIN = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n) {
  return allocate_or_throw(n, PLAIN);
}
void* operator new[](std::size_t n) {
  return allocate_or_throw(n, PLAIN);
}
void* operator new(std::size_t n, std::align_val_t a) {
  return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_or_null(n, PLAIN);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_or_null(n, PLAIN);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace test {

AllocFault::AllocFault(uint64_t fail_at, scope where) : where_(where) {
  if (where_ == THIS_THREAD) {
    t_fault = fault_state{true, false, 0, fail_at};
    return;
  }
  g_fault.calls = 0;
  g_fault.fired = false;
  g_fault.fail_at = fail_at;
  g_fault.armed.store(true, std::memory_order_release);
}
AllocFault::~AllocFault() {
  if (where_ == THIS_THREAD)
    t_fault.armed = false;
  else
    g_fault.armed = false;
}
uint64_t AllocFault::calls() const {
  return where_ == THIS_THREAD ? t_fault.calls : g_fault.calls.load();
}
bool AllocFault::fired() const {
  return where_ == THIS_THREAD ? t_fault.fired : g_fault.fired.load();
}

bool alloc_fault_works() {
  static const bool works = [] {
    // The message is copied into a string the C++ runtime's own code
    // allocates, so this fails only if the runtime calls the operator new
    // defined here.
    AllocFault fault(1);
    try {
      std::runtime_error e("a message long enough that no small-string buffer holds it");
      return false;
    } catch (const std::bad_alloc&) {
      return true;
    }
  }();
  return works;
}

}  // namespace test
