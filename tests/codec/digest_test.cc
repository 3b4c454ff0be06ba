#include "codec/digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

std::string to_hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string sha256_hex(const void* data, size_t len) {
  uint8_t out[SHA256_SIZE];
  sha256_digest(data, len, out);
  return to_hex(out, SHA256_SIZE);
}

}  // namespace

TEST(Sha256Test, AbcIsTheStandardVectorInBothForms) {
  EXPECT_EQ(sha256_hex("abc", 3), kAbcDigest);

  sha256_handle h = nullptr;
  uint8_t out[SHA256_SIZE];
  sha256_begin(&h);
  sha256_update(&h, "a", 1);
  sha256_update(&h, "bc", 2);
  sha256_finish(&h, out);
  EXPECT_EQ(to_hex(out, SHA256_SIZE), kAbcDigest);
  EXPECT_EQ(h, nullptr);
}

TEST(Sha256Test, EmptyRangeIsTheEmptyMessageDigestInBothForms) {
  EXPECT_EQ(sha256_hex(nullptr, 0), kEmptyDigest);
  EXPECT_EQ(sha256_hex("x", 0), kEmptyDigest);

  sha256_handle h = nullptr;
  uint8_t out[SHA256_SIZE];
  sha256_begin(&h);
  sha256_update(&h, nullptr, 0);
  sha256_finish(&h, out);
  EXPECT_EQ(to_hex(out, SHA256_SIZE), kEmptyDigest);
}

TEST(Sha256Test, EmptyUpdatesLeaveTheDigestUnchanged) {
  sha256_handle h = nullptr;
  uint8_t out[SHA256_SIZE];
  sha256_begin(&h);
  sha256_update(&h, "ab", 0);
  sha256_update(&h, "abc", 3);
  sha256_update(&h, nullptr, 0);
  sha256_finish(&h, out);
  EXPECT_EQ(to_hex(out, SHA256_SIZE), kAbcDigest);
}

TEST(Sha256Test, LargeBufferMatchesTheOpensslCommandInEveryForm) {
  test::TempDir dir;
  auto data = random_bytes(3 * 1024 * 1024 + 17, 7);
  test::write_file(dir.file("data"), data);
  auto r = test::run("/usr/bin/openssl", {"dgst", "-sha256", "-r", dir.file("data")});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::string expected = r.out.substr(0, 64);

  EXPECT_EQ(sha256_hex(data.data(), data.size()), expected);

  sha256_handle h = nullptr;
  uint8_t out[SHA256_SIZE];
  sha256_begin(&h);
  for (size_t off = 0; off < data.size(); off += 100003)
    sha256_update(&h, data.data() + off, std::min<size_t>(100003, data.size() - off));
  sha256_finish(&h, out);
  EXPECT_EQ(to_hex(out, SHA256_SIZE), expected);
}

TEST(Sha256Test, TwoHandlesRunSideBySide) {
  sha256_handle a = nullptr, b = nullptr;
  uint8_t da[SHA256_SIZE], db[SHA256_SIZE];
  sha256_begin(&a);
  sha256_begin(&b);
  sha256_update(&a, "abc", 3);
  sha256_finish(&b, db);
  sha256_finish(&a, da);
  EXPECT_EQ(to_hex(da, SHA256_SIZE), kAbcDigest);
  EXPECT_EQ(to_hex(db, SHA256_SIZE), kEmptyDigest);
}

TEST(Sha256DeathTest, FinishingAnEmptySlotPrintsTheFatalLineAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sha256_handle h = nullptr;
        uint8_t out[SHA256_SIZE];
        sha256_finish(&h, out);
      },
      "^fatal: OpenSSL SHA-256 failed\n$");
}

TEST(DigestEqualTest, ComparesEveryByte) {
  auto a = random_bytes(32, 1);
  auto b = a;
  EXPECT_EQ(digest_equal(a.data(), b.data(), 32), 1);
  for (size_t i : {size_t{0}, size_t{17}, size_t{31}}) {
    b = a;
    b[i] ^= 0x01;
    EXPECT_EQ(digest_equal(a.data(), b.data(), 32), 0) << i;
  }
  EXPECT_EQ(digest_equal(a.data(), b.data(), 0), 1);
}

// Known answers: "123456789" is the usual check value; the 32-byte buffers
// are the iSCSI test vectors (RFC 3720, B.4), long enough to use the 8-byte
// steps of the instruction path.
struct CrcVector {
  std::vector<uint8_t> data;
  uint32_t crc;
};

std::vector<CrcVector> crc_vectors() {
  std::vector<CrcVector> v;
  v.push_back({std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xe3069283});
  v.push_back({std::vector<uint8_t>(32, 0x00), 0x8a9136aa});
  v.push_back({std::vector<uint8_t>(32, 0xff), 0x62a8ab43});
  std::vector<uint8_t> up(32), down(32);
  for (int i = 0; i < 32; i++) {
    up[i] = static_cast<uint8_t>(i);
    down[i] = static_cast<uint8_t>(31 - i);
  }
  v.push_back({up, 0x46dd794e});
  v.push_back({down, 0x113fdb5c});
  return v;
}

TEST(Crc32cTest, KnownAnswersOnTheTablePath) {
  for (const auto& v : crc_vectors())
    EXPECT_EQ(crc32c_update_table(0, v.data.data(), v.data.size()), v.crc);
}

TEST(Crc32cTest, KnownAnswersOnTheHardwarePath) {
  if (!crc32c_has_hardware()) GTEST_SKIP() << "no SSE4.2 on this processor";
  for (const auto& v : crc_vectors())
    EXPECT_EQ(crc32c_update_hardware(0, v.data.data(), v.data.size()), v.crc);
}

TEST(Crc32cTest, ChosenPathGivesTheKnownAnswer) {
  EXPECT_EQ(crc32c_update(0, "123456789", 9), 0xe3069283u);
}

TEST(Crc32cTest, PathsAgreeForEveryShortLengthAndAlignment) {
  if (!crc32c_has_hardware()) GTEST_SKIP() << "no SSE4.2 on this processor";
  auto buf = random_bytes(64 + 8, 3);
  for (size_t align = 0; align < 8; align++) {
    for (size_t len = 0; len <= 64; len++) {
      const uint8_t* p = buf.data() + align;
      EXPECT_EQ(crc32c_update_hardware(0x12345678, p, len), crc32c_update_table(0x12345678, p, len))
          << "align " << align << " len " << len;
    }
  }
}

TEST(Crc32cTest, PathsAgreeOnRandomBuffers) {
  if (!crc32c_has_hardware()) GTEST_SKIP() << "no SSE4.2 on this processor";
  std::mt19937 gen(11);
  for (int round = 0; round < 200; round++) {
    size_t len = gen() % 5000;
    auto buf = random_bytes(len + 8, static_cast<uint32_t>(round));
    size_t align = gen() % 8;
    uint32_t seed = static_cast<uint32_t>(gen());
    EXPECT_EQ(crc32c_update_hardware(seed, buf.data() + align, len),
              crc32c_update_table(seed, buf.data() + align, len))
        << "round " << round;
  }
}

TEST(Crc32cTest, RunningValueContinuesAcrossEverySplit) {
  auto buf = random_bytes(100, 5);
  uint32_t whole = crc32c_update(0, buf.data(), buf.size());
  for (size_t split = 0; split <= buf.size(); split++) {
    uint32_t first = crc32c_update(0, buf.data(), split);
    EXPECT_EQ(crc32c_update(first, buf.data() + split, buf.size() - split), whole) << split;
  }
  uint32_t first = crc32c_update_table(0, buf.data(), 37);
  EXPECT_EQ(crc32c_update_table(first, buf.data() + 37, 63), whole);
}

TEST(Crc32cTest, EmptyInputReturnsTheRunningValue) {
  EXPECT_EQ(crc32c_update(0xdeadbeef, nullptr, 0), 0xdeadbeefu);
  EXPECT_EQ(crc32c_update_table(0xdeadbeef, "x", 0), 0xdeadbeefu);
  if (crc32c_has_hardware()) {
    EXPECT_EQ(crc32c_update_hardware(0xdeadbeef, "x", 0), 0xdeadbeefu);
  }
}
