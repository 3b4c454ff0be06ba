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
    node_.resize(n);
    if (name_filter) {
      for (size_t i = 0; i < n; i++) {
        if (entries[i].name != name_filter) {
          in_run_[i] = 0;
          node_[i].decision = PRUNE_OTHER_NAME;
        }
      }
    }
    run_count_ = static_cast<uint64_t>(std::count(in_run_.begin(), in_run_.end(), 1));
    catalog_links_build(entries, &links_);
    for (size_t i = 0; i < n; i++) {
      node_[i].retain_until = entries[i].retain_until;
      node_[i].dep_first = links_.at[i].dep_first;
      node_[i].dep_last = links_.at[i].dep_last;
      node_[i].first_dep = links_.at[i].first_dependent;
    }
    // The parent of an entry is the first entry of the run in catalog order
    // that carries its parent_uuid: per uuid, that entry becomes the parent
    // of every dependent in the run. An all-zero parent_uuid names nothing.
    parent_.assign(n, NO_ENTRY);
    for (uint32_t i = 0; i < n; i++) {
      const catalog_link& link = links_.at[i];
      if (link.first_same_uuid != i) continue;  // each uuid once
      if (uuid_is_zero(entries[i].uuid)) continue;
      uint32_t holder = i;
      while (holder != NO_ENTRY && !in_run_[holder]) holder = links_.at[holder].next_same_uuid;
      if (holder == NO_ENTRY) continue;
      for (uint32_t k = link.dep_first; k < link.dep_last; k++) {
        uint32_t dep = links_.dependents[k];
        if (in_run_[dep]) parent_[dep] = holder;
      }
    }
  }

  void protect_newest() {
    // One hash look-up per entry: each name gets a small number, and the
    // newest entry of every number is kept by position.
    std::unordered_map<std::string_view, uint32_t> ids;
    std::vector<uint32_t> id_of(entries_.size(), NO_ENTRY);
    std::vector<uint32_t> best;
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (!in_run_[i]) continue;
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
      // Equal created time and path: neither is newer, so both count as newest.
      if (b != i && newer_than(entries_[b], entries_[i])) continue;
      protect_chain(i);
    }
  }

  // Decides every entry in catalog order.
  void decide_all() {
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (in_run_[i]) (void)decide(i);
    }
  }

  void plan_deletions(std::vector<prune_item>* out) {
    depth_.assign(entries_.size(), DEPTH_UNKNOWN);
    out->clear();
    for (uint32_t i = 0; i < entries_.size(); i++) {
      if (node_[i].decision == PRUNE_DELETE) out->push_back({i, depth_of(i)});
    }
    sort_deepest_first(out);
  }

  void decisions(std::vector<uint8_t>* out) const {
    out->resize(node_.size());
    for (size_t i = 0; i < node_.size(); i++) (*out)[i] = node_[i].decision;
  }

 private:
  static constexpr int64_t DEPTH_UNKNOWN = -1;
  static constexpr int64_t DEPTH_WALKING = -2;

  // Protects an entry and its ancestors. A walk that reaches an entry already
  // protected stops there: that entry's own walk went on through all of its
  // ancestors, so going on would only protect them again. Parent loops end
  // the same way.
  void protect_chain(uint32_t i) {
    while (i != NO_ENTRY && !node_[i].protect) {
      node_[i].protect = 1;
      i = parent_[i];
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
        node_[done].visiting = 0;
        node_[done].decision = outcome;
        if (stack_.empty()) return outcome;
        if (outcome == PRUNE_DELETE) break;  // the dependent goes: look at the next one
        outcome = PRUNE_KEEP_DEPENDENT_KEPT;
      }
    }
  }

  // Starts deciding entry i. Returns true with *result when the decision is
  // known at once; otherwise pushes a frame that walks i's dependents.
  bool enter(uint32_t i, uint8_t* result) {
    node& v = node_[i];
    if (v.decision != PRUNE_UNDECIDED) {
      *result = v.decision;
      return true;
    }
    if (v.visiting) {
      *result = PRUNE_KEEP_DEPENDENT_KEPT;
      return true;
    }
    uint8_t early = PRUNE_UNDECIDED;
    if (v.protect) {
      early = PRUNE_KEEP_NEWEST;
    } else if (v.retain_until == 0) {
      early = PRUNE_KEEP_NO_RETENTION;
    } else if (v.retain_until > now_) {
      early = PRUNE_KEEP_NOT_EXPIRED;
    }
    if (early != PRUNE_UNDECIDED) {
      v.decision = early;
      *result = early;
      return true;
    }
    v.visiting = 1;
    frame f;
    f.entry = i;
    f.first = v.first_dep;
    f.cursor = v.dep_first < v.dep_last ? v.dep_first + 1 : v.dep_last;
    f.end = v.dep_last;
    stack_.push_back(f);
    return false;
  }

  // Ancestors found by following parent links (first entry of the run in
  // catalog order with the parent's uuid). A walk caught in a parent loop
  // would count until it passed the number of entries in the run, so every
  // entry whose walk ends in a loop gets that count plus one. Each entry is
  // walked once; the results are kept for the walks that pass through it.
  int32_t depth_of(uint32_t i) {
    if (depth_[i] >= 0) return static_cast<int32_t>(depth_[i]);
    const int64_t looped = static_cast<int64_t>(run_count_) + 1;
    path_.clear();
    uint32_t cur = i;
    int64_t below;  // depth of the entry past the end of the path, -1 for none
    for (;;) {
      if (depth_[cur] >= 0) {
        below = depth_[cur];
        break;
      }
      if (depth_[cur] == DEPTH_WALKING) {
        below = looped;
        break;
      }
      depth_[cur] = DEPTH_WALKING;
      path_.push_back(cur);
      if (parent_[cur] == NO_ENTRY) {
        below = -1;
        break;
      }
      cur = parent_[cur];
    }
    for (size_t k = path_.size(); k-- > 0;) {
      below = below >= looped ? looped : below + 1;
      depth_[path_[k]] = below;
    }
    return static_cast<int32_t>(depth_[i]);
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
  // What deciding needs of one entry, in one place: the decisions follow
  // the chains, in no order the catalog is stored in, and each entry met
  // should cost one cache line, not one per field.
  struct node {
    int64_t retain_until = 0;
    uint32_t dep_first = 0, dep_last = 0;  // its dependents, a slice of links_.dependents
    uint32_t first_dep = NO_ENTRY;         // the slice's first entry, if any
    uint8_t decision = PRUNE_UNDECIDED;
    uint8_t protect = 0;   // newest of its name or on that one's chain
    uint8_t visiting = 0;  // being decided (guards against parent loops)
  };

  std::vector<uint8_t> in_run_;
  std::vector<node> node_;
  std::vector<uint32_t> parent_;  // first parent in the run, or NO_ENTRY
  std::vector<int64_t> depth_;
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

// Sorts keys by key_less in expected linear time: one pass spreads them into
// about as many buckets as keys by the top bits of the uuid (uuids are
// random, so the buckets stay tiny), and each bucket is then sorted on its
// own. Keys arrive in position order and the spreading keeps that order, so
// equal uuids stay in catalog order even before the bucket sorts. Damaged
// catalogs full of one uuid only fall back to the plain sort.
void sort_keys(std::vector<catalog_uuid_key>* keys) {
  const size_t n = keys->size();
  if (n < 2) return;
  int bits = 1;
  while ((size_t{1} << bits) < n && bits < 20) bits++;
  const int shift = 64 - bits;
  std::vector<uint32_t> start((size_t{1} << bits) + 1, 0);
  for (const catalog_uuid_key& k : *keys) start[(k.hi >> shift) + 1]++;
  for (size_t b = 1; b < start.size(); b++) start[b] += start[b - 1];
  std::vector<catalog_uuid_key> out(n);
  std::vector<uint32_t> next(start.begin(), start.end() - 1);
  for (const catalog_uuid_key& k : *keys) out[next[k.hi >> shift]++] = k;
  auto less = [](const catalog_uuid_key& a, const catalog_uuid_key& b) { return key_less(a, b); };
  for (size_t b = 0; b + 1 < start.size(); b++) {
    if (start[b + 1] - start[b] > 1)
      std::sort(out.begin() + start[b], out.begin() + start[b + 1], less);
  }
  keys->swap(out);
}

}  // namespace

void catalog_links_build(const std::vector<catalog_entry>& entries, catalog_links* out) {
  const uint32_t n = static_cast<uint32_t>(entries.size());
  std::vector<catalog_uuid_key> by_uuid(n);
  out->by_parent.resize(n);
  for (uint32_t i = 0; i < n; i++) {
    by_uuid[i] = key_of(entries[i].uuid, i);
    out->by_parent[i] = key_of(entries[i].parent_uuid, i);
  }
  sort_keys(&by_uuid);
  sort_keys(&out->by_parent);

  out->at.assign(n, catalog_link{0, 0, 0, NO_ENTRY, NO_ENTRY});
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
      if (k + 1 < end) link.next_same_uuid = by_uuid[k + 1].position;
    }
    p = last;
    g = end;
  }
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
