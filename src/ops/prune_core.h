// The in-memory planning of prune and delete: which backups of a catalog go,
// and in which order, worked out from the catalog alone (no disk access), so
// that it can be measured and checked apart from the file removal.
//
// Both plans scale with the catalog: the uuid links are resolved once through
// keys sorted by uuid and by parent uuid (O(n log n) at worst, linear for
// random uuids), every later look-up is an array access, the removal order
// comes from a count per depth, and no walk along a chain uses the call
// stack, so a chain of any length is safe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cli/status.h"
#include "store/catalog.h"
#include "store/header.h"
#include "store/uuid.h"

enum prune_decision : uint8_t {
  PRUNE_UNDECIDED = 0,
  PRUNE_DELETE = 1,
  PRUNE_KEEP_NO_RETENTION = 2,
  PRUNE_KEEP_NOT_EXPIRED = 3,
  PRUNE_KEEP_DEPENDENT_KEPT = 4,
  PRUNE_KEEP_NEWEST = 5,
  // Outside the --name filter: never removed by this run, not reported and
  // not counted, but kept all the same, so its parent counts as depended on.
  PRUNE_OTHER_NAME = 6,
};

// The reason a kept backup is reported with; "" for the other values.
const char* prune_reason_text(uint8_t decision);

struct prune_item {
  uint32_t position = 0;  // in the catalog
  int32_t depth = 0;      // ancestors found in the catalog (within the name filter)
};

struct prune_plan {
  std::vector<uint8_t> decision;      // one prune_decision per catalog position
  std::vector<prune_item> deletions;  // deepest first; catalog order among equal depths
};

// Decides every entry of the catalog for an expiry time of now. With a
// name_filter (null for every name) only entries of that exact name are
// decided and walked; entries of other names are PRUNE_OTHER_NAME.
// 0, or -2 when memory runs out (*out is then untouched).
[[nodiscard]] status_t prune_plan_build(const std::vector<catalog_entry>& entries,
                                        const char* name_filter, int64_t now, prune_plan* out);

// 8 bytes: a plan can be as large as the catalog, and positions stay below
// 2^29 (see CATALOG_POSITION_MASK).
struct delete_member {
  int32_t position = -1;  // in the catalog; -1 for the target itself
  int32_t depth = 0;      // 0 for the target, its parent member's depth + 1 otherwise
};

// The target (by uuid) and every catalog entry that depends on it, directly
// or through others, in removal order: deepest first, the target last, the
// order of joining among equal depths. An entry joins the set when its
// parent_uuid is a member's uuid and its own uuid is not yet in the set; of
// several files sharing a uuid, the one that the repeated passes over the
// catalog in catalog order would meet first joins, and the others stay.
// 0, or -2 when memory runs out.
[[nodiscard]] status_t delete_plan_build(const std::vector<catalog_entry>& entries,
                                         const uint8_t target_uuid[UUID_SIZE],
                                         std::vector<delete_member>* out);

// The uuid links of a catalog, resolved once so that every later lookup is an
// array access. Both uuid columns are copied into compact keys, sorted, and
// joined by one merge: the catalog entries themselves are never touched in
// random order, which keeps the build close to the cost of the two sorts at
// any catalog size.
//
// 20 bytes, packed: the sorts move every key twice, and a sixth of a 24-byte
// key would be padding. The constructor leaves the fields alone: key arrays
// are written in full right after they are allocated, and zeroing them first
// would cost a pass of its own.
struct __attribute__((packed)) catalog_uuid_key {
  catalog_uuid_key() {}
  uint64_t hi, lo;  // the 16 uuid bytes, as two words
  uint32_t position;
};
catalog_uuid_key catalog_key_of(const uint8_t id[UUID_SIZE], uint32_t position);

// No catalog position.
constexpr uint32_t CATALOG_NO_ENTRY = UINT32_MAX;
// A column of first dependents holds a number in its low 29 bits and three
// flags above. Positions stay below the mask: catalogs of 2^29 - 1 entries
// and more are refused.
constexpr uint32_t CATALOG_POSITION_MASK = 0x1fffffffu;
constexpr uint32_t CATALOG_NO_DEPENDENT = CATALOG_POSITION_MASK;
// The number is an index in catalog_links::more, not a position.
constexpr uint32_t CATALOG_MORE_DEPENDENTS = 0x80000000u;
// Other positions carry the same uuid.
constexpr uint32_t CATALOG_SHARED_UUID = 0x40000000u;
// Left clear by the build, for a walk to mark the entries it has met.
constexpr uint32_t CATALOG_MARKED = 0x20000000u;

struct catalog_slice {
  uint32_t first = 0, last = 0;
};

// What catalog_links_build fills besides the dependents.
enum : unsigned {
  CATALOG_LINK_SAME_UUID = 1,  // first_same_uuid
  CATALOG_LINK_PARENT = 2,     // parent
};

// Walks follow chains in no order the catalog is stored in, so what they
// read per position lives in narrow columns of its own: at 100,000 entries a
// 4-byte column still fits in a core's own cache, where records holding every
// field would not, and a step of a walk costs a cache hit instead of a trip
// to memory.
struct catalog_links {
  // Keys of uuid sorted by (uuid, position).
  std::vector<catalog_uuid_key> by_uuid;
  // Keys of parent_uuid sorted by (parent_uuid, position): the dependents of
  // one uuid form one slice, in catalog order.
  std::vector<catalog_uuid_key> by_parent;
  // The positions of by_parent alone, for the walks.
  std::vector<uint32_t> dependents;
  // Per catalog position, its dependents (those whose parent_uuid is its
  // uuid) and the flags: the one dependent's position, CATALOG_NO_DEPENDENT,
  // or with CATALOG_MORE_DEPENDENTS the index of their slice in more. Along a
  // chain the one dependent is found without a second look-up, and an entry
  // whose uuid no other entry carries is its own first of that uuid.
  std::vector<uint32_t> first_dependent;
  // The slices of dependents of the uuids that have more than one.
  std::vector<catalog_slice> more;
  // Per catalog position carrying CATALOG_SHARED_UUID, the first position in
  // catalog order with the same uuid (CATALOG_LINK_SAME_UUID).
  std::vector<uint32_t> first_same_uuid;
  // Per catalog position, the first position in catalog order, among those
  // taking part, that carries its parent_uuid, or CATALOG_NO_ENTRY; an
  // all-zero parent_uuid names nothing (CATALOG_LINK_PARENT).
  std::vector<uint32_t> parent;
  // Kept while the keys are added, for their sort: per value of the top
  // key_bits bits, the number of uuid keys, then of parent_uuid keys.
  int key_bits = 0;
  std::vector<uint32_t> key_count;
};
// Resolves the links of a catalog, every position taking part. Throws
// std::bad_alloc when memory runs out.
void catalog_links_build(const std::vector<catalog_entry>& entries, unsigned what,
                         catalog_links* out);
// The first position in catalog order whose uuid equals id, or -1.
int64_t catalog_links_find(const catalog_links& links, const uint8_t id[UUID_SIZE]);
// The slice [*first, *last) of links.dependents whose parent_uuid equals id,
// for a uuid that need not be in the catalog.
void catalog_links_dependents(const catalog_links& links, const uint8_t id[UUID_SIZE],
                              size_t* first, size_t* last);

// Orders items (each with a depth of 0 or more) deepest first, keeping their
// order among equal depths, into out as convert(item), in linear time:
// depths are bounded by the catalog size, so a count per depth replaces a
// comparison sort. Throws std::bad_alloc when memory runs out.
template <typename T, typename U, typename F>
void sort_deepest_first(const std::vector<T>& items, std::vector<U>* out, F convert) {
  int32_t deepest = 0;
  for (const T& t : items) deepest = std::max(deepest, t.depth);
  // 4-byte counts: a chain as deep as the catalog needs one per entry.
  std::vector<uint32_t> start(static_cast<size_t>(deepest) + 2, 0);
  for (const T& t : items) start[static_cast<size_t>(deepest - t.depth) + 1]++;
  for (size_t d = 1; d < start.size(); d++) start[d] += start[d - 1];
  out->resize(items.size());
  for (const T& t : items) (*out)[start[static_cast<size_t>(deepest - t.depth)]++] = convert(t);
}
template <typename T>
void sort_deepest_first(std::vector<T>* items) {
  if (items->size() < 2) return;
  std::vector<T> out;
  sort_deepest_first(*items, &out, [](const T& t) { return t; });
  items->swap(out);
}

// remove_backup_files with a caller-owned header area, so that a run removing
// many backups reuses one 128 KiB buffer. *meta_stays (optional) is set when
// the meta file may still be there after a failure: the backup then keeps
// its image, and its ancestors must stay too.
[[nodiscard]] status_t remove_backup_files_using(const char* meta_path, int32_t dry_run,
                                                 uint64_t* out_image_bytes, backup_header* scratch,
                                                 bool* meta_stays);

// A time as "%Y-%m-%d %H:%M:%S UTC"; the plain number of seconds when the
// time cannot be broken down (beyond the calendar gmtime_r knows).
void prune_format_time(int64_t t, char* out, size_t cap);
