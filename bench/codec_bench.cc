// The block decoding path of scrub and recompress, per 2 MiB block: open the
// sealed payload, decompress, hash. Each case runs once through this
// program's codec layer ("ours") and once through the libraries called
// directly with everything cached that can be ("direct"), so the ratio shows
// what the layer costs. bench/codec.sh prints the figures.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <openssl/evp.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/digest.h"

namespace {

constexpr size_t BLOCK = 2u << 20;

// Log-like text with numbers: zstd levels 3 and 9 and lz4 all gain, by
// different amounts, as on real volumes of text and binaries.
std::vector<uint8_t> block_data() {
  static const char* words[] = {"backup ", "block=",  "chain ",  "INFO ",   "scrub ",
                                "offset=", "sha256 ", "stored ", "image\n", "volume "};
  std::mt19937_64 rng(42);
  std::vector<uint8_t> v;
  v.reserve(BLOCK + 64);
  char num[24];
  while (v.size() < BLOCK) {
    const char* w = words[rng() % 10];
    v.insert(v.end(), w, w + strlen(w));
    int n = snprintf(num, sizeof num, "%llu ", static_cast<unsigned long long>(rng() % 100000));
    v.insert(v.end(), num, num + n);
  }
  v.resize(BLOCK);
  return v;
}

struct Case {
  const char* name;
  uint8_t codec;
  int level;
  uint8_t cipher;
};

const Case CASES[] = {
    {"zstd-3", CODEC_ZSTD, 3, CIPHER_NONE},
    {"zstd-9", CODEC_ZSTD, 9, CIPHER_NONE},
    {"lz4", CODEC_LZ4, 0, CIPHER_NONE},
    {"raw", CODEC_NONE, 0, CIPHER_NONE},
    {"aes-256-gcm", CODEC_NONE, 0, CIPHER_AES_256_GCM},
    {"chacha20-poly1305", CODEC_NONE, 0, CIPHER_CHACHA20_POLY1305},
};

const uint8_t KEY[CIPHER_KEY_SIZE] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                      12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                      23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// The stored payload of one block under a case, made once.
struct Payload {
  std::vector<uint8_t> raw;
  std::vector<uint8_t> stored;
  uint8_t codec;
};

Payload make_payload(const Case& c) {
  Payload p;
  p.raw = block_data();
  std::vector<uint8_t> packed(codec_bound(c.codec, BLOCK));
  size_t n = codec_compress(c.codec, c.level, p.raw.data(), BLOCK, packed.data(), packed.size());
  p.codec = n ? c.codec : uint8_t{CODEC_NONE};
  if (n)
    packed.resize(n);
  else
    packed = p.raw;
  if (c.cipher == CIPHER_NONE) {
    p.stored = packed;
  } else {
    p.stored.resize(sealed_size(c.cipher, packed.size()));
    p.stored.resize(
        seal_block(c.cipher, KEY, packed.data(), packed.size(), p.stored.data(), p.stored.size()));
  }
  return p;
}

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "codec bench: %s\n", what);
    abort();
  }
}

struct md_free {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct cipher_free {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct ctx_free {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// What one decode of a block costs.
struct Decoder {
  const Case* c;
  Payload p;
  std::vector<uint8_t> opened = std::vector<uint8_t>(BLOCK + 64);
  std::vector<uint8_t> decoded = std::vector<uint8_t>(BLOCK);
  uint8_t expected[SHA256_SIZE] = {};
  uint8_t digest[SHA256_SIZE] = {};
  // The libraries alone, as a caller that owns its objects would use them:
  // the digest and cipher fetched once, one cipher context reused.
  std::unique_ptr<EVP_MD, md_free> md;
  std::unique_ptr<EVP_CIPHER, cipher_free> cipher;
  std::unique_ptr<EVP_CIPHER_CTX, ctx_free> ctx;

  explicit Decoder(const Case* k) : c(k), p(make_payload(*k)) {
    sha256_digest(p.raw.data(), BLOCK, expected);
    md.reset(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    ctx.reset(EVP_CIPHER_CTX_new());
    check(md && ctx, "fetch SHA256");
    if (c->cipher != CIPHER_NONE) {
      cipher.reset(EVP_CIPHER_fetch(
          nullptr, c->cipher == CIPHER_AES_256_GCM ? "AES-256-GCM" : "ChaCha20-Poly1305", nullptr));
      check(cipher != nullptr, "fetch cipher");
    }
  }

  void ours() {
    const uint8_t* payload = p.stored.data();
    size_t len = p.stored.size();
    if (c->cipher != CIPHER_NONE) {
      check(
          open_block(c->cipher, KEY, payload, len, opened.data(), opened.size(), &len) == STATUS_OK,
          "open_block");
      payload = opened.data();
    }
    size_t produced = 0;
    check(codec_decompress(p.codec, payload, len, decoded.data(), decoded.size(), &produced) ==
                  STATUS_OK &&
              produced == BLOCK,
          "codec_decompress");
    sha256_digest(decoded.data(), produced, digest);
    check(memcmp(digest, expected, SHA256_SIZE) == 0, "digest differs");
  }

  void direct() {
    const uint8_t* payload = p.stored.data();
    size_t len = p.stored.size();
    if (c->cipher != CIPHER_NONE) {
      int n = static_cast<int>(len - 28), out1 = 0, out2 = 0;
      check(EVP_DecryptInit_ex2(ctx.get(), cipher.get(), KEY, payload, nullptr) == 1 &&
                EVP_DecryptUpdate(ctx.get(), opened.data(), &out1, payload + 12, n) == 1 &&
                EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16,
                                    const_cast<uint8_t*>(payload + 12 + n)) == 1 &&
                EVP_DecryptFinal_ex(ctx.get(), opened.data() + out1, &out2) == 1,
            "decrypt");
      payload = opened.data();
      len = static_cast<size_t>(out1 + out2);
    }
    size_t produced = 0;
    if (p.codec == CODEC_ZSTD) {
      produced = ZSTD_decompress(decoded.data(), decoded.size(), payload, len);
      check(!ZSTD_isError(produced), "ZSTD_decompress");
    } else if (p.codec == CODEC_LZ4) {
      int r = LZ4_decompress_safe(reinterpret_cast<const char*>(payload),
                                  reinterpret_cast<char*>(decoded.data()), static_cast<int>(len),
                                  static_cast<int>(decoded.size()));
      check(r >= 0, "LZ4_decompress_safe");
      produced = static_cast<size_t>(r);
    } else {
      memcpy(decoded.data(), payload, len);
      produced = len;
    }
    check(produced == BLOCK, "length");
    check(EVP_Digest(decoded.data(), produced, digest, nullptr, md.get(), nullptr) == 1,
          "EVP_Digest");
    check(memcmp(digest, expected, SHA256_SIZE) == 0, "digest differs");
  }
};

double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One round decodes the same payload into the same buffers once through the
// codec layer and once through the libraries, in alternating order, each
// timed on this thread's CPU clock. The machine is shared: other processes
// only ever add time (cache and memory contention, frequency changes), never
// take it away, so the fastest round of each side is its own cost, and
// pairing the rounds exposes both sides to the same disturbances.
void run_paired(benchmark::State& state, const Case* c) {
  Decoder d(c);
  std::vector<double> ours, direct;
  bool ours_first = true;
  for (auto _ : state) {
    for (int k = 0; k < 2; k++) {
      const bool mine = (k == 0) == ours_first;
      const double t0 = thread_cpu_seconds();
      if (mine)
        d.ours();
      else
        d.direct();
      (mine ? ours : direct).push_back(thread_cpu_seconds() - t0);
    }
    ours_first = !ours_first;
  }
  if (ours.empty()) return;
  const double best_ours = *std::min_element(ours.begin(), ours.end());
  const double best_direct = *std::min_element(direct.begin(), direct.end());
  state.counters["ours_MBps"] = BLOCK / best_ours / 1e6;
  state.counters["direct_MBps"] = BLOCK / best_direct / 1e6;
  state.counters["ratio"] = best_direct / best_ours;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * BLOCK);
}

}  // namespace

int main(int argc, char** argv) {
  for (const Case& c : CASES) {
    benchmark::RegisterBenchmark((std::string("decode/") + c.name).c_str(), run_paired, &c)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
