#include "ops/blast_radius.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/log.h"
#include "base/status.h"
#include "store/backup.h"
#include "store/catalog.h"
#include "store/catalog_index.h"

namespace {

// The walk over the backups resting on one damaged backup D. Each damaged
// block is live while no backup on the path from D to the one being looked
// at has an entry for it; a backup with a live block reads it on restore.
struct blast_walk {
  const std::vector<catalog_entry>& catalog;
  const catalog_index& index;
  std::vector<uint64_t> bad;         // D's bad block ids, sorted, once each
  std::vector<uint32_t> hidden_at;   // per bad block: depth of the entry hiding it, or 0
  std::vector<size_t> hidden;        // bad blocks hidden, in the order hidden
  size_t live = 0;                   // bad blocks not hidden
  std::vector<uint8_t> seen;         // per catalog position
  std::vector<std::string>* broken;  // the meta paths named so far
};

constexpr uint32_t NOT_HIDDEN = 0;

// Backups resting directly on catalog position pos, as a chain walk links
// them (through the first backup that carries a uuid), by creation time.
std::vector<uint32_t> dependents_of(const blast_walk& w, uint32_t pos) {
  std::vector<uint32_t> out;
  for (uint32_t d = w.index.first_dependent[pos]; d != CATALOG_NO_ENTRY;
       d = w.index.next_dependent[d]) {
    // A FULL ends every chain, whatever its parent_uuid says.
    if (w.index.parent[d] == pos && w.catalog[d].kind != KIND_FULL && !w.seen[d]) out.push_back(d);
  }
  std::sort(out.begin(), out.end(), [&](uint32_t a, uint32_t b) {
    const catalog_entry &x = w.catalog[a], &y = w.catalog[b];
    return x.created != y.created ? x.created < y.created : x.meta_path < y.meta_path;
  });
  return out;
}

// Adds the backups that rest on the damaged backup at catalog position root
// and read one of its bad blocks, in the order of blast_radius_report; a
// backup that cannot be read is warned about and left out with all that
// rests on it.
void walk_dependents(blast_walk* w, uint32_t root, const std::string& damaged) {
  struct frame {
    uint32_t pos;
    uint32_t depth;  // 1 for a backup resting on the damaged one
  };
  std::vector<frame> stack;
  w->seen[root] = 1;
  std::vector<uint32_t> next = dependents_of(*w, root);
  for (auto it = next.rbegin(); it != next.rend(); ++it) stack.push_back({*it, 1});

  while (!stack.empty()) {
    const frame f = stack.back();
    stack.pop_back();
    if (w->seen[f.pos]) continue;  // parent links that loop back
    w->seen[f.pos] = 1;
    // Back on the path to this backup: what was hidden below its depth shows again.
    while (!w->hidden.empty() && w->hidden_at[w->hidden.back()] >= f.depth) {
      w->hidden_at[w->hidden.back()] = NOT_HIDDEN;
      w->hidden.pop_back();
      w->live++;
    }

    const catalog_entry& e = w->catalog[f.pos];
    loaded_backup b;
    int state = BACKUP_PAIR_WHOLE;
    const status_t s = backup_load_whole(e.meta_path.c_str(), &b, &state);
    if (s != STATUS_OK) {
      log_write(LOG_WARN_LEVEL,
                "scrub: cannot read %s (%s, status=%d): the restores of it and of what rests on "
                "it are not weighed against the bit rot in %s",
                e.meta_path.c_str(), status_message(s), s, damaged.c_str());
      continue;
    }
    for (const block_entry& entry : b.table) {
      auto at = std::lower_bound(w->bad.begin(), w->bad.end(), entry.block_id);
      if (at == w->bad.end() || *at != entry.block_id) continue;
      const size_t i = static_cast<size_t>(at - w->bad.begin());
      if (w->hidden_at[i] != NOT_HIDDEN) continue;
      w->hidden_at[i] = f.depth;
      w->hidden.push_back(i);
      w->live--;
    }
    backup_release(&b);
    // Every bad block has a newer entry here: neither this restore nor any
    // resting on this backup reads one.
    if (w->live == 0) continue;
    w->broken->push_back(e.meta_path);
    next = dependents_of(*w, f.pos);
    for (auto it = next.rbegin(); it != next.rend(); ++it) stack.push_back({*it, f.depth + 1});
  }
}

// The catalog position of the damaged backup: its meta path, or, for a
// recompress interrupted between its renames, that of the meta file its new
// one ("<meta>.tmp") replaces. -1 when it is not in the catalog.
int64_t position_of(const std::vector<catalog_entry>& catalog, const std::string& meta_path) {
  std::string path = meta_path;
  for (int attempt = 0; attempt < 2; attempt++) {
    for (size_t i = 0; i < catalog.size(); i++)
      if (catalog[i].meta_path == path) return static_cast<int64_t>(i);
    constexpr char TMP[] = ".tmp";
    if (path.size() <= sizeof TMP - 1 ||
        path.compare(path.size() - (sizeof TMP - 1), sizeof TMP - 1, TMP) != 0)
      break;
    path.resize(path.size() - (sizeof TMP - 1));
  }
  return -1;
}

std::string joined(const std::vector<std::string>& paths) {
  std::string out;
  for (const std::string& p : paths) {
    if (!out.empty()) out += ", ";
    out += p;
  }
  return out;
}

// The restores the bad blocks of one damaged backup break, itself first.
// Throws std::bad_alloc when memory runs out.
void broken_restores(const std::vector<catalog_entry>& catalog, const catalog_index& index,
                     const damaged_backup& d, std::vector<std::string>* broken) {
  broken->push_back(d.meta_path);
  const int64_t root = position_of(catalog, d.meta_path);
  if (root < 0) {
    log_write(LOG_WARN_LEVEL,
              "scrub: %s is not among the backups listed in its directory: the backups resting "
              "on it are not named",
              d.meta_path.c_str());
    return;
  }
  blast_walk w{catalog, index, d.block_ids, {}, {}, 0, {}, broken};
  std::sort(w.bad.begin(), w.bad.end());
  w.bad.erase(std::unique(w.bad.begin(), w.bad.end()), w.bad.end());
  w.live = w.bad.size();
  w.hidden_at.assign(w.bad.size(), NOT_HIDDEN);
  w.seen.assign(catalog.size(), 0);
  walk_dependents(&w, static_cast<uint32_t>(root), d.meta_path);
}

}  // namespace

void damage_record_add(damage_record* record, const char* meta_path, uint64_t block_id) {
  try {
    if (record->backups.empty() || record->backups.back().meta_path != meta_path)
      record->backups.push_back(damaged_backup{meta_path, {}});
    record->backups.back().block_ids.push_back(block_id);
  } catch (const std::bad_alloc&) {
    record->incomplete = true;
  }
}

void blast_radius_report(const char* dir, const damage_record& record) {
  if (record.backups.empty()) return;
  std::vector<catalog_entry> catalog;
  uint64_t unreadable = 0;
  status_t s = catalog_scan_counting_quiet(dir, &catalog, &unreadable);
  catalog_index index;
  if (s == STATUS_OK) s = catalog_index_build(catalog, &index);
  if (s != STATUS_OK) {
    log_write(LOG_WARN_LEVEL,
              "scrub: cannot list the backups of %s (%s, status=%d): the backups resting on the "
              "damaged ones are not named",
              dir, status_message(s), s);
  }
  const bool listed = s == STATUS_OK;

  bool whole = !record.incomplete;
  for (const damaged_backup& d : record.backups) {
    std::string names;
    try {
      std::vector<std::string> broken;
      if (listed) broken_restores(catalog, index, d, &broken);
      names = listed ? joined(broken) : d.meta_path;
    } catch (const std::bad_alloc&) {
      whole = false;
    }
    // Without memory for the list, the damaged backup is still named.
    log_write(LOG_WARN_LEVEL, "bit rot in %s breaks the restore of: %s", d.meta_path.c_str(),
              names.empty() ? d.meta_path.c_str() : names.c_str());
  }
  if (unreadable != 0) {
    log_write(LOG_WARN_LEVEL,
              "scrub: %llu meta file(s) of %s could not be read: backups resting on the damaged "
              "ones may be missing above",
              static_cast<unsigned long long>(unreadable), dir);
  }
  if (!whole) {
    log_write(LOG_WARN_LEVEL,
              "scrub: out of memory: the restores the bit rot breaks may not all be named above");
  }
}
