#include "ops/partials.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "base/text.h"
#include "store/format.h"
#include "store/uuid.h"

namespace {

constexpr const char* JOURNAL_SUFFIX = ".part";
constexpr size_t JOURNAL_SUFFIX_LEN = 5;
constexpr int64_t SECONDS_PER_DAY = 86400;

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

// Size of the partial image in MiB; 0 when there is none, or when the name
// is anything but a regular file (a link there is not followed).
double image_mib(int dir_fd, const char* image_name) {
  std::string image = std::string(image_name) + ".tmp";
  struct stat st;
  if (fs_fstatat(dir_fd, image.c_str(), &st, AT_SYMLINK_NOFOLLOW) != STATUS_OK) return 0.0;
  if (!S_ISREG(st.st_mode)) return 0.0;
  return static_cast<double>(st.st_size) / 1048576.0;
}

// Removes one listed upload and prints what happened. False when it stayed.
bool remove_listed(int dir_fd, const std::string& name, const journal_listing& listed,
                   int64_t older_than_days) {
  partial_removal done = PARTIAL_REMOVED;
  if (remove_partial(dir_fd, name.c_str(), listed, older_than_days, &done) != STATUS_OK) {
    // Say what really happened: an operator who reads "removed" believes the
    // space is free.
    printf("   not removed: %s\n", fs_strerror(errno));
    return false;
  }
  switch (done) {
    case PARTIAL_REMOVED:
      puts("   removed");
      return true;
    case PARTIAL_CHANGED:
      puts("   not removed: the journal changed since it was listed");
      return false;
    case PARTIAL_TOO_RECENT:
      puts("   not removed: the journal is no longer old enough");
      return false;
  }
  return false;
}

// The directory is opened once; every journal is read, and every removal
// made, as an entry of that one descriptor. Whoever can rename a component
// of the path given cannot steer a removal elsewhere once the run started.
int list_partials_unguarded(const char* dir, int32_t delete_flag, int64_t older_than_days) {
  // Taken before anything is read: a second run removing uploads must not
  // pull entries out from under this one's listing.
  dir_lock_request lock_request{dir, delete_flag ? DIR_LOCK_EXCLUSIVE : DIR_LOCK_SHARED};
  dir_lock_set lock;
  if (dir_lock_take(&lock_request, 1, &lock) != STATUS_OK) return 1;  // said by the lock

  unique_fd dir_fd;
  unique_dir listing;
  if (fs_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, dir_fd.out()) != STATUS_OK ||
      fs_dir_open_at(dir_fd.get(), &listing.dir) != STATUS_OK) {
    fprintf(stderr, "error: cannot open %s\n", dir);
    return 1;
  }
  int64_t now = now_seconds();
  bool age_limit = older_than_days >= 0;
  size_t counted = 0;
  bool removal_failed = false;
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  // Names and headers are written by whoever can write the directory: their
  // control bytes are shown escaped, never sent to the operator's terminal.
  char shown[TEXT_ESCAPED_CAP];

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

    journal_listing listed;
    if (journal_read_at(dir_fd.get(), name.c_str(), body.data(), &listed) != STATUS_OK) {
      printf("%-40s unreadable journal\n", text_escape_control(name.c_str(), shown, sizeof shown));
      continue;
    }
    double mib = image_mib(dir_fd.get(), listed.image_name);
    int64_t age_days = (now - static_cast<int64_t>(listed.st.st_mtime)) / SECONDS_PER_DAY;

    char uuid_text[UUID_TEXT_SIZE];
    uuid_format(body.data() + HDR_UUID, uuid_text);
    char backup_name[HDR_NAME_LEN + 1];
    memcpy(backup_name, body.data() + HDR_NAME, HDR_NAME_LEN);
    backup_name[HDR_NAME_LEN] = '\0';
    printf("%s  %-4s %-20s image %.1f MiB, last written %ld day(s) ago\n", uuid_text,
           listing_kind(body[HDR_KIND]), text_escape_control(backup_name, shown, sizeof shown), mib,
           static_cast<long>(age_days));
    counted++;

    if (delete_flag && (!age_limit || age_days >= older_than_days)) {
      if (!remove_listed(dir_fd.get(), name, listed, age_limit ? older_than_days : -1))
        removal_failed = true;
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

status_t remove_partial(int dir_fd, const char* journal_name, const journal_listing& listed,
                        int64_t min_age_days, partial_removal* out) {
  // The image's name comes from the listing, never from reading the journal
  // again: what is removed is what the operator was shown.
  char image[JOURNAL_NAME_LEN + 4];
  memcpy(image, listed.image_name, JOURNAL_NAME_LEN);
  image[JOURNAL_NAME_LEN - 1] = '\0';
  strcat(image, ".tmp");

  struct stat now_st;
  status_t s = fs_fstatat(dir_fd, journal_name, &now_st, AT_SYMLINK_NOFOLLOW);
  if (s != STATUS_OK) return s;
  const struct stat& was = listed.st;
  if (!S_ISREG(now_st.st_mode) || now_st.st_dev != was.st_dev || now_st.st_ino != was.st_ino ||
      now_st.st_mtim.tv_sec != was.st_mtim.tv_sec ||
      now_st.st_mtim.tv_nsec != was.st_mtim.tv_nsec) {
    *out = PARTIAL_CHANGED;
    return STATUS_OK;
  }
  if (min_age_days >= 0 &&
      (now_seconds() - static_cast<int64_t>(now_st.st_mtime)) / SECONDS_PER_DAY < min_age_days) {
    *out = PARTIAL_TOO_RECENT;
    return STATUS_OK;
  }

  s = fs_unlinkat(dir_fd, image);
  if (s != STATUS_OK && s != STATUS_NOT_FOUND) return s;
  s = fs_unlinkat(dir_fd, journal_name);
  if (s != STATUS_OK) return s;
  *out = PARTIAL_REMOVED;
  return STATUS_OK;
}
