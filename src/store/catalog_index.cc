#include "store/catalog_index.h"

#include <algorithm>
#include <cstring>

#include "base/memory.h"

namespace {

catalog_index_key key_of(const uint8_t id[UUID_SIZE], size_t position) {
  catalog_index_key k;
  memcpy(&k.hi, id, 8);
  memcpy(&k.lo, id + 8, 8);
  k.position = static_cast<uint32_t>(position);
  return k;
}

// Function objects rather than functions, so that the sorts and searches
// inline the comparison.
constexpr auto uuid_less = [](const catalog_index_key& a, const catalog_index_key& b) {
  return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
};

constexpr auto key_less = [](const catalog_index_key& a, const catalog_index_key& b) {
  if (a.hi != b.hi || a.lo != b.lo) return uuid_less(a, b);
  return a.position < b.position;
};

bool same_uuid(const catalog_index_key& a, const catalog_index_key& b) {
  return a.hi == b.hi && a.lo == b.lo;
}

// Over keys sorted by (uuid, position): links each key's position to the
// first position of its uuid (when first is given) and to the next one.
void link_runs(const std::vector<catalog_index_key>& keys, std::vector<uint32_t>* first,
               std::vector<uint32_t>* next) {
  size_t run = 0;  // where the current uuid starts
  for (size_t k = 0; k < keys.size(); k++) {
    if (!same_uuid(keys[run], keys[k])) run = k;
    if (first) (*first)[keys[k].position] = keys[run].position;
    if (k + 1 < keys.size() && same_uuid(keys[k], keys[k + 1]))
      (*next)[keys[k].position] = keys[k + 1].position;
  }
}

}  // namespace

status_t catalog_index_build(const std::vector<catalog_entry>& entries, catalog_index* out,
                             const std::vector<uint8_t>* only) {
  const size_t n = entries.size();
  if (n >= CATALOG_NO_ENTRY) return STATUS_NO_MEMORY;
  size_t count = n;
  if (only) count = static_cast<size_t>(n - std::count(only->begin(), only->end(), 0));
  catalog_index index;
  if (memory_resize(&index.by_uuid, count) != STATUS_OK ||
      memory_resize(&index.by_parent, count) != STATUS_OK) {
    return STATUS_NO_MEMORY;
  }
  for (std::vector<uint32_t>* column : {&index.first_carrier, &index.next_carrier, &index.parent,
                                        &index.first_dependent, &index.next_dependent}) {
    if (memory_resize(column, n) != STATUS_OK) return STATUS_NO_MEMORY;
    std::fill(column->begin(), column->end(), CATALOG_NO_ENTRY);
  }
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    if (only && !(*only)[i]) continue;
    index.by_uuid[k] = key_of(entries[i].uuid, i);
    index.by_parent[k] = key_of(entries[i].parent_uuid, i);
    k++;
  }
  const std::vector<catalog_index_key>& by_uuid = index.by_uuid;
  const std::vector<catalog_index_key>& by_parent = index.by_parent;
  std::sort(index.by_uuid.begin(), index.by_uuid.end(), key_less);
  std::sort(index.by_parent.begin(), index.by_parent.end(), key_less);
  link_runs(by_uuid, &index.first_carrier, &index.next_carrier);
  link_runs(by_parent, nullptr, &index.next_dependent);

  // Both arrays in uuid order: a uuid both carried and named as a parent
  // links its carriers to its dependents.
  size_t c = 0, d = 0;
  while (c < count && d < count) {
    if (uuid_less(by_uuid[c], by_parent[d])) {
      c++;
    } else if (uuid_less(by_parent[d], by_uuid[c])) {
      d++;
    } else {
      const catalog_index_key carrier = by_uuid[c], dependent = by_parent[d];  // the first of each
      for (; c < count && same_uuid(by_uuid[c], carrier); c++)
        index.first_dependent[by_uuid[c].position] = dependent.position;
      for (; d < count && same_uuid(by_parent[d], dependent); d++)
        index.parent[by_parent[d].position] = carrier.position;
    }
  }
  *out = std::move(index);
  return STATUS_OK;
}

std::span<const catalog_index_key> catalog_index_dependents(const catalog_index& index,
                                                            const uint8_t id[UUID_SIZE]) {
  auto range =
      std::equal_range(index.by_parent.begin(), index.by_parent.end(), key_of(id, 0), uuid_less);
  return {range.first, range.second};
}

int64_t catalog_index_find(const catalog_index& index, const uint8_t id[UUID_SIZE]) {
  const catalog_index_key key = key_of(id, 0);
  auto it = std::lower_bound(index.by_uuid.begin(), index.by_uuid.end(), key, uuid_less);
  if (it == index.by_uuid.end() || uuid_less(key, *it)) return -1;
  return it->position;
}
