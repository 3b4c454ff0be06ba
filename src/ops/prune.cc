#include "ops/prune.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/log.h"
#include "ops/prune_core.h"
#include "ops/removal.h"
#include "store/dir_lock.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/header.h"
#include "store/naming.h"
#include "store/text.h"

namespace {

constexpr uint32_t NO_ENTRY = CATALOG_NO_ENTRY;

bool same_uuid(const catalog_uuid_key& a, const catalog_uuid_key& b) {
  return a.hi == b.hi && a.lo == b.lo;
}

// By uuid (in an order of its own, consistent for equality), then position.
bool key_less(const catalog_uuid_key& a, const catalog_uuid_key& b) {
  if (a.hi != b.hi) return a.hi < b.hi;
  if (a.lo != b.lo) return a.lo < b.lo;
  return a.position < b.position;
}

bool uuid_less_key(const catalog_uuid_key& a, const catalog_uuid_key& b) {
  return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
}

// Small numbers for names, 0 upwards in the order they are first met. An
// open table of hashes with the names kept beside it: a look-up reads one
// slot and one copy of the name, both in the cache even with thousands of
// names, where a node-based map keyed by views into the catalog would read
// a list node and the catalog record the name was first met in, long gone
// from the cache at 100,000 entries.
class name_numbers {
 public:
  // The number of name, and whether it was new.
  std::pair<uint32_t, bool> number(std::string_view name) {
    if (2 * (names_.size() + 1) > slots_.size()) grow();
    const uint64_t hash = std::hash<std::string_view>()(name);
    const size_t mask = slots_.size() - 1;
    for (size_t k = hash & mask;; k = (k + 1) & mask) {
      slot& s = slots_[k];
      if (s.number == EMPTY) {
        s = {hash, static_cast<uint32_t>(names_.size())};
        names_.emplace_back(name);
        return {s.number, true};
      }
      if (s.hash == hash && names_[s.number] == name) return {s.number, false};
    }
  }

 private:
  static constexpr uint32_t EMPTY = UINT32_MAX;
  struct slot {
    uint64_t hash = 0;
    uint32_t number = EMPTY;
  };

  void grow() {
    std::vector<slot> old;
    old.swap(slots_);
    slots_.assign(std::max<size_t>(64, old.size() * 2), slot{});
    const size_t mask = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.number == EMPTY) continue;
      size_t k = s.hash & mask;
      while (slots_[k].number != EMPTY) k = (k + 1) & mask;
      slots_[k] = s;
    }
  }

  std::vector<slot> slots_;  // a power of two, at most half full
  std::vector<std::string> names_;
};

void links_begin(catalog_links* links, size_t n);
inline void links_add(catalog_links* links, const catalog_entry& e, uint32_t position);
void links_resolve(catalog_links* links, unsigned what, const uint8_t* in_run);

// The working state of one prune plan. The catalog records are read once, in
// catalog order, and everything the plan needs of them is copied into narrow
// columns on the way: at 100,000 entries the records fill 12 MB, far more
// than a core's cache, while the columns the walks use fit in it.
class prune_planner {
 public:
  prune_planner(const std::vector<catalog_entry>& entries, const char* name_filter, int64_t now)
      : entries_(entries), filter_(name_filter), now_(now) {}

  // The one pass over the catalog records: the uuid keys, what the retention
  // of each entry decides on its own, and the newest entry of every name.
  void read_catalog() {
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    state_.assign(n, PRUNE_UNDECIDED);
    if (filter_) in_run_.assign(n, 0);
    links_begin(&links_, n);
    // One look-up per entry: each name gets a small number, and the newest
    // entry of every number is kept with its created time.
    name_numbers ids;
    for (uint32_t i = 0; i < n; i++) {
      // The records are larger than a line: asking for them a little early
      // keeps the pass streaming.
      if (i + 32 < n) {
        const char* ahead = reinterpret_cast<const char*>(&entries_[i + 32]);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
        __builtin_prefetch(ahead + sizeof(catalog_entry) - 1);
      }
      const catalog_entry& e = entries_[i];
      links_add(&links_, e, i);
      if (filter_) {
        if (e.name != filter_) {
          state_[i] = PRUNE_OTHER_NAME;
          continue;
        }
        in_run_[i] = 1;
      }
      run_count_++;
      // Without a branch: retention comes in no order one could foresee.
      uint8_t own = e.retain_until > now_ ? PRUNE_KEEP_NOT_EXPIRED : PRUNE_UNDECIDED;
      state_[i] = e.retain_until == 0 ? uint8_t{PRUNE_KEEP_NO_RETENTION} : own;
      auto [number, added] = ids.number(e.name);
      if (added) {
        newest_.push_back({i, e.created});
        continue;
      }
      // Newer: a later created time, or the same time and a meta path that
      // sorts higher byte-wise. Equal time and path: neither is newer, so
      // both count as newest; which one that is, is settled at the end.
      newest_entry& best = newest_[number];
      if (e.created != best.created) {
        if (e.created > best.created) best = {i, e.created};
        continue;
      }
      // char_traits<char> compares as unsigned bytes.
      int order = e.meta_path.compare(entries_[best.position].meta_path);
      if (order > 0) {
        best = {i, e.created};
      } else if (order == 0) {
        ties_.push_back({number, i});
      }
    }
  }

  void link() {
    links_resolve(&links_, CATALOG_LINK_PARENT, filter_ ? in_run_.data() : nullptr);
    // No look-ups by uuid from here on.
    std::vector<catalog_uuid_key>().swap(links_.by_uuid);
    std::vector<catalog_uuid_key>().swap(links_.by_parent);
    up_.resize(links_.parent.size());
    for (size_t i = 0; i < up_.size(); i++) up_[i].parent = links_.parent[i];
    std::vector<uint32_t>().swap(links_.parent);
  }

  // Protects the newest entry of every name and its chain.
  void protect_newest() {
    for (const newest_entry& best : newest_) protect_chain(best.position);
    for (const tie& t : ties_) {
      const catalog_entry& best = entries_[newest_[t.name].position];
      const catalog_entry& e = entries_[t.position];
      if (best.created == e.created && best.meta_path == e.meta_path) protect_chain(t.position);
    }
  }

  // Decides every entry in catalog order, after protect_newest.
  void decide_all() {
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (filter_ && !in_run_[i]) continue;
      uint32_t start = static_cast<uint32_t>(searched_.size());
      (void)decide(i);
      if (searched_.size() > start) searches_.push_back(start);
    }
  }

  // The depths of the deleted entries, then the entries deepest first.
  //
  // A walk up a chain waits for each parent before it can ask for the next,
  // and at 100,000 entries every step is a miss of the core's cache. The
  // decision searches went down the same chains, though: within a search an
  // entry comes after the one it was reached from, usually its parent, and a
  // later search starts above the earlier ones it runs into. Taking the
  // entries in that order, the latest search first, nearly every walk ends
  // after one step at a parent whose depth was just found, and the entries
  // to look at are known in advance, so they are fetched ahead. Depths do not
  // depend on the order they are found in; the walks still cover whatever
  // this order misses (ancestors kept for reasons of their own, parent
  // loops).
  void plan_deletions(std::vector<prune_item>* out) {
    constexpr size_t AHEAD = 16;
    for (size_t s = searches_.size(); s-- > 0;) {
      size_t first = searches_[s];
      size_t last = s + 1 < searches_.size() ? searches_[s + 1] : searched_.size();
      for (size_t k = first; k < last; k++) {
        if (k + AHEAD < last) __builtin_prefetch(&up_[searched_[k + AHEAD]]);
        uint32_t i = searched_[k];
        if (decision_of(i) == PRUNE_DELETE) (void)depth_of(i);
      }
    }
    // Every entry is written and only the deleted ones are kept: deletions
    // come in no order a branch could foresee.
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    out->resize(n);
    size_t kept = 0;
    for (uint32_t i = 0; i < n; i++) {
      (*out)[kept] = {i, up_[i].depth};
      kept += decision_of(i) == PRUNE_DELETE;
    }
    out->resize(kept);
    sort_deepest_first(out);
  }

  void decisions(std::vector<uint8_t>* out) const {
    out->resize(state_.size());
    for (size_t i = 0; i < state_.size(); i++) (*out)[i] = decision_of(static_cast<uint32_t>(i));
  }

 private:
  static constexpr int32_t DEPTH_UNKNOWN = -1;
  static constexpr int32_t DEPTH_WALKING = -2;

  // One state byte per entry: its decision in the low bits, and a flag.
  static constexpr uint8_t DECISION_MASK = 0x07;
  static constexpr uint8_t VISITING = 0x08;  // being decided (guards against parent loops)

  uint8_t decision_of(uint32_t i) const { return state_[i] & DECISION_MASK; }

  // Protects an entry and its ancestors: protection comes before what the
  // retention decided. A walk that reaches an entry already protected stops
  // there: that entry's own walk went on through all of its ancestors, so
  // going on would only protect them again. Parent loops end the same way.
  void protect_chain(uint32_t i) {
    while (i != NO_ENTRY && decision_of(i) != PRUNE_KEEP_NEWEST) {
      state_[i] = PRUNE_KEEP_NEWEST;
      i = up_[i].parent;
    }
  }

  // The decision of one entry. A backup is deleted only when it has expired,
  // is not protected, and every backup depending on it is deleted too; the
  // dependents are decided first, in catalog order, and the first one kept
  // keeps this one. Chains can be as long as the catalog, so the depth-first
  // search keeps its own stack. An entry met again while it is still being
  // decided (a parent loop) counts as kept, and that answer is not stored.
  uint8_t decide(uint32_t root) {
    uint8_t result;
    if (enter(root, &result)) return result;
    bool fresh = true;  // the top frame has not looked at a dependent yet
    for (;;) {
      const uint32_t top = stack_.back();
      const uint32_t self = top & ~MORE;
      uint8_t outcome = PRUNE_UNDECIDED;
      bool descended = false;
      for (;;) {
        uint32_t dep;
        if (top & MORE) {
          catalog_slice& rest = more_.back();
          if (rest.first == rest.last) break;
          dep = links_.dependents[rest.first++];
        } else {
          // One dependent at most, from the column: looked at once.
          if (!fresh) break;
          fresh = false;
          dep = links_.first_dependent[self] & CATALOG_POSITION_MASK;
          if (dep == CATALOG_NO_DEPENDENT) break;
        }
        if (dep == self) continue;  // its own parent: not its own dependent
        uint8_t dep_result;
        if (!enter(dep, &dep_result)) {
          descended = true;
          break;
        }
        if (dep_result != PRUNE_DELETE) {
          outcome = PRUNE_KEEP_DEPENDENT_KEPT;
          break;
        }
      }
      fresh = descended;
      if (descended) continue;
      if (outcome == PRUNE_UNDECIDED) outcome = PRUNE_DELETE;
      for (;;) {
        uint32_t done = stack_.back();
        stack_.pop_back();
        if (done & MORE) more_.pop_back();
        state_[done & ~MORE] = outcome;
        if (stack_.empty()) return outcome;
        if (outcome == PRUNE_DELETE) break;  // the dependent goes: look at the next one
        outcome = PRUNE_KEEP_DEPENDENT_KEPT;
      }
    }
  }

  // Starts deciding entry i. Returns true with *result when the decision is
  // known at once; otherwise pushes a frame that walks i's dependents.
  bool enter(uint32_t i, uint8_t* result) {
    uint8_t& state = state_[i];
    if ((state & DECISION_MASK) != PRUNE_UNDECIDED) {
      *result = state & DECISION_MASK;
      return true;
    }
    if (state & VISITING) {
      *result = PRUNE_KEEP_DEPENDENT_KEPT;
      return true;
    }
    state |= VISITING;
    searched_.push_back(i);
    uint32_t link = links_.first_dependent[i];
    if (link & CATALOG_MORE_DEPENDENTS) {  // only then is a slice looked at
      more_.push_back(links_.more[link & CATALOG_POSITION_MASK]);
      stack_.push_back(i | MORE);
    } else {
      stack_.push_back(i);
    }
    return false;
  }

  // Ancestors found by following parent links (first entry of the run in
  // catalog order with the parent's uuid). A walk caught in a parent loop
  // would count until it passed the number of entries in the run, so every
  // entry whose walk ends in a loop gets that count plus one. Each entry is
  // walked once; the results are kept for the walks that pass through it.
  int32_t depth_of(uint32_t i) {
    if (up_[i].depth >= 0) return up_[i].depth;
    const int64_t looped = static_cast<int64_t>(run_count_) + 1;
    path_.clear();
    uint32_t cur = i;
    int64_t below;  // depth of the entry past the end of the path, -1 for none
    for (;;) {
      if (up_[cur].depth >= 0) {
        below = up_[cur].depth;
        break;
      }
      if (up_[cur].depth == DEPTH_WALKING) {
        below = looped;
        break;
      }
      up_[cur].depth = DEPTH_WALKING;
      path_.push_back(cur);
      if (up_[cur].parent == NO_ENTRY) {
        below = -1;
        break;
      }
      cur = up_[cur].parent;
    }
    for (size_t k = path_.size(); k-- > 0;) {
      below = below >= looped ? looped : below + 1;
      up_[path_[k]].depth = static_cast<int32_t>(std::min<int64_t>(below, INT32_MAX));
    }
    return up_[i].depth;
  }

  // The decision search's stack: an entry per frame, 4 bytes, as a chain
  // as long as the catalog puts one frame per entry on it. MORE marks an
  // entry with more than one dependent, whose dependents still to look at
  // are on more_.
  static constexpr uint32_t MORE = 0x80000000u;

  const std::vector<catalog_entry>& entries_;
  const char* filter_;
  int64_t now_;
  uint64_t run_count_ = 0;
  struct newest_entry {
    uint32_t position;
    int64_t created;
  };
  std::vector<newest_entry> newest_;  // per name number
  struct tie {
    uint32_t name, position;  // as newest as the newest entry of its name when met
  };
  std::vector<tie> ties_;
  std::vector<uint8_t> in_run_;  // with a name filter only
  std::vector<uint8_t> state_;
  // A walk up the chain reads both fields of every entry it passes: kept
  // together, each step costs one cache line.
  struct up_link {
    uint32_t parent = NO_ENTRY;     // as in links_.parent
    int32_t depth = DEPTH_UNKNOWN;  // filled by depth_of
  };
  std::vector<up_link> up_;
  std::vector<uint32_t> path_;
  std::vector<uint32_t> stack_;
  std::vector<catalog_slice> more_;
  // The entries the decision searches went through, in the order they were
  // entered, and where each search that entered any starts in it.
  std::vector<uint32_t> searched_;
  std::vector<uint32_t> searches_;
  catalog_links links_;
};

}  // namespace

const char* prune_reason_text(uint8_t decision) {
  switch (decision) {
    case PRUNE_KEEP_NO_RETENTION:
      return "no retention";
    case PRUNE_KEEP_NOT_EXPIRED:
      return "not expired yet";
    case PRUNE_KEEP_DEPENDENT_KEPT:
      return "expired, but a backup depending on it is kept";
    case PRUNE_KEEP_NEWEST:
      return "newest backup of this name or part of its chain";
    default:
      return "";
  }
}

namespace {

// The key sort, in expected linear time. Two stable counting passes order
// the keys by the top bits of the uuid (about eight times as many distinct
// values as keys: uuids are random, so equal top bits are rare); each pass
// spreads into at most 2^10 streams, which the cache holds at any catalog
// size, where one pass into as many buckets as keys would write to a random
// line per key. The counts of both passes are kept while the keys are added,
// so that the keys are not read once more for them. The few runs of equal
// top bits are sorted on their own as the merge reaches them (see
// settling_keys). Keys arrive in position order and the passes keep that
// order, so equal uuids stay in catalog order even before the run sorts.
// Damaged catalogs full of one uuid only fall back to the plain sort.
constexpr size_t DIGITS = size_t{1} << 10;  // the most values of one pass

int key_bits_for(size_t n) {
  int bits = 2;
  while ((size_t{1} << bits) < n * 8 && bits < 20) bits++;
  return bits;
}

void links_begin(catalog_links* links, size_t n) {
  links->by_uuid.resize(n);
  links->by_parent.resize(n);
  links->key_bits = key_bits_for(n);
  // Per key kind, the counts of the low pass, then of the high pass.
  links->key_count.assign(4 * DIGITS, 0);
}

inline void links_add(catalog_links* links, const catalog_entry& e, uint32_t position) {
  const int shift = 64 - links->key_bits, low_bits = links->key_bits / 2;
  const uint64_t low_mask = (uint64_t{1} << low_bits) - 1;
  catalog_uuid_key own = catalog_key_of(e.uuid, position);
  catalog_uuid_key parent = catalog_key_of(e.parent_uuid, position);
  uint32_t* count = links->key_count.data();
  count[(own.hi >> shift) & low_mask]++;
  count[DIGITS + (own.hi >> (shift + low_bits))]++;
  count[2 * DIGITS + ((parent.hi >> shift) & low_mask)]++;
  count[3 * DIGITS + (parent.hi >> (shift + low_bits))]++;
  links->by_uuid[position] = own;
  links->by_parent[position] = parent;
}

// Sorts keys by key_less. count holds the keys per value of the low pass,
// then per value of the high pass; spread is working space for n keys.
void sort_keys(std::vector<catalog_uuid_key>* keys, const uint32_t* count, int bits,
               catalog_uuid_key* spread) {
  const size_t n = keys->size();
  if (n < 2) return;
  const int low_bits = bits / 2, high_bits = bits - low_bits;
  const int shift = 64 - bits;
  const uint64_t low_mask = (uint64_t{1} << low_bits) - 1;
  uint32_t low_start[DIGITS], high_start[DIGITS];
  uint32_t low_sum = 0, high_sum = 0;
  for (size_t b = 0; b < (size_t{1} << low_bits); b++) {
    low_start[b] = low_sum;
    low_sum += count[b];
  }
  for (size_t b = 0; b < (size_t{1} << high_bits); b++) {
    high_start[b] = high_sum;
    high_sum += count[DIGITS + b];
  }
  catalog_uuid_key* out = keys->data();
  for (size_t j = 0; j < n; j++) spread[low_start[(out[j].hi >> shift) & low_mask]++] = out[j];
  for (size_t j = 0; j < n; j++) out[high_start[spread[j].hi >> (shift + low_bits)]++] = spread[j];
}

// Keys ordered by their top bits, settled into key_less order as they are
// read: the runs of equal top bits are sorted a block of keys ahead of the
// reader, so that they cost no pass of their own over the keys and the
// block is still in the cache when the reader gets there.
struct settling_keys {
  catalog_uuid_key* keys;
  uint32_t n;
  int shift;
  uint32_t settled = 0;  // keys before it are in their final order

  const catalog_uuid_key& operator[](uint32_t j) {
    if (j >= settled) settle(j);
    return keys[j];
  }
  __attribute__((noinline)) void settle(uint32_t j) {
    constexpr uint32_t BLOCK = 256;
    uint32_t goal = std::max(j + 1, std::min(n, j + BLOCK));
    while (settled < goal) {
      uint32_t last = settled + 1;
      while (last < n && (keys[last].hi >> shift) == (keys[settled].hi >> shift)) last++;
      if (last - settled > 1) std::sort(keys + settled, keys + last, key_less);
      settled = last;
    }
  }
};

// Sorts the keys added and joins them.
void links_resolve(catalog_links* links, unsigned what, const uint8_t* in_run) {
  const uint32_t n = static_cast<uint32_t>(links->by_uuid.size());
  std::vector<catalog_uuid_key>& by_uuid = links->by_uuid;
  std::vector<catalog_uuid_key>& by_parent = links->by_parent;
  {
    auto spread = std::make_unique_for_overwrite<catalog_uuid_key[]>(n);
    const uint32_t* count = links->key_count.data();
    sort_keys(&by_uuid, count, links->key_bits, spread.get());
    sort_keys(&by_parent, count + 2 * DIGITS, links->key_bits, spread.get());
  }
  links->first_dependent.resize(n);
  links->more.clear();
  links->dependents.resize(n);
  const bool same = what & CATALOG_LINK_SAME_UUID;
  const bool parents = what & CATALOG_LINK_PARENT;
  links->first_same_uuid.clear();
  if (parents) links->parent.assign(n, NO_ENTRY);

  const int shift = 64 - links->key_bits;
  settling_keys uuids{by_uuid.data(), n, shift};
  settling_keys parent_uuids{by_parent.data(), n, shift};
  uint32_t* dependents = links->dependents.data();
  uint32_t p = 0;  // merge cursor in by_parent
  for (uint32_t g = 0; g < n;) {
    const catalog_uuid_key& group = uuids[g];
    uint32_t end = g + 1;
    while (end < n && same_uuid(uuids[end], group)) end++;
    for (; p < n && uuid_less_key(parent_uuids[p], group); p++)
      dependents[p] = by_parent[p].position;
    uint32_t last = p;
    for (; last < n && same_uuid(parent_uuids[last], group); last++)
      dependents[last] = by_parent[last].position;
    uint32_t link = CATALOG_NO_DEPENDENT;
    if (last - p == 1) link = by_parent[p].position;
    if (last - p > 1) {
      link = static_cast<uint32_t>(links->more.size()) | CATALOG_MORE_DEPENDENTS;
      links->more.push_back({p, last});
    }
    if (end - g > 1) link |= CATALOG_SHARED_UUID;
    uint32_t holder = NO_ENTRY;  // the first position taking part, positions ascend in a group
    for (uint32_t k = g; k < end; k++) {
      uint32_t pos = by_uuid[k].position;
      links->first_dependent[pos] = link;
      if (same && end - g > 1) {
        // Catalogs rarely hold a uuid twice: the column is made when one does.
        if (links->first_same_uuid.empty()) links->first_same_uuid.resize(n);
        links->first_same_uuid[pos] = by_uuid[g].position;
      }
      if (holder == NO_ENTRY && (!in_run || in_run[pos])) holder = pos;
    }
    // The all-zero uuid sorts first; as a parent_uuid it names nothing.
    bool zero = by_uuid[g].hi == 0 && by_uuid[g].lo == 0;
    if (parents && holder != NO_ENTRY && !zero) {
      for (uint32_t k = p; k < last; k++) links->parent[by_parent[k].position] = holder;
    }
    p = last;
    g = end;
  }
  for (; p < n; p++) dependents[p] = parent_uuids[p].position;
}

}  // namespace

catalog_uuid_key catalog_key_of(const uint8_t id[UUID_SIZE], uint32_t position) {
  catalog_uuid_key k;
  memcpy(&k.hi, id, 8);
  memcpy(&k.lo, id + 8, 8);
  k.position = position;
  return k;
}

void catalog_links_build(const std::vector<catalog_entry>& entries, unsigned what,
                         catalog_links* out) {
  const uint32_t n = static_cast<uint32_t>(entries.size());
  links_begin(out, n);
  for (uint32_t i = 0; i < n; i++) {
    // The records are larger than a line and far apart in the heap's order
    // of things: asking for them a little early keeps the copy streaming.
    if (i + 32 < n) {
      __builtin_prefetch(entries[i + 32].uuid);
      __builtin_prefetch(entries[i + 32].parent_uuid + UUID_SIZE - 1);
    }
    links_add(out, entries[i], i);
  }
  links_resolve(out, what, nullptr);
}

int64_t catalog_links_find(const catalog_links& links, const uint8_t id[UUID_SIZE]) {
  catalog_uuid_key key = catalog_key_of(id, 0);
  auto it = std::lower_bound(links.by_uuid.begin(), links.by_uuid.end(), key, uuid_less_key);
  if (it == links.by_uuid.end() || !same_uuid(*it, key)) return -1;
  return it->position;
}

void catalog_links_dependents(const catalog_links& links, const uint8_t id[UUID_SIZE],
                              size_t* first, size_t* last) {
  catalog_uuid_key key = catalog_key_of(id, 0);
  auto range = std::equal_range(links.by_parent.begin(), links.by_parent.end(), key, uuid_less_key);
  *first = static_cast<size_t>(range.first - links.by_parent.begin());
  *last = static_cast<size_t>(range.second - links.by_parent.begin());
}

status_t prune_plan_build(const std::vector<catalog_entry>& entries, const char* name_filter,
                          int64_t now, prune_plan* out) {
  if (entries.size() >= CATALOG_POSITION_MASK) return STATUS_NO_MEMORY;
  try {
    prune_planner planner(entries, name_filter, now);
    planner.read_catalog();
    planner.link();
    planner.protect_newest();
    planner.decide_all();
    std::vector<prune_item> deletions;
    planner.plan_deletions(&deletions);
    planner.decisions(&out->decision);
    out->deletions = std::move(deletions);
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}

void prune_format_time(int64_t t, char* out, size_t cap) {
  time_t tt = static_cast<time_t>(t);
  struct tm utc;
  if (gmtime_r(&tt, &utc) && strftime(out, cap, "%Y-%m-%d %H:%M:%S UTC", &utc) > 0) return;
  snprintf(out, cap, "%" PRId64, t);
}

status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                   uint64_t* out_image_bytes, backup_header* scratch,
                                   bool* meta_stays) {
  if (meta_stays) *meta_stays = false;
  char image_path[PATH_CAP];
  bool have_image = image_path_for_meta(meta_path, image_path, sizeof image_path) == STATUS_OK;

  // The header is read before anything is removed: afterwards it is gone.
  status_t read = header_read(meta_path, scratch);
  if (out_image_bytes) *out_image_bytes = read == STATUS_OK ? header_image_bytes(*scratch) : 0;
  if (dry_run) return STATUS_OK;

  // A meta file that stays keeps its image: a meta file without its image is
  // a backup nobody can restore, where both together are one that a second
  // run can still remove whole.
  if (fs_remove(meta_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove meta file %s", meta_path);
    if (meta_stays) *meta_stays = true;
    return STATUS_IO;
  }
  if (!have_image) return STATUS_OK;
  // The removal of the meta file is made durable first: after a crash the
  // image must never be gone while its meta file is still there. Until it
  // is, the meta file may still come back, so it counts as staying.
  if (fs_fsync_parent(meta_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove image file %s", image_path);
    if (meta_stays) *meta_stays = true;
    return STATUS_IO;
  }
  if (fs_remove(image_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove image file %s", image_path);
    return STATUS_IO;
  }
  return STATUS_OK;
}

status_t remove_backup_files(const char* meta_path, int32_t dry_run, uint64_t* out_image_bytes) {
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  if (!scratch) return STATUS_NO_MEMORY;
  return remove_backup_files_using(meta_path, dry_run, out_image_bytes, scratch.get(), nullptr);
}

namespace {

// The plan and its execution once the directory is held and its catalog
// read whole.
status_t prune_catalog(const prune_request& req, const std::vector<catalog_entry>& catalog) {
  prune_plan plan;
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  status_t s =
      scratch ? prune_plan_build(catalog, req.name_filter, req.now, &plan) : STATUS_NO_MEMORY;
  if (s != STATUS_OK) return s;

  char when[64];
  char name[TEXT_ESCAPED_CAP];
  size_t kept = 0;
  for (size_t i = 0; i < catalog.size(); i++) {
    uint8_t d = plan.decision[i];
    if (d == PRUNE_DELETE || d == PRUNE_OTHER_NAME) continue;
    const catalog_entry& e = catalog[i];
    kept++;
    text_escape_control(e.name.c_str(), name, sizeof name);
    if (e.retain_until != 0) {
      prune_format_time(e.retain_until, when, sizeof when);
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s, retained until %s) %s", kind_text(e.kind), name,
                prune_reason_text(d), when, e.meta_path.c_str());
    } else {
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s) %s", kind_text(e.kind), name,
                prune_reason_text(d), e.meta_path.c_str());
    }
  }

  const char* action = req.dry_run ? "[dry-run] would delete" : "delete";
  uint64_t total_bytes = 0;
  size_t failures = 0;
  size_t held_back = 0;  // ancestors of a backup that stayed
  removal_guard guard;
  for (const prune_item& item : plan.deletions) {
    const catalog_entry& e = catalog[item.position];
    if (guard.keeps(e.uuid, e.parent_uuid, e.meta_path.c_str())) {
      held_back++;
      continue;
    }
    prune_format_time(e.retain_until, when, sizeof when);
    text_escape_control(e.name.c_str(), name, sizeof name);
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' (expired %s) %s", action, kind_text(e.kind), name, when,
              e.meta_path.c_str());
    uint64_t bytes = 0;
    bool stays = false;
    if (remove_backup_files_using(e.meta_path.c_str(), req.dry_run, &bytes, scratch.get(),
                                  &stays) != STATUS_OK) {
      failures++;
      if (stays) guard.stays(e.parent_uuid);
    }
    total_bytes += bytes;
  }

  const bool failed = failures != 0 || held_back != 0;
  log_write(LOG_INFO_LEVEL, "prune %s: %s %zu backup(s) (%llu byte(s) of image data), kept %zu%s",
            req.search_dir, req.dry_run ? "would delete" : "deleted",
            plan.deletions.size() - failures - held_back,
            static_cast<unsigned long long>(total_bytes), kept + held_back,
            failed ? ", some files could not be removed" : "");
  return failed ? STATUS_IO : STATUS_OK;
}

}  // namespace

status_t prune_backups(const prune_request& req) {
  if (!req.search_dir) return STATUS_INVALID;
  // Held alone for a real run, from before the first read to the last
  // removal; a dry run only reads, beside other readers.
  const dir_lock_request want{req.search_dir, req.dry_run ? DIR_LOCK_SHARED : DIR_LOCK_EXCLUSIVE};
  dir_lock_set lock;
  status_t s = dir_lock_take(&want, 1, &lock);
  if (s == STATUS_OK) s = removal_settle_rewrites(req.search_dir, req.dry_run != 0);
  if (s != STATUS_OK) return s;

  std::vector<catalog_entry> catalog;
  uint64_t unreadable = 0;
  s = catalog_scan_counting(req.search_dir, &catalog, &unreadable);
  if (s != STATUS_OK) return s;
  if (unreadable != 0) {
    removal_refuse_unreadable(req.search_dir, unreadable);
    s = STATUS_CORRUPT;
  } else {
    s = prune_catalog(req, catalog);
  }
  catalog_free(&catalog);
  return s;
}
