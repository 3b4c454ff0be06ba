// The passes of delete_plan.h are not run as such: a chain listed against
// its order would take one pass per member, O(n^2) for a long chain. Instead
// the point at which each entry would join (pass, then position in the
// catalog) is worked out directly. An entry is met with its parent in the
// set in the pass its parent joined, when it lies after the parent's
// position, else in the next pass. Taking the entries in order of that point,
// earliest first, the first one met for each uuid joins and the others are
// passed over, as the passes would do. O(n log n): a priority queue and the
// catalog index.
#include "ops/delete_plan.h"

#include <algorithm>
#include <new>
#include <queue>
#include <tuple>

#include "store/catalog_index.h"

namespace {

// An entry that a pass would meet with its parent already a member.
struct meeting {
  uint64_t pass;
  uint32_t position;
  int32_t depth;  // if it joins
};

// Puts the earliest meeting on top of the queue.
struct later {
  bool operator()(const meeting& a, const meeting& b) const {
    return std::tie(a.pass, a.position) > std::tie(b.pass, b.position);
  }
};

status_t plan(const std::vector<catalog_entry>& entries, const uint8_t target_uuid[UUID_SIZE],
              std::vector<delete_member>* out) {
  if (entries.size() >= INT32_MAX) return STATUS_NO_MEMORY;
  catalog_index index;
  status_t s = catalog_index_build(entries, &index);
  if (s != STATUS_OK) return s;

  // A uuid is in the set when the first entry carrying it is marked; the
  // target's uuid need not be carried by any.
  std::vector<uint8_t> joined(entries.size(), 0);
  const int64_t target_carrier = catalog_index_find(index, target_uuid);
  if (target_carrier >= 0) joined[static_cast<size_t>(target_carrier)] = 1;

  std::vector<delete_member> members = {{-1, 0}};
  std::priority_queue<meeting, std::vector<meeting>, later> ahead;
  // Queues a dependent of a member that joined at (pass, position).
  auto meet = [&](uint32_t dependent, uint64_t pass, int64_t position, int32_t depth) {
    ahead.push({dependent > position ? pass : pass + 1, dependent, depth + 1});
  };
  for (const catalog_index_key& dependent : catalog_index_dependents(index, target_uuid))
    meet(dependent.position, 1, -1, 0);  // all met in the first pass
  while (!ahead.empty()) {
    const meeting m = ahead.top();
    ahead.pop();
    uint8_t& uuid_joined = joined[index.first_carrier[m.position]];
    if (uuid_joined) continue;
    uuid_joined = 1;
    members.push_back({static_cast<int32_t>(m.position), m.depth});
    for (uint32_t d = index.first_dependent[m.position]; d != CATALOG_NO_ENTRY;
         d = index.next_dependent[d])
      meet(d, m.pass, m.position, m.depth);
  }

  std::stable_sort(
      members.begin(), members.end(),
      [](const delete_member& a, const delete_member& b) { return a.depth > b.depth; });
  *out = std::move(members);
  return STATUS_OK;
}

}  // namespace

status_t delete_plan_build(const std::vector<catalog_entry>& entries,
                           const uint8_t target_uuid[UUID_SIZE], std::vector<delete_member>* out) {
  try {
    return plan(entries, target_uuid, out);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}
