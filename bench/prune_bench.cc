// Planning prune and delete in memory: catalogs of 100,000 entries in three
// shapes (one long chain, many day-long chains of one name, many names),
// listed in a shuffled order as a directory listing would return them.
// bench/prune.sh prints the time of each plan against its budget.
//
// With "--make-store DIR COUNT" it instead writes COUNT header-only meta
// files into DIR for the end-to-end run of bench/prune.sh: four names, a
// FULL every day and an INC every hour, retained so that the oldest week has
// expired (a store pruned weekly). Each file is sparse: only the pages that
// hold header fields are written.
//
// With "--read-headers DIR" it reads the header of every meta file of DIR
// the plainest way there is, the floor that bench/prune.sh holds the scan of
// prune --dry-run against.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/fs.h"
#include "ops/delete_plan.h"
#include "ops/prune_plan.h"
#include "store/format.h"
#include "store/header.h"
#include "store/naming.h"

namespace {

constexpr int64_t HOUR = 3600;
constexpr int64_t DAY = 24 * HOUR;
constexpr int64_t START = 1600000000;

void make_uuid(std::mt19937_64& rng, uint8_t out[UUID_SIZE]) {
  uint64_t a = rng(), b = rng();
  memcpy(out, &a, 8);
  memcpy(out + 8, &b, 8);
}

std::string stem_of(const std::string& name, int64_t created) {
  time_t t = static_cast<time_t>(created);
  struct tm utc;
  gmtime_r(&t, &utc);
  char stamp[16];
  strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &utc);
  return name + "-" + stamp;
}

// Chains of chain_len backups (a FULL, then INCs each on the previous one),
// one per day per name, names taking turns; created one hour apart within a
// chain; retained for retain seconds.
std::vector<catalog_entry> chains(size_t n, size_t chain_len, size_t names, int64_t retain,
                                  uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<catalog_entry> c(n);
  for (size_t i = 0; i < n; i++) {
    size_t chain = i / chain_len, link = i % chain_len;
    catalog_entry& e = c[i];
    e.name = "name" + std::to_string(chain % names);
    e.created =
        START + static_cast<int64_t>(chain / names) * DAY + static_cast<int64_t>(link) * HOUR;
    e.retain_until = e.created + retain;
    e.kind = link == 0 ? KIND_FULL : KIND_INC;
    make_uuid(rng, e.uuid);
    if (link) memcpy(e.parent_uuid, c[i - 1].uuid, UUID_SIZE);
    e.meta_path = "/srv/backups/" + stem_of(e.name, e.created) + meta_ext_for_kind(e.kind);
  }
  return c;
}

std::vector<catalog_entry> shuffled(std::vector<catalog_entry> c) {
  std::shuffle(c.begin(), c.end(), std::mt19937(42));
  return c;
}

int64_t latest(const std::vector<catalog_entry>& c) {
  int64_t t = 0;
  for (const auto& e : c) t = std::max(t, e.created);
  return t;
}

enum shape { LONG_CHAIN, SHORT_CHAINS, MANY_NAMES };

std::vector<catalog_entry> catalog_of(shape s, size_t n) {
  switch (s) {
    case LONG_CHAIN: {
      // Every backup of the chain expired, a newer FULL beside it: the whole
      // chain is decided through one path as deep as the catalog.
      auto c = chains(n - 1, n - 1, 1, 1, 1);
      catalog_entry newest = c.front();
      newest.created = latest(c) + 1;
      newest.meta_path = "/srv/backups/newest.infb";
      newest.uuid[0] ^= 0xff;
      c.push_back(newest);
      return shuffled(std::move(c));
    }
    case SHORT_CHAINS:
      return shuffled(chains(n, 24, 1, static_cast<int64_t>(n / 48) * DAY, 2));
    case MANY_NAMES:
      return shuffled(chains(n, 8, n / 64, static_cast<int64_t>(n / 128) * DAY, 3));
  }
  return {};
}

constexpr size_t PLANNED = 100000;

// Empties the data caches by reading a buffer larger than their last level:
// a real prune plans right after its scan has read a header per backup, by
// when the catalog is long out of the caches.
void empty_caches() {
  static std::vector<uint64_t> junk((size_t{128} << 20) / sizeof(uint64_t), 1);
  uint64_t sum = 0;
  for (size_t i = 0; i < junk.size(); i += 64 / sizeof(uint64_t)) sum += junk[i];
  benchmark::DoNotOptimize(sum);
}

// Prunes at the time of the catalog's newest backup.
void BM_prune_plan(benchmark::State& state, shape s) {
  const std::vector<catalog_entry> catalog = catalog_of(s, PLANNED);
  const int64_t now = latest(catalog);
  for (auto _ : state) {
    state.PauseTiming();
    empty_caches();
    state.ResumeTiming();
    prune_plan plan;
    if (prune_plan_build(catalog, nullptr, now, &plan) != STATUS_OK) {
      state.SkipWithError("plan failed");
      return;
    }
    benchmark::DoNotOptimize(plan);
  }
}

// Deletes the FULL of the long chain: every entry but the newer FULL goes.
void BM_delete_plan(benchmark::State& state) {
  const std::vector<catalog_entry> catalog = catalog_of(LONG_CHAIN, PLANNED);
  const uint8_t* target = nullptr;
  for (const auto& e : catalog)
    if (e.kind == KIND_FULL && e.meta_path != "/srv/backups/newest.infb") target = e.uuid;
  for (auto _ : state) {
    state.PauseTiming();
    empty_caches();
    state.ResumeTiming();
    std::vector<delete_member> members;
    if (delete_plan_build(catalog, target, &members) != STATUS_OK) {
      state.SkipWithError("plan failed");
      return;
    }
    benchmark::DoNotOptimize(members);
  }
}

// Named "<plan>/<shape>", as bench/prune.sh prints them.
void register_plans() {
  const struct {
    const char* name;
    shape s;
  } shapes[] = {{"one long chain", LONG_CHAIN},
                {"many short chains", SHORT_CHAINS},
                {"many names", MANY_NAMES}};
  for (const auto& p : shapes) {
    benchmark::RegisterBenchmark((std::string("prune/") + p.name).c_str(), BM_prune_plan, p.s)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("delete/one long chain", BM_delete_plan)
      ->Unit(benchmark::kMillisecond);
}

// ---- The on-disk store of bench/prune.sh ----

status_t write_sparse_meta(const std::string& path, const backup_header& h) {
  int fd = -1;
  status_t s = fs_create(path.c_str(), 0644, &fd);
  if (s != STATUS_OK) return s;
  unique_fd owner(fd);
  // The header fields live in the first page and the retention page; the
  // rest of the 128 KiB reads back as zeros.
  const size_t page = 4096;
  const size_t pages[] = {0, HDR_RETAIN_UNTIL / page * page};
  size_t done = 0;
  for (size_t off : pages) {
    s = fs_pwrite_all(fd, h.raw + off, page, off, &done);
    if (s != STATUS_OK) return s;
  }
  s = fs_ftruncate(fd, HEADER_SIZE);
  if (s != STATUS_OK) return s;
  return owner.close();
}

int make_store(const char* dir, long count) {
  if (count <= 0) return 2;
  // Four names with hourly backups: count / 96 days, all but the last week
  // of which are retained.
  int64_t days = (count + 95) / 96;
  auto c = chains(static_cast<size_t>(count), 24, 4, std::max<int64_t>(days - 7, 1) * DAY, 9);
  auto h = std::make_unique<backup_header>();
  header_init_full(h.get(), "", 1 << 30, 0);
  for (const auto& e : c) {
    memset(h->raw + HDR_NAME, 0, HDR_NAME_LEN);
    memcpy(h->raw + HDR_NAME, e.name.data(), std::min(e.name.size(), HDR_NAME_LEN - 1));
    header_set_kind(h.get(), e.kind);
    memcpy(h->raw + HDR_UUID, e.uuid, UUID_SIZE);
    memcpy(h->raw + HDR_PARENT_UUID, e.parent_uuid, UUID_SIZE);
    header_set_created(h.get(), e.created);
    header_set_retain_until(h.get(), e.retain_until);
    header_set_image_bytes(h.get(), 1 << 20);
    std::string path =
        std::string(dir) + "/" + stem_of(e.name, e.created) + meta_ext_for_kind(e.kind);
    if (write_sparse_meta(path, *h) != STATUS_OK) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  // The time to prune at: one hour after the newest backup.
  printf("%lld\n", static_cast<long long>(latest(c) + HOUR));
  return 0;
}

// The floor a scan is measured against: list the directory, then open each
// meta file, read its 131072 header bytes once and close it, in plain C calls
// and nothing else. Prints the number of files read.
int read_headers(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return 1;
  static uint8_t header[HEADER_SIZE];
  char path[PATH_MAX];
  long files = 0;
  for (struct dirent* e = readdir(d); e; e = readdir(d)) {
    if (!is_meta_file_name(e->d_name)) continue;
    snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    if (pread(fd, header, sizeof header, 0) > 0) files++;
    close(fd);
  }
  closedir(d);
  printf("%ld\n", files);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--make-store") == 0)
    return make_store(argv[2], strtol(argv[3], nullptr, 10));
  if (argc == 3 && strcmp(argv[1], "--read-headers") == 0) return read_headers(argv[2]);
  register_plans();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
