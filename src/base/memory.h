// Sizing a working buffer without an exception. Operations report running
// out of memory as STATUS_NO_MEMORY and leave their files as they were, so
// a buffer that cannot be had must come back as a status, not as a
// std::bad_alloc unwinding through them.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "base/status.h"

// Resizes *v to n elements: STATUS_OK, or STATUS_NO_MEMORY with *v as it
// was. A size past max_size() is refused the same way, where resize would
// throw std::length_error.
template <typename T>
[[nodiscard]] status_t memory_resize(std::vector<T>* v, size_t n) {
  if (n > v->max_size()) return STATUS_NO_MEMORY;
  try {
    v->resize(n);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}
