#include "store/uuid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(UuidTest, GeneratedUuidsAreVersionFourWithTheRfcVariantAndDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; i++) {
    uint8_t id[UUID_SIZE];
    uuid_generate(id);
    EXPECT_EQ(id[6] >> 4, 4);
    EXPECT_EQ(id[8] >> 6, 2);
    char text[UUID_TEXT_SIZE];
    uuid_format(id, text);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(strchr("89ab", text[19]), nullptr) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(UuidTest, TextFormIsLowercaseGroupsInStoredByteOrder) {
  const uint8_t id[UUID_SIZE] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  char text[UUID_TEXT_SIZE];
  memset(text, '#', sizeof text);
  uuid_format(id, text);
  EXPECT_STREQ(text, "00112233-4455-6677-8899-aabbccddeeff");
}

TEST(UuidTest, ZeroAndEqualLookAtEveryByte) {
  uint8_t zero[UUID_SIZE] = {};
  uint8_t last[UUID_SIZE] = {};
  last[15] = 1;
  uint8_t first[UUID_SIZE] = {};
  first[0] = 1;
  EXPECT_TRUE(uuid_is_zero(zero));
  EXPECT_FALSE(uuid_is_zero(last));
  EXPECT_FALSE(uuid_is_zero(first));
  EXPECT_TRUE(uuid_equal(last, last));
  EXPECT_FALSE(uuid_equal(zero, last));
  EXPECT_FALSE(uuid_equal(first, last));
}
