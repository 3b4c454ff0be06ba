#include "ops/delete.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <queue>
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

// An entry that may join the deletion set at the given point of the passes
// over the catalog: pass number, then catalog position within the pass.
struct join_candidate {
  uint64_t pass = 0;
  uint32_t position = 0;
  uint32_t parent_member = 0;  // the member whose uuid is the entry's parent_uuid
};

struct later_first {
  bool operator()(const join_candidate& a, const join_candidate& b) const {
    if (a.pass != b.pass) return a.pass > b.pass;
    return a.position > b.position;
  }
};

}  // namespace

// The set is defined by passes over the catalog in catalog order, each entry
// joining when its parent is already a member, until a pass adds nothing. A
// chain listed against its order would need a pass per member, so instead
// the point at which each entry would join is computed directly: an entry
// whose parent joined at (pass p, position q) is met in pass p when it lies
// after q, else in pass p + 1. Entries are taken in order of that point
// (earliest first); the first file met with a given uuid joins and later
// files with that uuid are passed over, as the passes would do.
status_t delete_plan_build(const std::vector<catalog_entry>& entries,
                           const uint8_t target_uuid[UUID_SIZE], std::vector<delete_member>* out) {
  if (entries.size() >= CATALOG_POSITION_MASK) return STATUS_NO_MEMORY;
  try {
    catalog_links links;
    catalog_links_build(entries, CATALOG_LINK_SAME_UUID, &links);

    // Membership by uuid: every uuid of the catalog is named by the first
    // entry that carries it, whose link word is marked when the uuid joins.
    // For the usual uuid of one entry that is the word the walk reads anyway.
    std::vector<uint32_t>& link_of = links.first_dependent;

    // 8 bytes a member while the set is found, so that a set as large as
    // the catalog crowds the link columns out of the cache half as much;
    // the target is NO_MEMBER_POSITION.
    struct joined {
      uint32_t position;
      int32_t depth;
    };
    constexpr uint32_t NO_MEMBER_POSITION = UINT32_MAX;
    std::vector<joined> members;
    // Room for every entry at once: a set as large as the catalog would
    // otherwise be copied each time the vector grows, and the room a small
    // set leaves unused is never written.
    members.reserve(entries.size() + 1);
    members.push_back({NO_MEMBER_POSITION, 0});
    size_t target_first = 0, target_last = 0;
    catalog_links_dependents(links, target_uuid, &target_first, &target_last);
    // The target's uuid is in the set from the start, under whichever file
    // of the catalog carries it first.
    int64_t target_pos = catalog_links_find(links, target_uuid);
    if (target_pos >= 0) link_of[static_cast<size_t>(target_pos)] |= CATALOG_MARKED;

    std::priority_queue<join_candidate, std::vector<join_candidate>, later_first> pending;
    auto offer = [&](uint32_t pos, uint64_t pass, int64_t joined_at, uint32_t member) {
      if (static_cast<int64_t>(pos) == joined_at) return;  // its own parent
      pending.push({static_cast<int64_t>(pos) > joined_at ? pass : pass + 1, pos, member});
    };
    for (size_t k = target_first; k < target_last; k++) offer(links.dependents[k], 1, -1, 0);

    while (!pending.empty()) {
      join_candidate c = pending.top();
      pending.pop();
      // The first dependent and the flags come from one column, so that a
      // chain costs one look-up per member.
      uint32_t link = link_of[c.position];
      uint32_t same = link & CATALOG_SHARED_UUID ? links.first_same_uuid[c.position] : c.position;
      if (link_of[same] & CATALOG_MARKED) continue;
      link_of[same] |= CATALOG_MARKED;
      members.push_back({c.position, members[c.parent_member].depth + 1});
      uint32_t number = link & CATALOG_POSITION_MASK;
      uint32_t member = static_cast<uint32_t>(members.size() - 1);
      if (link & CATALOG_MORE_DEPENDENTS) {
        for (uint32_t k = links.more[number].first; k < links.more[number].last; k++)
          offer(links.dependents[k], c.pass, c.position, member);
      } else if (number != CATALOG_NO_DEPENDENT) {
        offer(number, c.pass, c.position, member);
      }
    }

    sort_deepest_first(members, out, [](const joined& m) {
      int32_t position = m.position == NO_MEMBER_POSITION ? -1 : static_cast<int32_t>(m.position);
      return delete_member{position, m.depth};
    });
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
}

namespace {

// The catalog of every directory that may hold a dependent of the target:
// --search-dir, and the target's own directory when that is another one.
// STATUS_CORRUPT (nothing removed) when a meta file in either cannot be read.
status_t delete_catalog(const delete_request& req, const char* target_dir,
                        std::vector<catalog_entry>* catalog) {
  uint64_t unreadable = 0;
  status_t s = catalog_scan_counting(req.search_dir, catalog, &unreadable);
  if (s != STATUS_OK) return s;
  // The scan takes a missing directory for an empty one. Here that would
  // delete the target alone and leave its dependents, wherever they really
  // are, without a parent: a mistyped directory is refused instead.
  if (catalog->empty()) {
    struct stat st;
    if (fs_stat(req.search_dir, &st) == STATUS_NOT_FOUND) {
      log_write(LOG_ERROR_LEVEL, "cannot open backup directory %s: %s", req.search_dir,
                strerror(ENOENT));
      return STATUS_NOT_FOUND;
    }
  }
  uint64_t unreadable_beside = 0;
  if (!removal_same_dir(req.search_dir, target_dir)) {
    // The target's own dependents usually lie beside it: deleting it with
    // only another directory's would leave them without their parent.
    std::vector<catalog_entry> beside;
    s = catalog_scan_counting(target_dir, &beside, &unreadable_beside);
    if (s != STATUS_OK) return s;
    try {
      catalog->insert(catalog->end(), std::make_move_iterator(beside.begin()),
                      std::make_move_iterator(beside.end()));
    } catch (const std::bad_alloc&) {
      return STATUS_NO_MEMORY;
    }
  }
  if (unreadable != 0) removal_refuse_unreadable(req.search_dir, unreadable);
  if (unreadable_beside != 0) removal_refuse_unreadable(target_dir, unreadable_beside);
  return unreadable != 0 || unreadable_beside != 0 ? STATUS_CORRUPT : STATUS_OK;
}

}  // namespace

status_t delete_backup(const delete_request& req) {
  if (!req.meta_path || !req.search_dir) return STATUS_INVALID;
  char target_dir[PATH_CAP];
  if (!dir_of_path(req.meta_path, target_dir, sizeof target_dir)) return STATUS_INVALID;
  // Both directories are held alone for a real run (shared for a dry run),
  // from before the first read to the last removal.
  const dir_lock_mode mode = req.dry_run ? DIR_LOCK_SHARED : DIR_LOCK_EXCLUSIVE;
  const dir_lock_request want[] = {{req.search_dir, mode}, {target_dir, mode}};
  dir_lock_set lock;
  status_t s = dir_lock_take(want, 2, &lock);
  if (s == STATUS_OK) s = removal_settle_rewrites(req.search_dir, req.dry_run != 0);
  if (s == STATUS_OK && !removal_same_dir(req.search_dir, target_dir))
    s = removal_settle_rewrites(target_dir, req.dry_run != 0);
  if (s != STATUS_OK) return s;

  std::unique_ptr<backup_header> target(new (std::nothrow) backup_header);
  std::unique_ptr<backup_header> scratch(new (std::nothrow) backup_header);
  if (!target || !scratch) return STATUS_NO_MEMORY;
  s = header_read(req.meta_path, target.get());
  if (s != STATUS_OK) return s;

  std::vector<catalog_entry> catalog;
  s = delete_catalog(req, target_dir, &catalog);
  std::vector<delete_member> members;
  if (s == STATUS_OK) s = delete_plan_build(catalog, header_uuid(*target), &members);
  if (s != STATUS_OK) {
    catalog_free(&catalog);
    return s;
  }

  char target_name[HDR_NAME_LEN];
  header_name_copy(*target, target_name);
  const char* action = req.dry_run ? "[dry-run] would delete" : "deleting";
  uint64_t total_bytes = 0;
  size_t count = 0;
  size_t failures = 0;
  removal_guard guard;
  for (const delete_member& m : members) {
    const char* meta_path = req.meta_path;
    const uint8_t* id = header_uuid(*target);
    const uint8_t* parent = header_parent_uuid(*target);
    uint8_t kind = header_kind(*target);
    const char* name = target_name;
    if (m.position >= 0) {
      const catalog_entry& e = catalog[static_cast<size_t>(m.position)];
      meta_path = e.meta_path.c_str();
      id = e.uuid;
      parent = e.parent_uuid;
      kind = e.kind;
      name = e.name.c_str();
    }
    if (guard.keeps(id, parent, meta_path)) {
      failures++;
      continue;
    }
    char id_text[UUID_TEXT_SIZE];
    uuid_format(id, id_text);
    char shown[TEXT_ESCAPED_CAP];
    log_write(LOG_INFO_LEVEL, "%s: %s '%s' uuid=%s meta=%s", action, kind_text(kind),
              text_escape_control(name, shown, sizeof shown), id_text, meta_path);
    uint64_t bytes = 0;
    bool stays = false;
    if (remove_backup_files_using(meta_path, req.dry_run, &bytes, scratch.get(), &stays) !=
        STATUS_OK) {
      failures++;
      if (stays) guard.stays(parent);
    }
    total_bytes += bytes;
    count++;
  }

  catalog_free(&catalog);
  log_write(LOG_INFO_LEVEL, "%s%zu backup(s), %llu byte(s) of image data",
            req.dry_run ? "would delete " : "deleted ", count,
            static_cast<unsigned long long>(total_bytes));
  // Every member was tried; a file left behind still fails the command.
  return failures ? STATUS_IO : STATUS_OK;
}
