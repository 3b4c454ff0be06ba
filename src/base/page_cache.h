// Reading and writing whole images without evicting the server's working set
// from the page cache. A nightly scrub reads terabytes: through the cache,
// that would push out everything the server keeps there.
//
// A reader goes through its file in stretches of CACHE_STRETCH bytes. Before
// its reads reach a stretch, it learns which of the stretch's pages are
// cached (mincore on a read-only mapping, which faults nothing in), and it
// learns them CACHE_LOOKAHEAD ahead of its read head, farther than the
// kernel's read-ahead goes (up to twice read_ahead_kb for a sequential
// reader; 8 MiB and more on some machines), so that what it learns is the
// cache as others left it. Once the read head has left a stretch, the pages
// of it that were not cached before are dropped (posix_fadvise DONTNEED) and
// those that were stay: a store that was not cached is left uncached, and
// one that was cached stays cached.
//
// The kernel tells a process which pages of a file are cached only when the
// process owns the file, may write it, or is privileged; otherwise every
// page looks uncached and every page read is dropped. Whatever cannot be
// learned (a mapping that fails, a stretch a read reached before it was
// learned) is taken as cached and kept: a mistake here costs cache, never a
// page someone else brought in. Nor can a page be dropped while it is being
// read: read-ahead still under way past a last read that stops short of the
// end of the file (a table that does not reach the end of its image) is
// left in the cache. Images written by the backup programs end with their
// last payload.
//
// A writer starts the write-out of each stretch it has written and, one
// stretch later, waits for it and drops its pages; at the end the whole file
// is flushed (fs_fsync, by the caller) and dropped.
//
// Every call is made by the one thread that reads or writes the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/status.h"

constexpr uint64_t CACHE_STRETCH = uint64_t{8} << 20;
constexpr uint64_t CACHE_LOOKAHEAD = uint64_t{64} << 20;

struct cache_reader {
  int fd = -1;
  uint64_t file_size = 0;
  uint64_t stretch = CACHE_STRETCH;  // a multiple of the page size
  size_t page = 4096;
  // The stretches known at a time: the read head's and those up to
  // CACHE_LOOKAHEAD after it, stretch k in slot k % slots.size().
  struct known {
    uint64_t index = UINT64_MAX;  // which stretch; UINT64_MAX: none
    bool learned = false;         // was_cached holds its pages
    std::vector<uint8_t> was_cached;
  };
  std::vector<known> slots;    // kept from one file to the next
  uint64_t head = UINT64_MAX;  // stretch of the last read
  bool active = false;
};

// Starts reading fd (of file_size bytes) front to back, in reads of at most
// max_read bytes (a stretch is at least that long): advises sequential
// access and learns the stretches within the lookahead. Never fails; without
// memory for its maps (a few KiB) it only advises.
void cache_reader_open(cache_reader* r, int fd, uint64_t file_size, size_t max_read);
// Before a read of [offset, offset + len): when the read head moves into
// another stretch, drops what it brought into those it left and learns the
// stretches that come into the lookahead.
void cache_reader_before(cache_reader* r, uint64_t offset, size_t len);
// Done reading: drops what it brought into the stretches it still knows.
void cache_reader_close(cache_reader* r);

struct cache_writer {
  int fd = -1;
  uint64_t written = 0;  // bytes written from offset 0
  uint64_t started = 0;  // write-out started up to here
  uint64_t dropped = 0;  // flushed and dropped up to here
};

void cache_writer_open(cache_writer* w, int fd);
// After the file was written up to `end` (back to back from 0): starts the
// write-out of each whole stretch written, and flushes and drops the one
// before it. A failed flush is a failed write: its status is returned.
[[nodiscard]] status_t cache_writer_wrote(cache_writer* w, uint64_t end);
// After the caller's fs_fsync of the whole file: drops all of it.
void cache_writer_close(cache_writer* w);

// Pages of [offset, offset + len) of fd in the page cache now, or -1 when
// that cannot be learned. For the benchmarks and the tests.
int64_t cache_resident_pages(int fd, uint64_t offset, uint64_t len);
