#include "base/page_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/fs.h"
#include "base/memory.h"

namespace {

// Longer stretches would make the maps large for nothing: a read longer than
// a stretch merely reaches pages that are then kept.
constexpr uint64_t STRETCH_MAX = uint64_t{64} << 20;

uint64_t round_up(uint64_t n, uint64_t unit) {
  return (n + unit - 1) / unit * unit;
}

// Fills vec (one byte per page, bit 0 set for a cached page) for the pages of
// [offset, offset + len), offset page-aligned. False when it cannot be
// learned.
bool resident_map(int fd, uint64_t offset, uint64_t len, uint8_t* vec) {
  if (len == 0) return true;
  void* map = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (map == MAP_FAILED) return false;
  const bool ok = ::mincore(map, len, vec) == 0;
  (void)::munmap(map, len);
  return ok;
}

void drop(int fd, uint64_t offset, uint64_t len) {
  if (len != 0)
    (void)::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(len),
                          POSIX_FADV_DONTNEED);
}

// The bytes of stretch k that lie in the file, rounded up to whole pages.
uint64_t stretch_length(const cache_reader& r, uint64_t k) {
  const uint64_t start = k * r.stretch;
  if (start >= r.file_size) return 0;
  const uint64_t left = r.file_size - start;
  return round_up(left < r.stretch ? left : r.stretch, r.page);
}

cache_reader::known& slot_of(cache_reader* r, uint64_t k) {
  return r->slots[static_cast<size_t>(k % r->slots.size())];
}

// Drops the pages of the slot's stretch that were not cached before it was
// learned, in runs; then forgets the stretch.
void forget(cache_reader* r, cache_reader::known* slot) {
  if (slot->index == UINT64_MAX) return;
  if (slot->learned) {
    const uint64_t start = slot->index * r->stretch;
    const size_t pages = static_cast<size_t>(stretch_length(*r, slot->index) / r->page);
    size_t run = 0;
    for (size_t i = 0; i <= pages; i++) {
      if (i < pages && !(slot->was_cached[i] & 1)) continue;
      drop(r->fd, start + run * r->page, (i - run) * r->page);
      run = i + 1;
    }
  }
  slot->index = UINT64_MAX;
  slot->learned = false;
}

// Learns the stretches from k on that fit the slots and are not known yet,
// dropping first what was known of the stretch a slot held.
void learn_from(cache_reader* r, uint64_t k) {
  const uint64_t n = r->slots.size();
  for (uint64_t j = k; j < k + n; j++) {
    cache_reader::known& slot = slot_of(r, j);
    if (slot.index == j) continue;
    forget(r, &slot);
    slot.index = j;
    slot.learned =
        resident_map(r->fd, j * r->stretch, stretch_length(*r, j), slot.was_cached.data());
  }
}

}  // namespace

void cache_reader_open(cache_reader* r, int fd, uint64_t file_size, size_t max_read) {
  r->fd = fd;
  r->file_size = file_size;
  const long page = ::sysconf(_SC_PAGESIZE);
  r->page = page > 0 ? static_cast<size_t>(page) : 4096;
  uint64_t stretch = round_up(max_read, r->page);
  if (stretch < CACHE_STRETCH) stretch = CACHE_STRETCH;
  if (stretch > STRETCH_MAX) stretch = STRETCH_MAX;
  r->stretch = round_up(stretch, r->page);
  r->head = UINT64_MAX;
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // The read head's stretch and enough after it to cover the lookahead.
  const size_t count = static_cast<size_t>(1 + (CACHE_LOOKAHEAD + r->stretch - 1) / r->stretch);
  const size_t pages = static_cast<size_t>(r->stretch / r->page);
  r->active = memory_resize(&r->slots, count) == STATUS_OK;
  for (size_t i = 0; r->active && i < count; i++)
    r->active = memory_resize(&r->slots[i].was_cached, pages) == STATUS_OK;
  if (!r->active) return;
  for (cache_reader::known& slot : r->slots) {
    slot.index = UINT64_MAX;
    slot.learned = false;
  }
}

void cache_reader_before(cache_reader* r, uint64_t offset, size_t) {
  if (!r->active) return;
  const uint64_t k = offset / r->stretch;
  if (k == r->head) return;
  // The stretches before k (or, for a table that jumps, away from it) are
  // behind the read head: learning from k on drops what they brought in.
  r->head = k;
  learn_from(r, k);
}

void cache_reader_close(cache_reader* r) {
  if (!r->active) return;
  for (cache_reader::known& slot : r->slots) forget(r, &slot);
  r->active = false;
}

void cache_writer_open(cache_writer* w, int fd) {
  *w = cache_writer{};
  w->fd = fd;
}

status_t cache_writer_wrote(cache_writer* w, uint64_t end) {
  w->written = end;
  while (w->written - w->started >= CACHE_STRETCH) {
    status_t s = fs_flush_range(w->fd, w->started, CACHE_STRETCH, false);
    if (s != STATUS_OK) return s;
    w->started += CACHE_STRETCH;
    // The stretch before the newest has had a stretch's time to reach the
    // disk: waiting for it rarely waits, and its pages are then clean.
    if (w->started - w->dropped > CACHE_STRETCH) {
      s = fs_flush_range(w->fd, w->dropped, CACHE_STRETCH, true);
      if (s != STATUS_OK) return s;
      drop(w->fd, w->dropped, CACHE_STRETCH);
      w->dropped += CACHE_STRETCH;
    }
  }
  return STATUS_OK;
}

void cache_writer_close(cache_writer* w) {
  if (w->fd >= 0) (void)::posix_fadvise(w->fd, 0, 0, POSIX_FADV_DONTNEED);
  w->fd = -1;
}

int64_t cache_resident_pages(int fd, uint64_t offset, uint64_t len) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const uint64_t p = page > 0 ? static_cast<uint64_t>(page) : 4096;
  const uint64_t start = offset / p * p;
  const uint64_t span = round_up(offset + len - start, p);
  std::vector<uint8_t> vec;
  if (memory_resize(&vec, static_cast<size_t>(span / p)) != STATUS_OK) return -1;
  if (!resident_map(fd, start, span, vec.data())) return -1;
  int64_t n = 0;
  for (uint8_t v : vec) n += v & 1;
  return n;
}
