#include "codec/cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> bytes_of(uint64_t seed, size_t n) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> key_of(uint8_t seed) {
  std::vector<uint8_t> k(CIPHER_KEY_SIZE);
  for (size_t i = 0; i < k.size(); i++) k[i] = static_cast<uint8_t>(seed + 13 * i);
  return k;
}

std::vector<uint8_t> seal(uint8_t id, const std::vector<uint8_t>& key,
                          const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> out(sealed_size(id, plain.size()));
  size_t n = seal_block(id, key.data(), plain.data(), plain.size(), out.data(), out.size());
  EXPECT_EQ(n, plain.size() + 28);
  out.resize(n);
  return out;
}

// Opens into a buffer of exactly the ciphertext's length; the status, and the
// plaintext only when it is 0.
status_t open(uint8_t id, const std::vector<uint8_t>& key, const std::vector<uint8_t>& sealed,
              std::vector<uint8_t>* plain) {
  std::vector<uint8_t> out(sealed.size() > 28 ? sealed.size() - 28 : 0);
  size_t n = 0;
  status_t s = open_block(id, key.data(), sealed.data(), sealed.size(), out.data(), out.size(), &n);
  if (s == STATUS_OK && plain) {
    out.resize(n);
    *plain = out;
  }
  return s;
}

// A sealed payload is nonce || ciphertext || tag; a published vector with a
// 96-bit IV and no associated data is assembled in exactly that order.
struct known_answer {
  const char* name;
  uint8_t id;
  const char* key;
  const char* iv;
  const char* plain;
  const char* sealed_tail;  // ciphertext then tag
};

const known_answer KNOWN_ANSWERS[] = {
    // The GCM paper's (McGrew and Viega) test cases 14 and 15: 256-bit keys,
    // no associated data.
    {"GCM test case 14", CIPHER_AES_256_GCM,
     "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000",
     "cea7403d4d606b6e074ec5d3baf39d18"
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"GCM test case 15", CIPHER_AES_256_GCM,
     "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
     "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
     "b094dac5d93471bdec1a502270e3cc6c"},
    // RFC 8439 section 2.8.2's key, nonce and plaintext. The ciphertext is the
    // RFC's (it does not depend on associated data); the tag, which does, was
    // computed without any by an independent implementation (pyca/cryptography).
    {"RFC 8439 2.8.2 without AAD", CIPHER_CHACHA20_POLY1305,
     "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f", "070000004041424344454647",
     "4c616469657320616e642047656e746c656d656e206f662074686520636c6173"
     "73206f66202739393a204966204920636f756c64206f6666657220796f75206f"
     "6e6c79206f6e652074697020666f7220746865206675747572652c2073756e73"
     "637265656e20776f756c642062652069742e",
     "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d6"
     "3dbea45e8ca9671282fafb69da92728b1a71de0a9e060b2905d6a5b67ecd3b36"
     "92ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc"
     "3ff4def08e4b7a9de576d26586cec64b61166a23a4681fd59456aea1d29f8247"
     "7216"},
};

TEST(CipherTest, PublishedVectorsOpenToTheirPlaintext) {
  for (const auto& v : KNOWN_ANSWERS) {
    SCOPED_TRACE(v.name);
    auto sealed = from_hex(std::string(v.iv) + v.sealed_tail);
    std::vector<uint8_t> plain;
    ASSERT_EQ(open(v.id, from_hex(v.key), sealed, &plain), STATUS_OK);
    EXPECT_EQ(plain, from_hex(v.plain));
    sealed.back() ^= 0x80;
    EXPECT_EQ(open(v.id, from_hex(v.key), sealed, nullptr), STATUS_DECRYPT);
  }
}

// GCM test case 13 is the empty message: a genuine 28-byte payload with a
// valid tag. Payloads of 28 bytes or less are refused before any decryption,
// since no stored block is empty.
TEST(CipherTest, EmptyMessageIsRefusedEvenWithAValidTag) {
  auto sealed = from_hex("000000000000000000000000530f8afbc74536b9a963b4f1c4cb738b");
  std::vector<uint8_t> out(16);
  size_t n = 99;
  EXPECT_EQ(open_block(CIPHER_AES_256_GCM, key_of(0).data(), sealed.data(), sealed.size(),
                       out.data(), out.size(), &n),
            STATUS_INVALID);
  EXPECT_EQ(n, 99u);
}

class CipherRoundTripTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  uint8_t id() const { return GetParam(); }
  uint8_t other() const {
    return id() == CIPHER_AES_256_GCM ? CIPHER_CHACHA20_POLY1305 : CIPHER_AES_256_GCM;
  }
};

INSTANTIATE_TEST_SUITE_P(Ciphers, CipherRoundTripTest,
                         ::testing::Values(CIPHER_AES_256_GCM, CIPHER_CHACHA20_POLY1305),
                         [](const auto& info) {
                           return info.param == CIPHER_AES_256_GCM ? "Aes256Gcm"
                                                                   : "ChaCha20Poly1305";
                         });

TEST_P(CipherRoundTripTest, SealedPayloadOpensToThePlaintextAndItsLength) {
  auto key = key_of(1);
  for (size_t n : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{4096}, size_t{2} << 20}) {
    SCOPED_TRACE(n);
    auto plain = bytes_of(n, n);
    auto sealed = seal(id(), key, plain);
    ASSERT_EQ(sealed.size(), n + 28);
    // A short ciphertext equals its plaintext by chance (1 in 256 for one
    // byte under a random nonce), so only 16 bytes or more say anything.
    if (n >= 16) {
      EXPECT_NE(0, memcmp(sealed.data() + 12, plain.data(), 16)) << "not encrypted";
    }
    std::vector<uint8_t> back;
    ASSERT_EQ(open(id(), key, sealed, &back), STATUS_OK);
    EXPECT_EQ(back, plain);
  }
}

TEST_P(CipherRoundTripTest, OneByteMessageIsTheShortestThatOpens) {
  auto key = key_of(2);
  auto empty = seal(id(), key, {});
  EXPECT_EQ(empty.size(), 28u);
  EXPECT_EQ(open(id(), key, empty, nullptr), STATUS_INVALID);

  auto one = seal(id(), key, {0x42});
  ASSERT_EQ(one.size(), 29u);
  std::vector<uint8_t> back;
  ASSERT_EQ(open(id(), key, one, &back), STATUS_OK);
  EXPECT_EQ(back, std::vector<uint8_t>{0x42});

  EXPECT_EQ(open_block(id(), key.data(), one.data(), 27, back.data(), back.size(), nullptr),
            STATUS_INVALID);
  EXPECT_EQ(open_block(id(), key.data(), one.data(), 0, back.data(), back.size(), nullptr),
            STATUS_INVALID);
}

TEST_P(CipherRoundTripTest, EverySingleByteChangeFailsTheTag) {
  auto key = key_of(3);
  auto sealed = seal(id(), key, bytes_of(4, 64));
  for (size_t i = 0; i < sealed.size(); i++) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}}) {
      auto damaged = sealed;
      damaged[i] ^= mask;
      ASSERT_EQ(open(id(), key, damaged, nullptr), STATUS_DECRYPT)
          << "byte " << i << " mask " << int(mask);
    }
  }
}

TEST_P(CipherRoundTripTest, WrongKeyOrTheOtherCipherFailsTheTag) {
  auto key = key_of(5);
  auto sealed = seal(id(), key, bytes_of(6, 1000));
  auto wrong = key;
  wrong[31] ^= 1;
  EXPECT_EQ(open(id(), wrong, sealed, nullptr), STATUS_DECRYPT);
  EXPECT_EQ(open(id(), key_of(6), sealed, nullptr), STATUS_DECRYPT);
  EXPECT_EQ(open(other(), key, sealed, nullptr), STATUS_DECRYPT);
}

TEST_P(CipherRoundTripTest, FailedOpenLeavesTheOutLengthAlone) {
  auto key = key_of(7);
  auto sealed = seal(id(), key, bytes_of(8, 100));
  sealed[40] ^= 1;
  std::vector<uint8_t> out(100);
  size_t n = 12345;
  EXPECT_EQ(open_block(id(), key.data(), sealed.data(), sealed.size(), out.data(), out.size(), &n),
            STATUS_DECRYPT);
  EXPECT_EQ(n, 12345u);
}

TEST_P(CipherRoundTripTest, CapacityOneByteShortIsRefusedBeforeDecrypting) {
  auto key = key_of(9);
  auto sealed = seal(id(), key, bytes_of(10, 300));
  std::vector<uint8_t> out(300, 0xEE);
  size_t n = 0;
  EXPECT_EQ(open_block(id(), key.data(), sealed.data(), sealed.size(), out.data(), 299, &n),
            STATUS_INVALID);
  EXPECT_EQ(out, std::vector<uint8_t>(300, 0xEE));
  EXPECT_EQ(open_block(id(), key.data(), sealed.data(), sealed.size(), out.data(), 300, &n),
            STATUS_OK);
  EXPECT_EQ(n, 300u);
}

TEST_P(CipherRoundTripTest, TwoSealsOfOnePlaintextDrawDifferentNonces) {
  auto key = key_of(11);
  auto plain = bytes_of(12, 256);
  auto a = seal(id(), key, plain);
  auto b = seal(id(), key, plain);
  EXPECT_NE(std::vector<uint8_t>(a.begin(), a.begin() + 12),
            std::vector<uint8_t>(b.begin(), b.begin() + 12));
  EXPECT_NE(a, b);
}

TEST(CipherTest, OnlyIdsOneAndTwoHaveACipher) {
  EXPECT_EQ(cipher_for_id(CIPHER_NONE), nullptr);
  EXPECT_EQ(cipher_for_id(3), nullptr);
  EXPECT_EQ(cipher_for_id(255), nullptr);
  const EVP_CIPHER* aes = cipher_for_id(CIPHER_AES_256_GCM);
  const EVP_CIPHER* chacha = cipher_for_id(CIPHER_CHACHA20_POLY1305);
  ASSERT_NE(aes, nullptr);
  ASSERT_NE(chacha, nullptr);
  EXPECT_NE(aes, chacha);
  EXPECT_EQ(cipher_for_id(CIPHER_AES_256_GCM), aes) << "fetched once, then cached";
  EXPECT_EQ(cipher_for_id(CIPHER_CHACHA20_POLY1305), chacha);

  auto key = key_of(13);
  auto sealed = seal(CIPHER_AES_256_GCM, key, bytes_of(14, 64));
  for (uint8_t id : {uint8_t{0}, uint8_t{3}})
    EXPECT_EQ(open(id, key, sealed, nullptr), STATUS_INVALID) << int(id);
}

TEST(CipherTest, SealedSizeAddsNonceAndTagForAnyIdButZero) {
  EXPECT_EQ(sealed_size(0, 2097152), 2097152u);
  EXPECT_EQ(sealed_size(1, 2097152), 2097180u);
  EXPECT_EQ(sealed_size(2, 0), 28u);
  EXPECT_EQ(sealed_size(3, 5), 33u);
}

TEST(CipherDeathTest, FatalLineNamesTheStep) {
  EXPECT_DEATH(openssl_fatal("RAND_bytes"), "^fatal: OpenSSL RAND_bytes failed\n$");
}

TEST(CipherDeathTest, SealingWithoutRoomOrWithoutACipherIsFatal) {
  auto key = key_of(15);
  std::vector<uint8_t> plain(100), out(128);
  EXPECT_DEATH(
      (void)seal_block(CIPHER_AES_256_GCM, key.data(), plain.data(), plain.size(), out.data(), 127),
      "^fatal: OpenSSL encrypt: invalid arguments failed\n$");
  EXPECT_DEATH(
      (void)seal_block(CIPHER_NONE, key.data(), plain.data(), plain.size(), out.data(), out.size()),
      "^fatal: OpenSSL encrypt: invalid arguments failed\n$");
  EXPECT_DEATH((void)seal_block(CIPHER_CHACHA20_POLY1305, key.data(), plain.data(), SIZE_MAX - 3,
                                out.data(), out.size()),
               "^fatal: OpenSSL encrypt: invalid arguments failed\n$")
      << "a length that wraps past the capacity check";
}

}  // namespace
