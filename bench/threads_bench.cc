// Scrub and recompress on every core against one thread, and what a scrub
// leaves in the page cache. Both sides run in the same invocation, in
// alternating rounds, so that the noise of a shared machine falls on both;
// the best round of each is compared. bench/threads.sh makes the stores.
//
//   zuv_bench_threads scrub --program P --dir D [--key K] [--label L] [--rounds N]
//     The real program's "scrub" with its default thread count and with
//     "--threads 1", from a warm page cache (both sides then measure the
//     CPU work): best wall time and peak RSS of each, and the speedup.
//   zuv_bench_threads recompress --program P --dir D [--label L] [--rounds N]
//     "recompress --to zstd --level 9" of the one backup of D, default
//     threads against "--threads 1"; every run starts from a copy of D.
//   zuv_bench_threads cache --program P --dir D [--key K]
//     The MiB of D's images in the page cache after a scrub of the store
//     dropped from the cache first, and after a scrub of the store cached
//     whole.
//
// --goal X prints "ok" or "BELOW GOAL" against a speedup of X.
//
// Beside the two sides, scrub and recompress also run "--threads 1" pinned
// to each CPU of the mask in turn (up to 8 CPUs). The CPUs of a virtual
// machine are not always equal: one may share its core's caches with a busy
// neighbour and run the same job far slower. The sum of each CPU's speed
// against the fastest is what no thread count can beat on that machine,
// printed as the ceiling beside the speedup.
#include <fcntl.h>
#include <unistd.h>

#include <sched.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/page_cache.h"
#include "bench_child.h"
#include "ops/pipeline.h"
#include "store/naming.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "zuv_bench_threads: %s\n", what.c_str());
  exit(1);
}

// The program with "--no-syslog --no-log" added.
bench_child run(std::vector<std::string> args, int cpu = -1) {
  args.push_back("--no-syslog");
  args.push_back("--no-log");
  return bench_run(args, cpu);
}

std::vector<std::string> files_of(const std::string& dir, bool images_only) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename();
    if (!e.is_regular_file()) continue;
    if (images_only && (is_meta_file_name(name.c_str()) || name.size() < 5)) continue;
    out.push_back(e.path());
  }
  return out;
}

// Every file of dir read whole into the page cache.
void warm(const std::string& dir) {
  std::vector<char> buf(1 << 20);
  for (const std::string& path : files_of(dir, false)) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    close(fd);
  }
}

// Writes every file of dir out and drops it from the page cache.
void drop(const std::string& dir) {
  for (const std::string& path : files_of(dir, false)) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    (void)fdatasync(fd);
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

// MiB of dir's images in the page cache, and their size.
double resident_mib(const std::string& dir, double* size_mib) {
  const long page = sysconf(_SC_PAGESIZE);
  double pages = 0, bytes = 0;
  for (const std::string& path : files_of(dir, true)) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    const uint64_t size = fs::file_size(path);
    const int64_t n = size ? cache_resident_pages(fd, 0, size) : 0;
    close(fd);
    if (n < 0) die("cannot learn what is cached of " + path);
    pages += static_cast<double>(n);
    bytes += static_cast<double>(size);
  }
  if (size_mib) *size_mib = bytes / 1048576.0;
  return pages * static_cast<double>(page) / 1048576.0;
}

struct options {
  std::string mode, program, dir, key, label = "store";
  int rounds = 3;
  double goal = 0;
};

struct side {
  std::string name;
  std::vector<std::string> extra;  // the thread option, if any
  int cpu = -1;                    // pinned to this CPU, or free
  double best = 1e30;
  long rss_kib = 0;
};

// The default, --threads 1, and --threads 1 on each CPU of the mask alone.
std::vector<side> sides() {
  std::vector<side> out = {{"default", {}}, {"one", {"--threads", "1"}}};
  cpu_set_t mask;
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) die("sched_getaffinity failed");
  if (CPU_COUNT(&mask) < 2 || CPU_COUNT(&mask) > 8) return out;
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
    if (CPU_ISSET(cpu, &mask))
      out.push_back({"cpu" + std::to_string(cpu), {"--threads", "1"}, cpu});
  return out;
}

void print_sides(const options& o, const char* what, const std::vector<side>& all) {
  const side& many = all[0];
  const side& one = all[1];
  const double speedup = one.best / many.best;
  printf(
      "%-10s %-16s threads=%zu: %6.2f s rss %6.1f MiB | threads=1: %6.2f s rss %6.1f MiB | "
      "speedup %.2fx",
      what, o.label.c_str(), pipeline_default_threads(), many.best, many.rss_kib / 1024.0, one.best,
      one.rss_kib / 1024.0, speedup);
  if (o.goal > 0) printf(" (goal >= %.2fx) %s", o.goal, speedup >= o.goal ? "ok" : "BELOW GOAL");
  printf("\n");
  if (all.size() < 3) return;
  double fastest = 1e30, ceiling = 0;
  for (size_t i = 2; i < all.size(); i++) fastest = std::min(fastest, all[i].best);
  printf("%-10s %-16s --threads 1 on one CPU:", "", "");
  for (size_t i = 2; i < all.size(); i++) {
    printf(" %s %.2f s", all[i].name.c_str(), all[i].best);
    ceiling += fastest / all[i].best;
  }
  printf(" | ceiling of these CPUs %.2fx\n", ceiling);
}

int bench_scrub(const options& o) {
  std::vector<std::string> base = {o.program, "scrub", "--backup-dir", o.dir};
  if (!o.key.empty()) base.insert(base.end(), {"--decrypt-key-file", o.key});
  std::vector<side> all = sides();
  warm(o.dir);
  for (side& s : all) {  // untimed: first faults, first reads
    std::vector<std::string> args = base;
    args.insert(args.end(), s.extra.begin(), s.extra.end());
    if (run(args, s.cpu).exit_status != 0) die("scrub did not pass the store");
  }
  for (int r = 0; r < o.rounds; r++) {
    for (side& s : all) {
      std::vector<std::string> args = base;
      args.insert(args.end(), s.extra.begin(), s.extra.end());
      bench_child c = run(args, s.cpu);
      if (c.exit_status != 0) die("scrub did not pass the store");
      s.best = std::min(s.best, c.seconds);
      s.rss_kib = std::max(s.rss_kib, c.max_rss_kib);
    }
  }
  print_sides(o, "scrub", all);
  return 0;
}

int bench_recompress(const options& o) {
  const std::string work = o.dir + ".run";
  std::string meta;
  for (const std::string& path : files_of(o.dir, false))
    if (is_meta_file_name(path.c_str())) meta = fs::path(path).filename();
  if (meta.empty()) die("no backup in " + o.dir);
  std::vector<side> all = sides();
  for (int r = 0; r < o.rounds; r++) {
    for (side& s : all) {
      fs::remove_all(work);
      fs::copy(o.dir, work);
      drop(work);  // written out, so that the copy's write-back does not fall on the run
      warm(work);
      std::vector<std::string> args = {o.program, "recompress", "--meta",  work + "/" + meta,
                                       "--to",    "zstd",       "--level", "9"};
      args.insert(args.end(), s.extra.begin(), s.extra.end());
      bench_child c = run(args, s.cpu);
      if (c.exit_status != 0) die("recompress failed");
      s.best = std::min(s.best, c.seconds);
      s.rss_kib = std::max(s.rss_kib, c.max_rss_kib);
    }
  }
  fs::remove_all(work);
  print_sides(o, "recompress", all);
  return 0;
}

int bench_cache(const options& o) {
  std::vector<std::string> args = {o.program, "scrub", "--backup-dir", o.dir};
  if (!o.key.empty()) args.insert(args.end(), {"--decrypt-key-file", o.key});
  drop(o.dir);
  double size = 0;
  const double before = resident_mib(o.dir, &size);
  if (before > 1) {
    printf(
        "page cache: this file system keeps %.1f MiB of the images cached after a drop; "
        "nothing to measure here\n",
        before);
    return 0;
  }
  if (run(args).exit_status != 0) die("scrub did not pass the store");
  const double after_cold = resident_mib(o.dir, nullptr);
  warm(o.dir);
  const double warm_before = resident_mib(o.dir, nullptr);
  if (run(args).exit_status != 0) die("scrub did not pass the store");
  const double after_warm = resident_mib(o.dir, nullptr);
  printf(
      "page cache %-16s images %.0f MiB; resident after a scrub of the store dropped from the "
      "cache: %.1f MiB (goal: a few MiB) %s; of the store cached whole: %.0f of %.0f MiB kept\n",
      o.label.c_str(), size, after_cold, after_cold <= 4 ? "ok" : "ABOVE GOAL", after_warm,
      warm_before);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) die("usage: scrub|recompress|cache --program P --dir D [options]");
  options o;
  o.mode = argv[1];
  for (int i = 2; i < argc; i += 2) {
    const std::string opt = argv[i];
    if (i + 1 >= argc) die("option without a value: " + opt);
    const char* v = argv[i + 1];
    if (opt == "--program")
      o.program = v;
    else if (opt == "--dir")
      o.dir = v;
    else if (opt == "--key")
      o.key = v;
    else if (opt == "--label")
      o.label = v;
    else if (opt == "--rounds")
      o.rounds = atoi(v);
    else if (opt == "--goal")
      o.goal = atof(v);
    else
      die("unknown option " + opt);
  }
  if (o.program.empty() || o.dir.empty() || o.rounds < 1) die("--program and --dir are required");
  if (o.mode == "scrub") return bench_scrub(o);
  if (o.mode == "recompress") return bench_recompress(o);
  if (o.mode == "cache") return bench_cache(o);
  die("unknown mode " + o.mode);
}
