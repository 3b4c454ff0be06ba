// How the planning of prune and delete grows with the catalog: in-memory
// catalogs of 10,000 and 100,000 entries in three shapes (one long chain,
// many day-long chains of one name, many names), listed in a shuffled order
// as a directory listing would return them. bench/prune.sh prints the ratio
// of the two sizes per shape.
//
// With "--make-store DIR COUNT" it instead writes COUNT header-only meta
// files into DIR for the end-to-end run of bench/prune.sh: four names, a
// FULL every day and an INC every hour, retained so that the oldest week has
// expired (a store pruned weekly). Each file is sparse: only the pages that
// hold header fields are written.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ops/prune_core.h"
#include "store/format.h"
#include "store/fs.h"
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

// The CPU time of this thread, in seconds.
double thread_seconds() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Empties the data caches by reading a buffer larger than their last level.
void empty_caches() {
  static std::vector<uint64_t> junk((size_t{128} << 20) / sizeof(uint64_t), 1);
  uint64_t sum = 0;
  for (size_t i = 0; i < junk.size(); i += 64 / sizeof(uint64_t)) sum += junk[i];
  benchmark::DoNotOptimize(sum);
}

// One catalog per shape and size, made once for all repetitions.
const std::vector<catalog_entry>& catalog_for(shape s, size_t n) {
  static std::vector<catalog_entry> made[3][2];
  std::vector<catalog_entry>& c = made[s][n == 10000 ? 0 : 1];
  if (c.empty()) c = catalog_of(s, n);
  return c;
}

enum plan_kind { PRUNE_PLAN, DELETE_PLAN };

// The plan of one catalog: prune at the time of its newest backup, or
// delete the FULL of the long chain (every other entry but the newer FULL
// depends on it).
struct planner {
  const std::vector<catalog_entry>* catalog;
  plan_kind kind;
  int64_t now = 0;
  const uint8_t* target = nullptr;

  planner(plan_kind k, shape s, size_t n) : catalog(&catalog_for(s, n)), kind(k) {
    now = latest(*catalog);
    for (const auto& e : *catalog)
      if (e.kind == KIND_FULL && e.meta_path != "/srv/backups/newest.infb") target = e.uuid;
  }
  // The number of backups the plan removes, or -1 when it fails.
  int64_t run() const {
    if (kind == PRUNE_PLAN) {
      prune_plan plan;
      if (prune_plan_build(*catalog, nullptr, now, &plan) != STATUS_OK) return -1;
      benchmark::DoNotOptimize(plan);
      return static_cast<int64_t>(plan.deletions.size());
    }
    std::vector<delete_member> members;
    if (delete_plan_build(*catalog, target, &members) != STATUS_OK) return -1;
    benchmark::DoNotOptimize(members);
    return static_cast<int64_t>(members.size());
  }
  // The CPU time of one plan, in seconds, or -1.
  double timed() const {
    double t0 = thread_seconds();
    if (run() < 0) return -1;
    return thread_seconds() - t0;
  }
  // The same with the caches emptied first. The plan timed follows an
  // untimed one of the same catalog: a plan of 10,000 entries right after
  // one of 100,000 was measured some 8% slower than after one of its own
  // size, and the ratio would gain from that.
  double timed_cold() const {
    empty_caches();
    if (run() < 0) return -1;
    empty_caches();
    return timed();
  }
};

// The growth itself. A real prune or delete plans its catalog once, right
// after the scan has read a header of every backup: at either size the
// catalog is long gone from every cache by then. Timed in a loop, a plan
// would instead find what the plan before left: all of it, in the core's
// own cache, at 10,000 entries; little of it, in the cache the whole machine
// shares, at 100,000, where other tenants of a shared machine evict it at
// will, in bursts of seconds that hit one size and not the other. So plans
// of both sizes are timed in pairs, back to back and with the caches emptied
// before each, and the ratio is taken per pair: both plans of a pair meet
// the same load. Reported: the median ratio of the pairs, and the fastest
// plan of each size.
void BM_growth(benchmark::State& state, plan_kind kind, shape s) {
  const planner small(kind, s, 10000), large(kind, s, 100000);
  std::vector<double> ratios;
  double best_small = 1e9, best_large = 1e9;
  for (auto _ : state) {
    double a = small.timed_cold();
    double b = large.timed_cold();
    if (a <= 0 || b <= 0) {
      state.SkipWithError("plan failed");
      return;
    }
    best_small = std::min(best_small, a);
    best_large = std::min(best_large, b);
    ratios.push_back(b / a);
  }
  std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
  state.counters["ratio"] = ratios[ratios.size() / 2];
  state.counters["ms_10k"] = best_small * 1e3;
  state.counters["ms_100k"] = best_large * 1e3;
}

// For comparison: one size, the same catalog planned again and again, the
// fastest plan reported (load only ever adds time).
void BM_plan_again(benchmark::State& state, plan_kind kind, shape s, size_t n) {
  const planner p(kind, s, n);
  double best = 1e9;
  for (auto _ : state) {
    double t = p.timed();
    if (t <= 0) {
      state.SkipWithError("plan failed");
      return;
    }
    best = std::min(best, t);
  }
  state.counters["best_ms"] = best * 1e3;
}

// Names as "growth/<plan>/<shape>" and "again/<plan>/<shape>/n:<entries>",
// which bench/prune.sh reads back.
void register_plans() {
  const char* shape_names[] = {"one long chain", "many short chains", "many names"};
  struct {
    plan_kind kind;
    const char* name;
    shape s;
  } plans[] = {{PRUNE_PLAN, "prune", LONG_CHAIN},
               {PRUNE_PLAN, "prune", SHORT_CHAINS},
               {PRUNE_PLAN, "prune", MANY_NAMES},
               {DELETE_PLAN, "delete", LONG_CHAIN}};
  for (const auto& p : plans) {
    std::string name = std::string(p.name) + "/" + shape_names[p.s];
    benchmark::RegisterBenchmark(("growth/" + name).c_str(), BM_growth, p.kind, p.s)
        ->Iterations(30)
        ->Unit(benchmark::kMillisecond);
    for (size_t n : {size_t{10000}, size_t{100000}}) {
      benchmark::RegisterBenchmark(("again/" + name + "/n:" + std::to_string(n)).c_str(),
                                   BM_plan_again, p.kind, p.s, n)
          ->MinTime(0.1)
          ->Unit(benchmark::kMillisecond);
    }
  }
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--make-store") == 0)
    return make_store(argv[2], strtol(argv[3], nullptr, 10));
  // Every plan allocates its working arrays afresh. glibc hands arrays above
  // its mmap threshold straight to the kernel and back, so at 100,000 entries
  // each plan would also pay for faulting in fresh pages, while at 10,000 the
  // same arrays are reused from the heap: the ratio would measure the
  // allocator's policy, not the planning. Keeping every size on the heap
  // compares like with like.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  register_plans();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
