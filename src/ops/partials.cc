#include "ops/partials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ops/journal.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/uuid.h"

namespace {

constexpr const char* JOURNAL_SUFFIX = ".part";
constexpr size_t JOURNAL_SUFFIX_LEN = 5;

bool is_journal_name(const char* name) {
  size_t n = strlen(name);
  return n >= JOURNAL_SUFFIX_LEN + 1 && strcmp(name + n - JOURNAL_SUFFIX_LEN, JOURNAL_SUFFIX) == 0;
}

// Kinds 2 and above are all listed as INC: the listing only tells a FULL, a
// DIFF and everything that rests on them apart.
const char* listing_kind(uint8_t kind) {
  if (kind == KIND_FULL) return "FULL";
  if (kind == KIND_DIFF) return "DIFF";
  return "INC";
}

int list_partials_unguarded(const char* dir, int32_t delete_flag, int64_t older_than_days) {
  unique_dir listing;
  if (fs_dir_open(dir, &listing.dir) != STATUS_OK) {
    fprintf(stderr, "error: cannot open %s\n", dir);
    return 1;
  }
  int64_t now = now_seconds();
  bool age_limit = older_than_days >= 0;
  size_t counted = 0;
  bool removal_failed = false;
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);

  for (;;) {
    const char* entry = nullptr;
    if (fs_dir_next(&listing.dir, &entry) != STATUS_OK) {
      fprintf(stderr, "error: cannot read %s: %s\n", dir, strerror(errno));
      fflush(stdout);
      return 1;
    }
    if (!entry) break;
    if (!is_journal_name(entry)) continue;
    std::string name = entry;  // the next readdir may reuse the entry's storage
    std::string journal = std::string(dir) + "/" + name;

    char image_name[JOURNAL_NAME_LEN];
    if (journal_read_names(journal.c_str(), body.data(), nullptr, image_name) != STATUS_OK) {
      printf("%-40s unreadable journal\n", name.c_str());
      continue;
    }
    std::string image = std::string(dir) + "/" + image_name + ".tmp";

    struct stat journal_st;
    if (fs_stat(journal.c_str(), &journal_st) != STATUS_OK) continue;  // vanished
    struct stat image_st;
    double image_mib = 0.0;
    if (fs_stat(image.c_str(), &image_st) == STATUS_OK)
      image_mib = static_cast<double>(image_st.st_size) / 1048576.0;
    int64_t age_days = (now - static_cast<int64_t>(journal_st.st_mtime)) / 86400;

    char uuid_text[UUID_TEXT_SIZE];
    uuid_format(body.data() + HDR_UUID, uuid_text);
    char backup_name[HDR_NAME_LEN + 1];
    memcpy(backup_name, body.data() + HDR_NAME, HDR_NAME_LEN);
    backup_name[HDR_NAME_LEN] = '\0';
    printf("%s  %-4s %-20s image %.1f MiB, last written %ld day(s) ago\n", uuid_text,
           listing_kind(body[HDR_KIND]), backup_name, image_mib, static_cast<long>(age_days));
    counted++;

    if (delete_flag && (!age_limit || age_days >= older_than_days)) {
      int err = remove_partial(journal.c_str());
      if (err == 0) {
        puts("   removed");
      } else {
        // Say what really happened: an operator who reads "removed" believes
        // the space is free.
        printf("   not removed: %s\n", strerror(err));
        removal_failed = true;
      }
    }
  }
  if (counted == 0) printf("no partial backups in %s\n", dir);
  fflush(stdout);
  return removal_failed ? 1 : 0;
}

}  // namespace

int list_partials(const char* dir, int32_t delete_flag, int64_t older_than_days) {
  // A removal in progress is never cut short by this: remove_partial takes
  // what it needs before it removes anything.
  try {
    return list_partials_unguarded(dir, delete_flag, older_than_days);
  } catch (const std::bad_alloc&) {
    fflush(stdout);
    fprintf(stderr, "error: cannot read %s: %s\n", dir, strerror(ENOMEM));
    return 1;
  }
}
