#include "codec/compress.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <zstd.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// The self-test's pattern: compressible, but not trivially so.
std::vector<uint8_t> pattern_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>((i >> 5) ^ (7 * i));
  return v;
}

// Text-like data that both codecs shrink well.
std::vector<uint8_t> text_bytes(size_t n) {
  static const char* words[] = {"block ", "chain ", "backup ", "scrub ", "image ", "meta "};
  std::mt19937_64 rng(7);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = words[rng() % 6];
    v.insert(v.end(), w, w + strlen(w));
  }
  v.resize(n);
  return v;
}

std::vector<uint8_t> compress(uint8_t codec, const std::vector<uint8_t>& src, int level = 3) {
  std::vector<uint8_t> out(codec_bound(codec, src.size()));
  size_t n = codec_compress(codec, level, src.data(), src.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

// What the library itself makes of src, without the "must gain" rule.
size_t library_compressed_size(uint8_t codec, const std::vector<uint8_t>& src) {
  std::vector<uint8_t> out(codec == CODEC_ZSTD ? ZSTD_compressBound(src.size())
                                               : LZ4_compressBound(static_cast<int>(src.size())));
  if (codec == CODEC_ZSTD) return ZSTD_compress(out.data(), out.size(), src.data(), src.size(), 3);
  return static_cast<size_t>(LZ4_compress_default(
      reinterpret_cast<const char*>(src.data()), reinterpret_cast<char*>(out.data()),
      static_cast<int>(src.size()), static_cast<int>(out.size())));
}

class CompressTest : public ::testing::TestWithParam<uint8_t> {};

INSTANTIATE_TEST_SUITE_P(Codecs, CompressTest, ::testing::Values(CODEC_ZSTD, CODEC_LZ4),
                         [](const auto& info) {
                           return info.param == CODEC_ZSTD ? "Zstd" : "Lz4";
                         });

TEST_P(CompressTest, RoundTripRestoresTheBytesAndReportsTheirLength) {
  for (const auto& src : {pattern_bytes(262144), text_bytes(2 << 20), text_bytes(1)}) {
    auto packed = compress(GetParam(), src);
    if (src.size() == 1) {
      EXPECT_TRUE(packed.empty()) << "one byte cannot shrink";
      continue;
    }
    ASSERT_GT(packed.size(), 0u);
    ASSERT_LT(packed.size(), src.size());
    std::vector<uint8_t> back(src.size());
    size_t produced = 0;
    ASSERT_EQ(codec_decompress(GetParam(), packed.data(), packed.size(), back.data(), back.size(),
                               &produced),
              STATUS_OK);
    EXPECT_EQ(produced, src.size());
    EXPECT_EQ(back, src);
  }
}

TEST_P(CompressTest, DecodesWithoutAnOutPointer) {
  auto src = text_bytes(4096);
  auto packed = compress(GetParam(), src);
  std::vector<uint8_t> back(src.size());
  ASSERT_EQ(
      codec_decompress(GetParam(), packed.data(), packed.size(), back.data(), back.size(), nullptr),
      STATUS_OK);
  EXPECT_EQ(back, src);
}

TEST_P(CompressTest, IncompressibleDataIsNotCompressedEvenWithRoomToSpare) {
  auto src = random_bytes(65536, 1);
  std::vector<uint8_t> dst(codec_bound(GetParam(), src.size()) * 2);
  EXPECT_EQ(codec_compress(GetParam(), 3, src.data(), src.size(), dst.data(), dst.size()), 0u);
  EXPECT_EQ(codec_compress(GetParam(), 3, src.data(), 0, dst.data(), dst.size()), 0u)
      << "an empty block cannot shrink";
}

// Random bytes next to a run of zeros: once the zeros pay off, each extra
// zero gains about one byte, so some length makes the library's output
// exactly as long as the input. That one, and every longer form, must be
// refused; one byte shorter must be used. Two shapes, because zstd and lz4
// step over the boundary at different places.
TEST_P(CompressTest, OnlyAStrictlySmallerFormIsUsed) {
  const uint8_t codec = GetParam();
  bool saw_equal = false, saw_one_less = false;
  for (int shape = 0; shape < 2; shape++) {
    for (size_t zeros = 0; zeros < 400; zeros++) {
      std::vector<uint8_t> src;
      if (shape == 0) {
        src = random_bytes(32, 2);
        src.insert(src.end(), zeros, 0);
      } else {
        src.assign(zeros, 0);
        auto noise = random_bytes(3000, 2);
        src.insert(src.end(), noise.begin(), noise.end());
      }
      size_t lib = library_compressed_size(codec, src);
      auto ours = compress(codec, src);
      if (lib >= src.size()) {
        EXPECT_TRUE(ours.empty()) << "zeros=" << zeros << " lib=" << lib;
        saw_equal |= lib == src.size();
      } else {
        EXPECT_EQ(ours.size(), lib) << "zeros=" << zeros;
        saw_one_less |= lib + 1 == src.size();
      }
    }
  }
  EXPECT_TRUE(saw_equal) << "no input compressed to exactly its own length";
  EXPECT_TRUE(saw_one_less) << "no input compressed to exactly one byte less";
}

TEST_P(CompressTest, TooSmallADestinationIsAFailedCompressionNotAnOverflow) {
  auto src = text_bytes(65536);
  size_t full = compress(GetParam(), src).size();
  ASSERT_GT(full, 8u);
  std::vector<uint8_t> dst(full + 64, 0xAB);
  EXPECT_EQ(codec_compress(GetParam(), 3, src.data(), src.size(), dst.data(), full / 2), 0u);
  for (size_t i = full / 2; i < dst.size(); i++) ASSERT_EQ(dst[i], 0xAB) << i;
}

TEST_P(CompressTest, DamagedPayloadsAreCorrupt) {
  const uint8_t codec = GetParam();
  auto src = text_bytes(65536);
  auto packed = compress(codec, src);
  std::vector<uint8_t> back(src.size());
  size_t produced = 12345;

  std::vector<uint8_t> garbage(200, 0xFF);
  EXPECT_EQ(
      codec_decompress(codec, garbage.data(), garbage.size(), back.data(), back.size(), &produced),
      STATUS_CORRUPT);
  EXPECT_EQ(produced, 12345u) << "the out length is written only on success";

  EXPECT_EQ(
      codec_decompress(codec, packed.data(), packed.size() / 2, back.data(), back.size(), nullptr),
      STATUS_CORRUPT)
      << "truncated payload";
  // An empty zstd payload is zero frames, which zstd decodes to nothing: the
  // caller's length check is what rejects it.
  produced = 12345;
  EXPECT_EQ(codec_decompress(codec, packed.data(), 0, back.data(), back.size(), &produced),
            codec == CODEC_ZSTD ? STATUS_OK : STATUS_CORRUPT);
  if (codec == CODEC_ZSTD) {
    EXPECT_EQ(produced, 0u);
  }
}

TEST_P(CompressTest, DataLongerThanTheDestinationIsCorrupt) {
  auto src = text_bytes(65536);
  auto packed = compress(GetParam(), src);
  std::vector<uint8_t> back(src.size() + 16, 0xCD);
  EXPECT_EQ(codec_decompress(GetParam(), packed.data(), packed.size(), back.data(), src.size() - 1,
                             nullptr),
            STATUS_CORRUPT);
  for (size_t i = src.size() - 1; i < back.size(); i++) ASSERT_EQ(back[i], 0xCD) << i;
}

// A kept workspace must not show in the bytes: each block is compressed as
// if it were the first, whatever the blocks, lengths and levels before it
// (a large block leaves its match tables behind for a small one, a high
// level for a low one), and decoding with it gives the same verdicts.
TEST_P(CompressTest, AWorkspaceChangesNeitherTheBytesNorTheVerdicts) {
  const uint8_t codec = GetParam();
  codec_workspace ws;
  const std::vector<std::vector<uint8_t>> inputs = {text_bytes(2 << 20), pattern_bytes(262144),
                                                    random_bytes(65536, 3), text_bytes(1),
                                                    text_bytes(100000)};
  for (int level : {19, 9, 1, 3, 9}) {
    for (const auto& src : inputs) {
      const auto fresh = compress(codec, src, level);
      std::vector<uint8_t> kept(codec_bound(codec, src.size()));
      kept.resize(
          codec_compress(codec, level, src.data(), src.size(), kept.data(), kept.size(), &ws));
      ASSERT_EQ(kept, fresh) << "level " << level << ", " << src.size() << " bytes";
      if (fresh.empty()) continue;

      std::vector<uint8_t> back(src.size());
      size_t produced = 0;
      ASSERT_EQ(codec_decompress(codec, kept.data(), kept.size(), back.data(), back.size(),
                                 &produced, &ws),
                STATUS_OK);
      EXPECT_EQ(produced, src.size());
      EXPECT_EQ(back, src);

      // Damage in the middle, and a payload cut short: what the one-shot
      // call says, and the workspace still decodes the next block.
      auto bad = kept;
      bad[bad.size() / 2] ^= 0x5a;
      for (const auto& payload : {bad, std::vector<uint8_t>(kept.begin(), kept.end() - 1)}) {
        size_t n1 = 0, n2 = 0;
        std::vector<uint8_t> a(src.size()), b(src.size());
        const status_t one_shot =
            codec_decompress(codec, payload.data(), payload.size(), a.data(), a.size(), &n1);
        EXPECT_EQ(
            codec_decompress(codec, payload.data(), payload.size(), b.data(), b.size(), &n2, &ws),
            one_shot);
        if (one_shot == STATUS_OK) {
          EXPECT_EQ(n1, n2);
        }
      }
    }
  }
}

TEST(CompressRawTest, CodecNoneCopiesIntoAnExactFitAndRefusesOneByteLess) {
  auto src = random_bytes(1000, 3);
  std::vector<uint8_t> dst(src.size());
  size_t produced = 0;
  ASSERT_EQ(codec_decompress(CODEC_NONE, src.data(), src.size(), dst.data(), dst.size(), &produced),
            STATUS_OK);
  EXPECT_EQ(produced, src.size());
  EXPECT_EQ(dst, src);

  produced = 777;
  std::vector<uint8_t> small(src.size(), 0x11);
  EXPECT_EQ(
      codec_decompress(CODEC_NONE, src.data(), src.size(), small.data(), src.size() - 1, &produced),
      STATUS_INVALID);
  EXPECT_EQ(produced, 777u);
  EXPECT_EQ(small, std::vector<uint8_t>(src.size(), 0x11)) << "refused before copying";

  ASSERT_EQ(codec_decompress(CODEC_NONE, src.data(), 0, dst.data(), 0, &produced), STATUS_OK);
  EXPECT_EQ(produced, 0u);
}

TEST(CompressRawTest, CodecNoneAndUnknownIdsNeverCompressNorTouchTheDestination) {
  auto src = text_bytes(8192);
  for (uint8_t codec : {uint8_t{CODEC_NONE}, uint8_t{3}, uint8_t{255}}) {
    std::vector<uint8_t> dst(src.size(), 0x5A);
    EXPECT_EQ(codec_compress(codec, 3, src.data(), src.size(), dst.data(), dst.size()), 0u);
    EXPECT_EQ(dst, std::vector<uint8_t>(src.size(), 0x5A)) << int(codec);
    EXPECT_EQ(codec_bound(codec, 12345), 12345u);
  }
}

TEST(CompressRawTest, UnknownCodecIdsAreInvalidForDecompression) {
  uint8_t src[16] = {};
  uint8_t dst[64];
  for (uint8_t codec : {uint8_t{3}, uint8_t{4}, uint8_t{255}})
    EXPECT_EQ(codec_decompress(codec, src, sizeof src, dst, sizeof dst, nullptr), STATUS_INVALID);
}

// liblz4 counts in ints; a size_t that does not fit must never be narrowed
// into a small value that would make it decode or read only part of a block.
TEST(CompressLz4Test, LengthsBeyondAnIntAreNeverNarrowed) {
  auto src = text_bytes(65536);
  auto packed = compress(CODEC_LZ4, src);
  std::vector<uint8_t> back(src.size());
  size_t produced = 0;
  const size_t huge = (size_t{1} << 32) + 5;  // wraps to 5 as an int
  ASSERT_EQ(codec_decompress(CODEC_LZ4, packed.data(), packed.size(), back.data(), huge, &produced),
            STATUS_OK)
      << "a capacity beyond INT_MAX still has room for the block";
  EXPECT_EQ(produced, src.size());
  EXPECT_EQ(back, src);

  // These return before lz4 reads anything, so the short buffers are safe.
  EXPECT_EQ(codec_decompress(CODEC_LZ4, packed.data(), huge, back.data(), back.size(), nullptr),
            STATUS_CORRUPT);
  std::vector<uint8_t> dst(1024);
  EXPECT_EQ(codec_compress(CODEC_LZ4, 3, src.data(), huge, dst.data(), dst.size()), 0u);
  EXPECT_EQ(codec_bound(CODEC_LZ4, huge), 0u);
  EXPECT_EQ(codec_bound(CODEC_LZ4, size_t{LZ4_MAX_INPUT_SIZE} + 1), 0u);
  EXPECT_GE(codec_bound(CODEC_LZ4, LZ4_MAX_INPUT_SIZE), size_t{LZ4_MAX_INPUT_SIZE});
}

TEST(CompressZstdTest, LevelReachesTheLibrary) {
  auto src = text_bytes(1 << 20);
  size_t fast = compress(CODEC_ZSTD, src, 1).size();
  size_t strong = compress(CODEC_ZSTD, src, 19).size();
  ASSERT_GT(fast, 0u);
  EXPECT_LT(strong, fast);
}

// Stored zstd payloads are plain zstd frames: the zstd command line tool and
// this layer must read each other's output.
TEST(CompressZstdTest, PayloadsAreFramesTheZstdToolReadsAndWrites) {
  test::TempDir dir;
  auto src = text_bytes(300000);
  auto packed = compress(CODEC_ZSTD, src, 9);
  ASSERT_GT(packed.size(), 0u);
  test::write_file(dir.file("ours.zst"), packed);
  auto r = test::run("/usr/bin/zstd", {"-q", "-d", "-c", dir.file("ours.zst")});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(src.begin(), src.end()));

  test::write_file(dir.file("raw"), src);
  r = test::run("/usr/bin/zstd", {"-q", "-19", "-c", dir.file("raw")});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::vector<uint8_t> back(src.size());
  size_t produced = 0;
  ASSERT_EQ(
      codec_decompress(CODEC_ZSTD, r.out.data(), r.out.size(), back.data(), back.size(), &produced),
      STATUS_OK);
  EXPECT_EQ(produced, src.size());
  EXPECT_EQ(back, src);
}

}  // namespace
