// The rule is stated in prune_plan.h; each step below names the part of it
// that it carries out.
//
// Cost: the index sorts the uuids (O(n log n)); every step here is a pass or
// a worklist over arrays indexed by catalog position. Chains can be as long
// as the catalog, so no step recurses.
#include "ops/prune_plan.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <unordered_map>

#include "store/catalog_index.h"

namespace {

constexpr uint32_t NO_ENTRY = CATALOG_NO_ENTRY;

// a is newer than b (rule 1). std::string compares its bytes as unsigned.
bool newer(const catalog_entry& a, const catalog_entry& b) {
  if (a.created != b.created) return a.created > b.created;
  return a.meta_path > b.meta_path;
}

// The parent link of each entry taking part, or NO_ENTRY. walk_index holds
// the entries taking part only, so a link leads to the first of those.
std::vector<uint32_t> parent_links(const std::vector<catalog_entry>& entries,
                                   const catalog_index& walk_index) {
  std::vector<uint32_t> parent(entries.size(), NO_ENTRY);
  for (size_t i = 0; i < entries.size(); i++) {
    if (!uuid_is_zero(entries[i].parent_uuid)) parent[i] = walk_index.parent[i];
  }
  return parent;
}

// Rule 1: the newest entries of each name and every entry up their parent
// links.
std::vector<uint8_t> protected_entries(const std::vector<catalog_entry>& entries,
                                       const std::vector<uint8_t>& taking_part,
                                       const std::vector<uint32_t>& parent) {
  std::unordered_map<std::string_view, uint32_t> newest;  // per name, one of its newest
  for (uint32_t i = 0; i < entries.size(); i++) {
    if (!taking_part[i]) continue;
    auto [it, added] = newest.try_emplace(entries[i].name, i);
    if (!added && newer(entries[i], entries[it->second])) it->second = i;
  }
  std::vector<uint8_t> protect(entries.size(), 0);
  for (uint32_t i = 0; i < entries.size(); i++) {
    if (!taking_part[i] || newer(entries[newest.at(entries[i].name)], entries[i])) continue;
    // A walk stops at an entry already protected: the rest of its chain is
    // protected too. That also ends a walk caught in a loop.
    for (uint32_t p = i; p != NO_ENTRY && !protect[p]; p = parent[p]) protect[p] = 1;
  }
  return protect;
}

// Rules 1 and 2: what an entry's own fields decide, or PRUNE_UNDECIDED when
// it has expired and only its dependents can keep it.
uint8_t own_decision(const catalog_entry& e, bool is_protected, int64_t now) {
  if (is_protected) return PRUNE_KEEP_NEWEST;
  if (e.retain_until == 0) return PRUNE_KEEP_NO_RETENTION;
  if (e.retain_until > now) return PRUNE_KEEP_NOT_EXPIRED;
  return PRUNE_UNDECIDED;
}

// Rule 3, from the leaves up: an undecided entry is deleted once every entry
// depending on it is deleted. An entry never reached this way (it has a kept
// dependent, an entry of another name, or a cycle below it) stays undecided.
//
// Entries sharing a uuid share their dependents, so these are counted once
// per uuid, under the first entry carrying it: waiting[f] is the number of
// entries naming that uuid as parent that are not deleted yet.
void delete_from_the_leaves(const std::vector<catalog_entry>& entries, const catalog_index& all,
                            std::vector<uint8_t>* decision) {
  const size_t n = entries.size();
  std::vector<uint32_t> waiting(n, 0);
  for (size_t j = 0; j < n; j++) {
    if (all.parent[j] != NO_ENTRY) waiting[all.parent[j]]++;
  }
  auto can_go = [&](uint32_t i) {
    // An entry naming its own uuid as parent waits for every dependent but itself.
    const uint32_t itself = uuid_equal(entries[i].uuid, entries[i].parent_uuid) ? 1 : 0;
    return (*decision)[i] == PRUNE_UNDECIDED && waiting[all.first_carrier[i]] == itself;
  };

  std::vector<uint32_t> deleted;  // deleted, not yet taken off their parent's count
  for (uint32_t i = 0; i < n; i++) {
    if (!can_go(i)) continue;
    (*decision)[i] = PRUNE_DELETE;
    deleted.push_back(i);
  }
  while (!deleted.empty()) {
    const uint32_t p = all.parent[deleted.back()];
    deleted.pop_back();
    // The carriers of the parent's uuid can go at a count of 1 (only one
    // that is its own parent) or 0.
    if (p == NO_ENTRY || --waiting[p] > 1) continue;
    for (uint32_t q = p; q != NO_ENTRY; q = all.next_carrier[q]) {
      if (!can_go(q)) continue;
      (*decision)[q] = PRUNE_DELETE;
      deleted.push_back(q);
    }
  }
}

// Rule 4: the depth of every deleted entry. Each entry's depth is found once,
// walking up the parent links to an entry whose depth is known; a walk that
// comes back onto itself is in a loop, and every entry on it gets looped.
std::vector<int64_t> deletion_depths(const std::vector<uint8_t>& decision,
                                     const std::vector<uint32_t>& parent, int64_t looped) {
  constexpr int64_t UNKNOWN = -1, ON_WALK = -2;
  std::vector<int64_t> depth(decision.size(), UNKNOWN);
  std::vector<uint32_t> walk;
  for (uint32_t i = 0; i < decision.size(); i++) {
    if (decision[i] != PRUNE_DELETE) continue;
    walk.clear();
    int64_t above = -1;  // the depth of the entry above the walk's top; -1 for none
    for (uint32_t p = i; p != NO_ENTRY; p = parent[p]) {
      if (depth[p] == ON_WALK) {
        above = looped;
        break;
      }
      if (depth[p] != UNKNOWN) {
        above = depth[p];
        break;
      }
      depth[p] = ON_WALK;
      walk.push_back(p);
    }
    for (size_t k = walk.size(); k-- > 0;) {
      above = std::min(above + 1, looped);
      depth[walk[k]] = above;
    }
  }
  return depth;
}

status_t plan(const std::vector<catalog_entry>& entries, const char* filter, int64_t now,
              prune_plan* out) {
  const size_t n = entries.size();
  std::vector<uint8_t> taking_part(n, 1);
  if (filter) {
    for (size_t i = 0; i < n; i++) taking_part[i] = entries[i].name == filter;
  }
  const size_t run_size =
      static_cast<size_t>(std::count(taking_part.begin(), taking_part.end(), 1));

  // Dependents are counted over every entry; walks go over those taking part.
  catalog_index all, run;
  status_t s = catalog_index_build(entries, &all);
  if (s == STATUS_OK && filter) s = catalog_index_build(entries, &run, &taking_part);
  if (s != STATUS_OK) return s;
  const std::vector<uint32_t> parent = parent_links(entries, filter ? run : all);

  const std::vector<uint8_t> protect = protected_entries(entries, taking_part, parent);
  std::vector<uint8_t> decision(n, PRUNE_OTHER_NAME);
  for (size_t i = 0; i < n; i++) {
    if (taking_part[i]) decision[i] = own_decision(entries[i], protect[i], now);
  }
  delete_from_the_leaves(entries, all, &decision);
  for (uint8_t& d : decision) {
    if (d == PRUNE_UNDECIDED) d = PRUNE_KEEP_DEPENDENT_KEPT;
  }

  const std::vector<int64_t> depth =
      deletion_depths(decision, parent, static_cast<int64_t>(run_size) + 1);
  std::vector<prune_item> deletions;
  for (uint32_t i = 0; i < n; i++) {
    if (decision[i] == PRUNE_DELETE)
      deletions.push_back({i, static_cast<int32_t>(std::min<int64_t>(depth[i], INT32_MAX))});
  }
  std::stable_sort(deletions.begin(), deletions.end(),
                   [](const prune_item& a, const prune_item& b) { return a.depth > b.depth; });

  out->decision = std::move(decision);
  out->deletions = std::move(deletions);
  return STATUS_OK;
}

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

status_t prune_plan_build(const std::vector<catalog_entry>& entries, const char* name_filter,
                          int64_t now, prune_plan* out) {
  try {
    return plan(entries, name_filter, now, out);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}
