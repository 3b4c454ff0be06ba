// The floor under recompress: decode every payload of one backup with its
// entry's codec, compress it again with the target codec and level (raw when
// that does not shrink it), write the results back to back into a new file
// and flush it. recompress does exactly this plus its table and the swap of
// the two files, so bench/synth.sh prints its time as a ratio of this one.
//
// Environment: ZUV_BENCH_META (the backup), ZUV_BENCH_OUT (the file to
// write), ZUV_BENCH_CODEC ("lz4" or "zstd"), ZUV_BENCH_LEVEL.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/fs.h"
#include "codec/compress.h"
#include "store/backup.h"
#include "store/format.h"
#include "store/header.h"

namespace {

const char* env_or(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return v && *v ? v : fallback;
}

void BM_DecodeEncodeWriteSync(benchmark::State& state) {
  const char* meta = getenv("ZUV_BENCH_META");
  const char* out_path = getenv("ZUV_BENCH_OUT");
  if (!meta || !out_path) {
    state.SkipWithError("set ZUV_BENCH_META and ZUV_BENCH_OUT");
    return;
  }
  uint8_t codec = strcmp(env_or("ZUV_BENCH_CODEC", "zstd"), "lz4") == 0 ? CODEC_LZ4 : CODEC_ZSTD;
  int level = atoi(env_or("ZUV_BENCH_LEVEL", "9"));
  loaded_backup b;
  if (backup_load(meta, &b) != STATUS_OK) {
    state.SkipWithError("cannot load the backup");
    return;
  }
  size_t block_size = header_block_size(*b.header);
  std::vector<uint8_t> read(block_size), decoded(block_size),
      output(codec_bound(codec, block_size));
  uint64_t bytes = 0;
  for (auto _ : state) {
    unique_fd in, out;
    if (fs_open_read(b.image_path.c_str(), in.out()) != STATUS_OK ||
        fs_create(out_path, 0644, out.out()) != STATUS_OK) {
      state.SkipWithError("cannot open the files");
      return;
    }
    uint64_t off = 0;
    for (const block_entry& e : b.table) {
      if (e.flags & BLOCK_FLAG_NO_DATA) continue;
      size_t got = 0, raw = 0, put = 0;
      if (fs_pread(in.get(), read.data(), e.stored_len, e.offset, &got) != STATUS_OK ||
          got != e.stored_len ||
          codec_decompress(e.codec, read.data(), got, decoded.data(), block_size, &raw) !=
              STATUS_OK) {
        state.SkipWithError("cannot decode a block");
        return;
      }
      size_t packed =
          codec_compress(codec, level, decoded.data(), raw, output.data(), output.size());
      const uint8_t* payload = packed ? output.data() : decoded.data();
      size_t len = packed ? packed : raw;
      if (fs_pwrite_all(out.get(), payload, len, off, &put) != STATUS_OK || put != len) {
        state.SkipWithError("cannot write");
        return;
      }
      off += len;
      bytes += raw;
    }
    if (fs_fsync(out.get()) != STATUS_OK) {
      state.SkipWithError("cannot flush");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_DecodeEncodeWriteSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
