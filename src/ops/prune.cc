#include "ops/prune.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cli/log.h"
#include "ops/prune_core.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/header.h"
#include "store/naming.h"

namespace {

constexpr uint32_t NO_ENTRY = UINT32_MAX;

catalog_uuid_key key_of(const uint8_t id[UUID_SIZE], uint32_t position) {
  catalog_uuid_key k;
  memcpy(&k.hi, id, 8);
  memcpy(&k.lo, id + 8, 8);
  k.position = position;
  return k;
}

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

// True when a is newer than b: a later created time, or the same time and a
// meta path that sorts higher byte-wise.
bool newer_than(const catalog_entry& a, const catalog_entry& b) {
  if (a.created != b.created) return a.created > b.created;
  return a.meta_path.compare(b.meta_path) > 0;  // char_traits<char> compares as unsigned bytes
}

// The working state of one prune plan.
class prune_planner {
 public:
  prune_planner(const std::vector<catalog_entry>& entries, const char* name_filter, int64_t now)
      : entries_(entries), now_(now) {
    size_t n = entries.size();
    in_run_.assign(n, 1);
    state_.assign(n, PRUNE_UNDECIDED);
    if (name_filter) {
      for (size_t i = 0; i < n; i++) {
        if (entries[i].name != name_filter) {
          in_run_[i] = 0;
          state_[i] = PRUNE_OTHER_NAME;
        }
      }
    }
    run_count_ = static_cast<uint64_t>(std::count(in_run_.begin(), in_run_.end(), 1));
    catalog_links_build(entries, &links_);
    std::vector<catalog_uuid_key>().swap(links_.by_uuid);  // no look-ups by uuid here
    first_dep_.resize(n);
    for (size_t i = 0; i < n; i++) {
      const catalog_link& link = links_.at[i];
      first_dep_[i] = link.first_dependent;
      if (link.dep_last - link.dep_first > 1) state_[i] |= MORE_DEPENDENTS;
    }
    // The parent of an entry is the first entry of the run in catalog order
    // that carries its parent_uuid: per uuid, that entry becomes the parent
    // of every dependent in the run. An all-zero parent_uuid names nothing.
    up_.assign(n, up_link{});
    for (uint32_t i = 0; i < n; i++) {
      const catalog_link& link = links_.at[i];
      if (link.first_same_uuid != i) continue;  // each uuid once
      if (i == links_.zero_uuid_first) continue;
      uint32_t holder = i;
      while (holder != NO_ENTRY && !in_run_[holder]) holder = links_.next_same_uuid[holder];
      if (holder == NO_ENTRY) continue;
      for (uint32_t k = link.dep_first; k < link.dep_last; k++) {
        uint32_t dep = links_.dependents[k];
        if (in_run_[dep]) up_[dep].parent = holder;
      }
    }
  }

  // Marks the newest entry of every name and its chain protected. The same
  // pass over the catalog records what the retention of each entry decides
  // on its own, and the created times in a column of their own, so that the
  // catalog records are streamed through once here rather than once per step.
  void protect_newest() {
    // One hash look-up per entry: each name gets a small number, and the
    // newest entry of every number is kept by position.
    std::unordered_map<std::string_view, uint32_t> ids;
    std::vector<uint32_t> id_of(entries_.size(), NO_ENTRY);
    std::vector<int64_t> created(entries_.size(), 0);
    std::vector<uint32_t> best;
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (!in_run_[i]) continue;
      const catalog_entry& e = entries_[i];
      created[i] = e.created;
      if (e.retain_until == 0) {
        state_[i] |= PRUNE_KEEP_NO_RETENTION;
      } else if (e.retain_until > now_) {
        state_[i] |= PRUNE_KEEP_NOT_EXPIRED;
      }
      auto [it, added] = ids.try_emplace(entries_[i].name, static_cast<uint32_t>(best.size()));
      id_of[i] = it->second;
      if (added) {
        best.push_back(i);
      } else if (newer_than(entries_[i], entries_[best[it->second]])) {
        best[it->second] = i;
      }
    }
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (!in_run_[i]) continue;
      uint32_t b = best[id_of[i]];
      // The newest has the greatest created time; only a tie needs the paths.
      // Equal created time and path: neither is newer, so both count as newest.
      if (b != i && (created[b] != created[i] || newer_than(entries_[b], entries_[i]))) continue;
      protect_chain(i);
    }
  }

  // Decides every entry in catalog order, after protect_newest. What an
  // entry alone decides (protection first, then its retention) is settled
  // before any walk, so that the walks along chains only touch the state
  // bytes and the first dependents.
  void decide_all() {
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (in_run_[i] && (state_[i] & PROTECTED))
        state_[i] = static_cast<uint8_t>((state_[i] & ~DECISION_MASK) | PRUNE_KEEP_NEWEST);
    }
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (in_run_[i]) (void)decide(i);
    }
  }

  void plan_deletions(std::vector<prune_item>* out) {
    out->clear();
    // Most walks start with a step to the parent, somewhere in the catalog:
    // that line is fetched a few entries ahead, while earlier walks run.
    constexpr uint32_t AHEAD = 16;
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    for (uint32_t i = 0; i < n; i++) {
      if (i + AHEAD < n) {
        uint32_t ahead = up_[i + AHEAD].parent;
        if (ahead != NO_ENTRY) __builtin_prefetch(&up_[ahead]);
      }
      if (decision_of(i) == PRUNE_DELETE) out->push_back({i, depth_of(i)});
    }
    sort_deepest_first(out);
  }

  void decisions(std::vector<uint8_t>* out) const {
    out->resize(state_.size());
    for (size_t i = 0; i < state_.size(); i++) (*out)[i] = decision_of(static_cast<uint32_t>(i));
  }

 private:
  static constexpr int32_t DEPTH_UNKNOWN = -1;
  static constexpr int32_t DEPTH_WALKING = -2;

  // One state byte per entry: its decision in the low bits, and flags.
  static constexpr uint8_t DECISION_MASK = 0x07;
  static constexpr uint8_t VISITING = 0x08;         // being decided (guards against parent loops)
  static constexpr uint8_t MORE_DEPENDENTS = 0x10;  // a dependent besides first_dep_
  static constexpr uint8_t PROTECTED = 0x20;        // newest of its name or on that one's chain

  uint8_t decision_of(uint32_t i) const { return state_[i] & DECISION_MASK; }

  // Protects an entry and its ancestors. A walk that reaches an entry already
  // protected stops there: that entry's own walk went on through all of its
  // ancestors, so going on would only protect them again. Parent loops end
  // the same way.
  void protect_chain(uint32_t i) {
    while (i != NO_ENTRY && !(state_[i] & PROTECTED)) {
      state_[i] |= PROTECTED;
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
    for (;;) {
      uint32_t self = stack_.back().entry;
      uint8_t outcome = PRUNE_UNDECIDED;
      bool descended = false;
      for (;;) {
        frame& f = stack_.back();  // enter() may move the stack: taken anew each time
        uint32_t dep;
        if (f.first != NO_ENTRY) {
          dep = f.first;
          f.first = NO_ENTRY;
        } else if (f.cursor < f.end) {
          dep = links_.dependents[f.cursor++];
        } else {
          break;
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
      if (descended) continue;
      if (outcome == PRUNE_UNDECIDED) outcome = PRUNE_DELETE;
      for (;;) {
        uint32_t done = stack_.back().entry;
        stack_.pop_back();
        state_[done] = static_cast<uint8_t>((state_[done] & ~(VISITING | DECISION_MASK)) | outcome);
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
    frame f;
    f.entry = i;
    f.first = first_dep_[i];
    if (state & MORE_DEPENDENTS) {  // only then is the link record looked at
      f.cursor = links_.at[i].dep_first + 1;
      f.end = links_.at[i].dep_last;
    }
    stack_.push_back(f);
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

  struct frame {
    uint32_t entry = 0;
    uint32_t first = NO_ENTRY;  // the first dependent, until it is looked at
    uint32_t cursor = 0;        // next dependent after it, in links_.dependents
    uint32_t end = 0;
  };

  const std::vector<catalog_entry>& entries_;
  int64_t now_;
  uint64_t run_count_ = 0;
  // The walks follow chains in no order the catalog is stored in, so what
  // they touch per entry lives in narrow columns (a byte of state, a 4-byte
  // first dependent, a 4-byte parent, a 4-byte depth): at 100,000 entries each
  // column still fits in a core's own cache, where whole records would not.
  std::vector<uint8_t> in_run_;
  std::vector<uint8_t> state_;
  std::vector<uint32_t> first_dep_;  // first of its dependents in links_.dependents, or NO_ENTRY
  // A depth walk reads both fields of every entry it passes: kept together,
  // each step costs one cache line.
  struct up_link {
    uint32_t parent = NO_ENTRY;     // first parent in the run, or NO_ENTRY
    int32_t depth = DEPTH_UNKNOWN;  // filled by depth_of
  };
  std::vector<up_link> up_;
  std::vector<uint32_t> path_;
  std::vector<frame> stack_;
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

// Sorts keys by key_less in expected linear time. Two stable counting passes
// order the keys by the top bits of the uuid (about as many distinct values
// as keys: uuids are random, so equal top bits are rare); each pass spreads
// into at most 2^10 streams, which the cache holds at any catalog size, where
// one pass into as many buckets as keys would write to a random line per key.
// Runs of equal top bits are then sorted on their own. Keys arrive in
// position order and the passes keep that order, so equal uuids stay in
// catalog order even before the run sorts. Damaged catalogs full of one uuid
// only fall back to the plain sort.
void sort_keys(std::vector<catalog_uuid_key>* keys) {
  const size_t n = keys->size();
  if (n < 2) return;
  int bits = 2;
  while ((size_t{1} << bits) < n && bits < 20) bits++;
  const int low_bits = bits / 2, high_bits = bits - low_bits;
  const int shift = 64 - bits;
  const uint64_t low_mask = (uint64_t{1} << low_bits) - 1;
  std::vector<uint32_t> low_start((size_t{1} << low_bits) + 1, 0);
  std::vector<uint32_t> high_start((size_t{1} << high_bits) + 1, 0);
  for (const catalog_uuid_key& k : *keys) {
    low_start[((k.hi >> shift) & low_mask) + 1]++;
    high_start[(k.hi >> (shift + low_bits)) + 1]++;
  }
  for (size_t b = 1; b < low_start.size(); b++) low_start[b] += low_start[b - 1];
  for (size_t b = 1; b < high_start.size(); b++) high_start[b] += high_start[b - 1];
  std::vector<catalog_uuid_key> spread(n);
  for (const catalog_uuid_key& k : *keys) spread[low_start[(k.hi >> shift) & low_mask]++] = k;
  for (const catalog_uuid_key& k : spread) (*keys)[high_start[k.hi >> (shift + low_bits)]++] = k;
  auto less = [](const catalog_uuid_key& a, const catalog_uuid_key& b) { return key_less(a, b); };
  for (size_t first = 0; first < n;) {
    size_t last = first + 1;
    while (last < n && ((*keys)[last].hi >> shift) == ((*keys)[first].hi >> shift)) last++;
    if (last - first > 1) std::sort(keys->begin() + first, keys->begin() + last, less);
    first = last;
  }
}

}  // namespace

void catalog_links_build(const std::vector<catalog_entry>& entries, catalog_links* out) {
  const uint32_t n = static_cast<uint32_t>(entries.size());
  std::vector<catalog_uuid_key>& by_uuid = out->by_uuid;
  by_uuid.resize(n);
  out->by_parent.resize(n);
  for (uint32_t i = 0; i < n; i++) {
    // The records are larger than a line and far apart in the heap's order
    // of things: asking for them a little early keeps the copy streaming.
    if (i + 8 < n) __builtin_prefetch(entries[i + 8].uuid);
    by_uuid[i] = key_of(entries[i].uuid, i);
    out->by_parent[i] = key_of(entries[i].parent_uuid, i);
  }
  sort_keys(&by_uuid);
  sort_keys(&out->by_parent);
  // The all-zero uuid sorts first, and its first position leads its group.
  out->zero_uuid_first =
      n && by_uuid[0].hi == 0 && by_uuid[0].lo == 0 ? by_uuid[0].position : NO_ENTRY;

  out->at.assign(n, catalog_link{0, 0, 0, NO_ENTRY});
  out->next_same_uuid.assign(n, NO_ENTRY);
  out->dependents.resize(n);
  for (uint32_t k = 0; k < n; k++) out->dependents[k] = out->by_parent[k].position;
  uint32_t p = 0;  // merge cursor in by_parent
  for (uint32_t g = 0; g < n;) {
    uint32_t end = g + 1;
    while (end < n && same_uuid(by_uuid[end], by_uuid[g])) end++;
    while (p < n && uuid_less_key(out->by_parent[p], by_uuid[g])) p++;
    uint32_t last = p;
    while (last < n && same_uuid(out->by_parent[last], by_uuid[g])) last++;
    const uint32_t first_pos = by_uuid[g].position;  // positions ascend within a group
    for (uint32_t k = g; k < end; k++) {
      uint32_t pos = by_uuid[k].position;
      catalog_link& link = out->at[pos];
      link.dep_first = p;
      link.dep_last = last;
      link.first_same_uuid = first_pos;
      if (p < last) link.first_dependent = out->by_parent[p].position;
      if (k + 1 < end) out->next_same_uuid[pos] = by_uuid[k + 1].position;
    }
    p = last;
    g = end;
  }
}

int64_t catalog_links_find(const catalog_links& links, const uint8_t id[UUID_SIZE]) {
  catalog_uuid_key key = key_of(id, 0);
  auto it = std::lower_bound(links.by_uuid.begin(), links.by_uuid.end(), key, uuid_less_key);
  if (it == links.by_uuid.end() || !same_uuid(*it, key)) return -1;
  return it->position;
}

void catalog_links_dependents(const catalog_links& links, const uint8_t id[UUID_SIZE],
                              size_t* first, size_t* last) {
  catalog_uuid_key key = key_of(id, 0);
  auto range = std::equal_range(links.by_parent.begin(), links.by_parent.end(), key, uuid_less_key);
  *first = static_cast<size_t>(range.first - links.by_parent.begin());
  *last = static_cast<size_t>(range.second - links.by_parent.begin());
}

status_t prune_plan_build(const std::vector<catalog_entry>& entries, const char* name_filter,
                          int64_t now, prune_plan* out) {
  if (entries.size() >= NO_ENTRY) return STATUS_NO_MEMORY;
  try {
    prune_planner planner(entries, name_filter, now);
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
                                   uint64_t* out_image_bytes, backup_header* scratch) {
  char image_path[PATH_CAP];
  bool have_image = image_path_for_meta(meta_path, image_path, sizeof image_path) == STATUS_OK;

  // The header is read before anything is removed: afterwards it is gone.
  status_t read = header_read(meta_path, scratch);
  if (out_image_bytes) *out_image_bytes = read == STATUS_OK ? header_image_bytes(*scratch) : 0;
  if (dry_run) return STATUS_OK;

  status_t result = STATUS_OK;
  bool meta_gone = fs_remove(meta_path) == STATUS_OK;
  if (!meta_gone) {
    log_write(LOG_WARN_LEVEL, "could not remove meta file %s", meta_path);
    result = STATUS_IO;
  }
  // The image goes even when the meta file stayed: its space is what the run
  // was asked to free, and the failure is reported either way.
  if (!have_image) return result;
  // The removal of the meta file is made durable first: after a crash the
  // image must never be gone while its meta file is still there.
  if ((meta_gone && fs_fsync_parent(meta_path) != STATUS_OK) ||
      fs_remove(image_path) != STATUS_OK) {
    log_write(LOG_WARN_LEVEL, "could not remove image file %s", image_path);
    return STATUS_IO;
  }
  return result;
}

status_t remove_backup_files(const char* meta_path, int32_t dry_run, uint64_t* out_image_bytes) {
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  if (!scratch) return STATUS_NO_MEMORY;
  return remove_backup_files_using(meta_path, dry_run, out_image_bytes, scratch.get());
}

status_t prune_backups(const prune_request& req) {
  if (!req.search_dir) return STATUS_INVALID;
  std::vector<catalog_entry> catalog;
  status_t s = catalog_scan(req.search_dir, &catalog);
  if (s != STATUS_OK) return s;

  prune_plan plan;
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  s = scratch ? prune_plan_build(catalog, req.name_filter, req.now, &plan) : STATUS_NO_MEMORY;
  if (s != STATUS_OK) {
    catalog_free(&catalog);
    return s;
  }

  char when[64];
  size_t kept = 0;
  for (size_t i = 0; i < catalog.size(); i++) {
    uint8_t d = plan.decision[i];
    if (d == PRUNE_DELETE || d == PRUNE_OTHER_NAME) continue;
    const catalog_entry& e = catalog[i];
    kept++;
    if (e.retain_until != 0) {
      prune_format_time(e.retain_until, when, sizeof when);
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s, retained until %s) %s", kind_text(e.kind),
                e.name.c_str(), prune_reason_text(d), when, e.meta_path.c_str());
    } else {
      log_write(LOG_INFO_LEVEL, "keep: %s '%s' (%s) %s", kind_text(e.kind), e.name.c_str(),
                prune_reason_text(d), e.meta_path.c_str());
    }
  }

  const char* action = req.dry_run ? "[dry-run] would delete" : "delete";
  uint64_t total_bytes = 0;
  size_t failures = 0;
  for (const prune_item& item : plan.deletions) {
    const catalog_entry& e = catalog[item.position];
    prune_format_time(e.retain_until, when, sizeof when);
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' (expired %s) %s", action, kind_text(e.kind),
              e.name.c_str(), when, e.meta_path.c_str());
    uint64_t bytes = 0;
    if (remove_backup_files_using(e.meta_path.c_str(), req.dry_run, &bytes, scratch.get()) !=
        STATUS_OK) {
      failures++;
    }
    total_bytes += bytes;
  }

  log_write(LOG_INFO_LEVEL, "prune %s: %s %zu backup(s) (%llu byte(s) of image data), kept %zu%s",
            req.search_dir, req.dry_run ? "would delete" : "deleted",
            plan.deletions.size() - failures, static_cast<unsigned long long>(total_bytes), kept,
            failures ? ", some files could not be removed" : "");
  catalog_free(&catalog);
  return failures ? STATUS_IO : STATUS_OK;
}
