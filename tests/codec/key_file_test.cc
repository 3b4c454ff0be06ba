#include "codec/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

const std::string DIGITS = "000102030405060708090a0b0c0d0e0f f0e1d2c3b4a5968778695a4b3c2d1e0f";
const std::string KEY_HEX = DIGITS.substr(0, 32) + DIGITS.substr(33);  // 64 digits

std::vector<uint8_t> expected_key() {
  std::vector<uint8_t> k;
  for (size_t i = 0; i < 64; i += 2) k.push_back(std::stoi(KEY_HEX.substr(i, 2), nullptr, 16));
  return k;
}

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

class KeyFileTest : public ::testing::Test {
 protected:
  // Writes text as the key file and loads it; the key stays all 0xAA unless
  // the load succeeds.
  status_t load_text(const std::string& text) {
    test::write_text(path(), text);
    return load(path());
  }
  status_t load(const std::string& p) {
    key.assign(CIPHER_KEY_SIZE, 0xAA);
    return load_key_file(p.c_str(), key.data());
  }
  std::string path() const { return dir.file("block.key"); }

  test::TempDir dir;
  std::vector<uint8_t> key;
};

TEST_F(KeyFileTest, WrittenFormAndItsHarmlessVariantsAllGiveTheSameKey) {
  std::string mixed = KEY_HEX;
  for (size_t i = 0; i < mixed.size(); i += 3) mixed[i] = static_cast<char>(toupper(mixed[i]));
  const std::vector<std::string> accepted = {
      KEY_HEX + "\n",      KEY_HEX,           KEY_HEX + "\r\n",      KEY_HEX + "  \t \t",
      KEY_HEX + "\n\n\r ", upper(KEY_HEX),    upper(KEY_HEX) + "\n", mixed + "\r\n",
      KEY_HEX + " \t\n",   KEY_HEX + "\t\r\n"};
  for (const auto& text : accepted) {
    SCOPED_TRACE(::testing::PrintToString(text));
    ASSERT_EQ(load_text(text), STATUS_OK);
    EXPECT_EQ(key, expected_key());
  }
}

TEST_F(KeyFileTest, DigitPairsGiveKeyBytesHighNibbleFirst) {
  ASSERT_EQ(load_text(std::string(62, '0') + "f1\n"), STATUS_OK);
  EXPECT_EQ(key[31], 0xf1);
  EXPECT_EQ(key[0], 0x00);
  ASSERT_EQ(load_text("A5" + std::string(62, '0')), STATUS_OK);
  EXPECT_EQ(key[0], 0xa5);
}

TEST_F(KeyFileTest, AnythingThatIsNotExactlySixtyFourDigitsIsInvalid) {
  std::string with_g = KEY_HEX;
  with_g[20] = 'g';
  std::string with_space = KEY_HEX;
  with_space[40] = ' ';
  const std::vector<std::string> refused = {
      KEY_HEX.substr(1) + "\n",          // 63 digits
      KEY_HEX + "0\n",                   // 65 digits
      " " + KEY_HEX + "\n",              // leading blank is not trimmed
      "\t" + KEY_HEX,                    //
      "\n" + KEY_HEX,                    //
      with_g + "\n",                     // not a hex digit
      with_space,                        // blank inside
      KEY_HEX + "\f",                    // form feed stops the trimming
      KEY_HEX + "\v\n",                  // so does a vertical tab
      KEY_HEX + std::string(1, '\0'),    // and NUL
      KEY_HEX + std::string("\0\n", 2),  //
      KEY_HEX + "\nextra\n",             // a second line
      "0x" + KEY_HEX.substr(2),          //
      " \t\r\n \n",                      // nothing but white space
      "",                                // empty
      DIGITS + "\n",                     // 64 digits with a blank in the middle
  };
  for (const auto& text : refused) {
    SCOPED_TRACE(::testing::PrintToString(text));
    EXPECT_EQ(load_text(text), STATUS_INVALID);
    EXPECT_EQ(key, std::vector<uint8_t>(CIPHER_KEY_SIZE, 0xAA)) << "key written on failure";
  }
}

// Only the first 127 bytes count: 64 digits and 63 blanks fill them, so what
// follows is never seen; one blank fewer brings a stray byte into view.
TEST_F(KeyFileTest, OnlyTheFirst127BytesAreLookedAt) {
  EXPECT_EQ(load_text(KEY_HEX + std::string(63, ' ') + "this is never read\x01\xff"), STATUS_OK);
  EXPECT_EQ(key, expected_key());
  EXPECT_EQ(load_text(KEY_HEX + std::string(62, '\n') + "x"), STATUS_INVALID);
  EXPECT_EQ(load_text(KEY_HEX + std::string(63, '\t') + std::string(5000, 'z')), STATUS_OK);
}

TEST_F(KeyFileTest, AFileThatCannotBeOpenedIsNotFound) {
  EXPECT_EQ(load(dir.file("missing.key")), STATUS_NOT_FOUND);
  EXPECT_EQ(load(dir.file("no/such/dir/block.key")), STATUS_NOT_FOUND);

  test::write_text(path(), KEY_HEX + "\n");
  for (int err : {EACCES, EIO, EMFILE}) {
    test::FaultInjector faults;
    faults.only({FS_OP_OPEN});
    faults.fail_at(1, err);
    EXPECT_EQ(load(path()), STATUS_NOT_FOUND) << "errno " << err;
    EXPECT_TRUE(faults.fired());
  }
  EXPECT_EQ(key, std::vector<uint8_t>(CIPHER_KEY_SIZE, 0xAA));
}

TEST_F(KeyFileTest, AReadErrorOnlyShortensWhatWasRead) {
  test::write_text(path(), KEY_HEX + "\n");
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, EIO);
    EXPECT_EQ(load(path()), STATUS_INVALID);
  }
  {
    // Only a regular file is opened: a directory (or a FIFO, which would
    // block the open) cannot be the key file.
    EXPECT_EQ(load(dir.path()), STATUS_NOT_FOUND);
    const std::string fifo = dir.file("fifo.key");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(load(fifo), STATUS_NOT_FOUND);
  }
  {
    // A read that stops early: the first 40 bytes arrive, the next read fails.
    test::FaultInjector faults;
    faults.only({FS_OP_PREAD});
    faults.fail_at(1, 0, 40);
    int calls = 0;
    faults.fail_when([&](fs_op op, const char*) { return op == FS_OP_PREAD && ++calls == 2; }, EIO);
    EXPECT_EQ(load(path()), STATUS_INVALID);
  }
}

TEST_F(KeyFileTest, ShortReadsAreContinuedUntilTheEnd) {
  test::write_text(path(), KEY_HEX + "\r\n");
  test::FaultInjector faults;
  faults.only({FS_OP_PREAD});
  faults.fail_at(1, 0, 10);
  ASSERT_EQ(load(path()), STATUS_OK);
  EXPECT_TRUE(faults.fired());
  EXPECT_EQ(key, expected_key());
}

TEST_F(KeyFileTest, NoDescriptorIsLeftOpen) {
  test::write_text(path(), KEY_HEX + "\n");
  int before = test::open_fd_count();
  ASSERT_EQ(load(path()), STATUS_OK);
  test::write_text(path(), "short\n");
  ASSERT_EQ(load(path()), STATUS_INVALID);
  EXPECT_EQ(test::open_fd_count(), before);
}

}  // namespace
