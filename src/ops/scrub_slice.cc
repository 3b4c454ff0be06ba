#include "ops/scrub_slice.h"

#include <cstring>

namespace {

// Digits only, [begin, end) not empty, the value from 1 to SCRUB_SLICES_MAX.
// The value is checked as it grows, so no length of digits can overflow it.
bool parse_slice_number(const char* begin, const char* end, uint32_t* out) {
  if (begin == end) return false;
  uint32_t v = 0;
  for (const char* p = begin; p != end; p++) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    if (v > SCRUB_SLICES_MAX) return false;
  }
  if (v == 0) return false;
  *out = v;
  return true;
}

// A 64-bit mix (the splitmix64 finaliser): nearby uuids, such as those of a
// test store, still land on different slices.
uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// Which slice (from 0) reads stretch 0 of the backup with this uuid.
uint64_t slice_turn(const uint8_t uuid[UUID_SIZE], uint32_t count) {
  uint64_t hi = 0, lo = 0;
  memcpy(&hi, uuid, 8);
  memcpy(&lo, uuid + 8, 8);
  return mix64(hi ^ mix64(lo)) % count;
}

bool has_data(const block_entry& e) {
  return (e.flags & BLOCK_FLAG_NO_DATA) == 0;
}

}  // namespace

bool scrub_slice_parse(const char* text, scrub_slice* out) {
  if (text == nullptr) return false;
  const char* slash = strchr(text, '/');
  if (slash == nullptr) return false;
  scrub_slice s;
  if (!parse_slice_number(text, slash, &s.index) ||
      !parse_slice_number(slash + 1, slash + strlen(slash), &s.count) || s.index > s.count)
    return false;
  *out = s;
  return true;
}

bool scrub_slice_count_parse(const char* text, uint32_t* out) {
  return text != nullptr && parse_slice_number(text, text + strlen(text), out);
}

scrub_slice scrub_slice_of_pass(uint64_t pass, uint32_t count) {
  if (count == 0) return scrub_slice{};
  return scrub_slice{static_cast<uint32_t>(pass % count) + 1, count};
}

scrub_stretch scrub_slice_stretch(const std::vector<block_entry>& table,
                                  const uint8_t uuid[UUID_SIZE], const scrub_slice& slice) {
  scrub_stretch out{0, table.size(), true};
  if (scrub_slice_whole(slice)) return out;
  const uint32_t n = slice.count;
  // The stretch of this backup that the slice reads.
  const uint64_t wanted = (slice.index - 1 + n - slice_turn(uuid, n)) % n;

  // 128 bits: 2^32 entries of 2^32 bytes each, times the slice count, fit.
  unsigned __int128 total = 0;
  for (const block_entry& e : table)
    if (has_data(e)) total += static_cast<unsigned __int128>(e.stored_len) + 1;
  if (total == 0) {
    // Nothing to read: the backup belongs to the slice of its stretch 0.
    out.in_slice = wanted == 0;
    if (!out.in_slice) out.end = 0;
    return out;
  }

  // An entry starting at weight p is in stretch floor(p * n / total), which
  // never falls as p grows: the wanted stretch is one run of the table, the
  // entries with lo <= p < hi (the two edges rounded up), found with no
  // division per entry.
  const unsigned __int128 lo = (wanted * total + n - 1) / n;
  const unsigned __int128 hi = ((wanted + 1) * total + n - 1) / n;
  unsigned __int128 p = 0;
  bool found = false;
  for (size_t i = 0; i < table.size(); i++) {
    if (!has_data(table[i])) continue;
    if (p >= hi) {
      out.end = i;
      break;
    }
    if (p >= lo && !found) {
      out.first = i;
      found = true;
    }
    p += static_cast<unsigned __int128>(table[i].stored_len) + 1;
  }
  if (!found) return scrub_stretch{0, 0, false};
  return out;
}
