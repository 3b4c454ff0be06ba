// How close scrub comes to what the machine allows. For one store directory
// it measures, in the same run and on the same blocks:
//   bound  a tight loop of pread + [AEAD open] + decompress + SHA-256 that
//          calls OpenSSL, libzstd and liblz4 directly, with every context
//          reused, nothing logged and nothing checked but the digest;
//   scrub  the real program ("zuv_maintenance scrub"), timed from spawn to
//          exit, with its peak resident set size.
// Rounds alternate between the two so that noise from the shared machine
// falls on both; the best round of each is reported. With the page cache warm
// (the script reads the images first) both sides are bound by the CPU, so the
// goal is judged per CPU second (the bound's process CPU time, scrub's user +
// system time from wait4): wall time on a shared machine measures the other
// tenants. The bound runs on one thread, so the CPU seconds are those of
// "scrub --threads 1", both pinned to the same CPU (the CPUs of a shared
// virtual machine are not always equal, and two threads on two cores also
// pay for sharing the caches, which bench/threads.sh shows); the wall-clock
// ratio and the peak RSS are those of scrub with its default thread count.
// Output is one line:
//   <label> decoded_MiB=.. bound_MBps=.. scrub_MBps=.. ratio=.. wall_ratio=..
//           rss_MiB=.. rss_limit_MiB=.. ok|BELOW GOAL
// --no-ratio-goal judges memory only (a small store, where the fixed cost of
// starting a process weighs on the ratio).
#include <fcntl.h>
#include <lz4.h>
#include <openssl/evp.h>
#include <sched.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/fs.h"
#include "bench_child.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/key_file.h"
#include "ops/pipeline.h"
#include "store/backup.h"
#include "store/naming.h"

namespace {

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "zuv_bench_scrub: %s\n", what);
  exit(1);
}

struct store_backup {
  loaded_backup b;
  uint8_t cipher = CIPHER_NONE;
  uint32_t block_size = 0;
};

struct bound_state {
  const EVP_MD* sha256 = nullptr;
  EVP_MD_CTX* md = nullptr;
  EVP_CIPHER_CTX* cipher_ctx = nullptr;
  const EVP_CIPHER* ciphers[3] = {};
  uint8_t key[CIPHER_KEY_SIZE] = {};
};

// One pass of the bound over every backup. Returns the decoded bytes; dies on
// any mismatch, since a bound that skips work would flatter nothing.
uint64_t bound_pass(const std::vector<store_backup>& backups, bound_state* st) {
  uint64_t decoded_total = 0;
  for (const store_backup& sb : backups) {
    int fd = ::open(sb.b.image_path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open an image");
    std::vector<uint8_t> stored(sb.block_size + SEAL_OVERHEAD), opened(sb.block_size),
        decoded(sb.block_size);
    for (const block_entry& e : sb.b.table) {
      if (e.flags & BLOCK_FLAG_NO_DATA) continue;
      ssize_t got = ::pread(fd, stored.data(), e.stored_len, static_cast<off_t>(e.offset));
      if (got != static_cast<ssize_t>(e.stored_len)) die("short read");
      const uint8_t* payload = stored.data();
      size_t payload_len = e.stored_len;
      if (sb.cipher != CIPHER_NONE) {
        const int ct_len = static_cast<int>(e.stored_len - SEAL_OVERHEAD);
        int out1 = 0, out2 = 0;
        if (EVP_DecryptInit_ex2(st->cipher_ctx, st->ciphers[sb.cipher], st->key, stored.data(),
                                nullptr) != 1 ||
            EVP_DecryptUpdate(st->cipher_ctx, opened.data(), &out1, stored.data() + 12, ct_len) !=
                1 ||
            EVP_CIPHER_CTX_ctrl(st->cipher_ctx, EVP_CTRL_AEAD_SET_TAG, 16,
                                stored.data() + 12 + ct_len) != 1 ||
            EVP_DecryptFinal_ex(st->cipher_ctx, opened.data() + out1, &out2) != 1)
          die("open failed");
        payload = opened.data();
        payload_len = static_cast<size_t>(out1 + out2);
      }
      size_t n = 0;
      switch (e.codec) {
        case CODEC_ZSTD: {
          size_t r = ZSTD_decompress(decoded.data(), decoded.size(), payload, payload_len);
          if (ZSTD_isError(r)) die("zstd failed");
          n = r;
          break;
        }
        case CODEC_LZ4: {
          int r = LZ4_decompress_safe(
              reinterpret_cast<const char*>(payload), reinterpret_cast<char*>(decoded.data()),
              static_cast<int>(payload_len), static_cast<int>(decoded.size()));
          if (r < 0) die("lz4 failed");
          n = static_cast<size_t>(r);
          break;
        }
        default:  // raw: the payload is the block, hashed where it lies
          n = payload_len;
      }
      const uint8_t* block =
          e.codec == CODEC_ZSTD || e.codec == CODEC_LZ4 ? decoded.data() : payload;
      if (n != e.raw_len) die("length mismatch");
      uint8_t digest[32];
      unsigned dlen = 0;
      if (EVP_DigestInit_ex2(st->md, st->sha256, nullptr) != 1 ||
          EVP_DigestUpdate(st->md, block, n) != 1 || EVP_DigestFinal_ex(st->md, digest, &dlen) != 1)
        die("sha256 failed");
      if (memcmp(digest, e.sha256, 32) != 0) die("digest mismatch");
      decoded_total += n;
    }
    ::close(fd);
  }
  return decoded_total;
}

double cpu_seconds_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// threads: 0 for the default; cpu: as bench_run.
bench_child run_scrub(const std::string& program, const std::string& dir,
                      const std::string& key_file, int threads = 0, int cpu = -1) {
  std::vector<std::string> args = {program, "scrub",       "--backup-dir",
                                   dir,     "--no-syslog", "--no-log"};
  if (threads != 0) args.insert(args.end(), {"--threads", std::to_string(threads)});
  if (!key_file.empty()) {
    args.push_back("--decrypt-key-file");
    args.push_back(key_file);
  }
  return bench_run(args, cpu);
}

// Runs the bound on `cpu` alone and returns the CPU seconds it took.
double bound_seconds_on(int cpu, const std::vector<store_backup>& backups, bound_state* st) {
  cpu_set_t mask, one;
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) die("sched_getaffinity failed");
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) != 0) die("cannot pin the bound");
  const double c0 = cpu_seconds_now();
  bound_pass(backups, st);
  const double spent = cpu_seconds_now() - c0;
  (void)sched_setaffinity(0, sizeof mask, &mask);
  return spent;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program, dir, key_file, label = "store";
  int rounds = 3;
  bool ratio_goal = true;
  for (int i = 1; i < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--no-ratio-goal") {
      ratio_goal = false;
      i--;
      continue;
    }
    if (i + 1 >= argc) die("option without a value");
    if (opt == "--program")
      program = argv[i + 1];
    else if (opt == "--dir")
      dir = argv[i + 1];
    else if (opt == "--key")
      key_file = argv[i + 1];
    else if (opt == "--label")
      label = argv[i + 1];
    else if (opt == "--rounds")
      rounds = atoi(argv[i + 1]);
    else
      die("usage: --program P --dir D [--key K] [--label L] [--rounds N] [--no-ratio-goal]");
  }
  if (program.empty() || dir.empty() || rounds < 1) die("--program and --dir are required");

  bound_state st;
  if (!key_file.empty() && load_key_file(key_file.c_str(), st.key) != STATUS_OK)
    die("cannot load the key file");
  st.sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  st.ciphers[1] = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  st.ciphers[2] = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
  st.md = EVP_MD_CTX_new();
  st.cipher_ctx = EVP_CIPHER_CTX_new();
  if (!st.sha256 || !st.ciphers[1] || !st.ciphers[2] || !st.md || !st.cipher_ctx)
    die("OpenSSL set-up failed");

  std::vector<store_backup> backups;
  fs_dir d;
  if (fs_dir_open(dir.c_str(), &d) != STATUS_OK) die("cannot open the store");
  uint64_t table_bytes = 0;
  uint32_t max_block = 0;
  for (const char* name = nullptr; fs_dir_next(&d, &name) == STATUS_OK && name;) {
    if (!is_meta_file_name(name)) continue;
    store_backup sb;
    std::string path = dir + "/" + name;
    if (backup_load(path.c_str(), &sb.b) != STATUS_OK) die("cannot load a backup");
    sb.cipher = header_cipher(*sb.b.header);
    sb.block_size = header_block_size(*sb.b.header);
    table_bytes += sb.b.table.size() * sizeof(block_entry);
    max_block = std::max(max_block, sb.block_size);
    backups.push_back(std::move(sb));
  }
  fs_dir_close(&d);
  if (backups.empty()) die("no backups in the store");

  // Untimed warm-up of both, so neither pays for a cold cache or first faults.
  uint64_t decoded = bound_pass(backups, &st);
  if (run_scrub(program, dir, key_file).exit_status != 0) die("scrub did not pass the store");

  double best_bound = 1e30, best_scrub = 1e30;
  double best_bound_wall = 1e30, best_scrub_wall = 1e30;
  long max_rss = 0;
  const int cpu = sched_getcpu();
  if (cpu < 0) die("sched_getcpu failed");
  for (int r = 0; r < rounds; r++) {
    auto t0 = std::chrono::steady_clock::now();
    best_bound = std::min(best_bound, bound_seconds_on(cpu, backups, &st));
    best_bound_wall =
        std::min(best_bound_wall,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    bench_child one = run_scrub(program, dir, key_file, 1, cpu);
    bench_child many = run_scrub(program, dir, key_file);
    if (one.exit_status != 0 || many.exit_status != 0) die("scrub did not pass the store");
    best_scrub = std::min(best_scrub, one.cpu_seconds);
    best_scrub_wall = std::min(best_scrub_wall, many.seconds);
    max_rss = std::max(max_rss, many.max_rss_kib);
  }

  const double mib = 1048576.0;
  const double bound_mbps = static_cast<double>(decoded) / 1e6 / best_bound;
  const double scrub_mbps = static_cast<double>(decoded) / 1e6 / best_scrub;
  // Scrub runs on its default thread count: one thread holds a stored, an
  // opened and a decoded block; more threads hold two stored blocks per
  // worker (its slots) and an opened and a decoded block each.
  const size_t threads = pipeline_default_threads();
  const double buffers = threads == 1 ? 3.0 : 4.0 * static_cast<double>(threads);
  const double rss_limit = (buffers * max_block + static_cast<double>(table_bytes)) / mib + 16.0;
  const bool ratio_ok = !ratio_goal || scrub_mbps >= 0.9 * bound_mbps;
  printf(
      "%-14s decoded_MiB=%.0f bound_MBps=%.0f scrub_MBps=%.0f ratio=%.1f%% wall_ratio=%.1f%% "
      "rss_MiB=%.1f rss_limit_MiB=%.1f %s\n",
      label.c_str(), static_cast<double>(decoded) / mib, bound_mbps, scrub_mbps,
      100.0 * scrub_mbps / bound_mbps, 100.0 * best_bound_wall / best_scrub_wall,
      static_cast<double>(max_rss) / 1024.0, rss_limit,
      !(ratio_ok && max_rss / 1024.0 < rss_limit) ? "BELOW GOAL"
      : ratio_goal                                ? "ok"
                                                  : "ok (memory goal only)");

  for (store_backup& sb : backups) backup_release(&sb.b);
  EVP_MD_CTX_free(st.md);
  EVP_CIPHER_CTX_free(st.cipher_ctx);
  return 0;
}
