#include "setup/encrypt_init.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "codec/key_file.h"
#include "support/test_util.h"

namespace {

using test::mode_of;
using test::umask_guard;

bool is_lower_hex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

class EncryptInitTest : public ::testing::Test {
 protected:
  status_t init(int32_t force = 0) {
    encrypt_init_request req;
    req.key_file = path_.c_str();
    req.force = force;
    key_out_[0] = '\0';
    return encrypt_init(req, key_out_, sizeof key_out_);
  }
  test::TempDir dir_;
  std::string path_ = dir_.file("zuv.key");
  char key_out_[65];
};

}  // namespace

TEST_F(EncryptInitTest, NewKeyFileIs64LowercaseHexDigitsAndANewlineForTheOwnerOnly) {
  {
    umask_guard open_umask(0);
    ASSERT_EQ(init(), STATUS_OK);
  }
  std::string key = key_out_;
  EXPECT_EQ(key.size(), 64u);
  EXPECT_TRUE(is_lower_hex(key)) << key;
  EXPECT_EQ(test::read_text(path_), key + "\n");
  EXPECT_EQ(mode_of(path_), 0600u);
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"zuv.key"}));
}

TEST_F(EncryptInitTest, KeyFileLoadsWithTheReaderToThePrintedKey) {
  ASSERT_EQ(init(), STATUS_OK);
  uint8_t key[CIPHER_KEY_SIZE];
  ASSERT_EQ(load_key_file(path_.c_str(), key), STATUS_OK);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : key) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  EXPECT_EQ(hex, std::string(key_out_));
}

TEST_F(EncryptInitTest, TwoRunsMakeDifferentKeys) {
  ASSERT_EQ(init(), STATUS_OK);
  std::string first = key_out_;
  ASSERT_EQ(init(1), STATUS_OK);
  EXPECT_NE(std::string(key_out_), first);
  EXPECT_EQ(test::read_text(path_), std::string(key_out_) + "\n");
}

TEST_F(EncryptInitTest, ExistingFileWithoutForceIsLeftAsItWas) {
  test::write_text(path_, "precious\n");
  EXPECT_EQ(init(), STATUS_EXISTS);
  EXPECT_EQ(test::read_text(path_), "precious\n");
  EXPECT_STREQ(key_out_, "");
}

TEST_F(EncryptInitTest, ForceReplacesAWorldReadableFileWithAnOwnerOnlyOne) {
  test::write_text(path_, "old\n");
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  ASSERT_EQ(init(1), STATUS_OK);
  EXPECT_EQ(test::read_text(path_), std::string(key_out_) + "\n");
  EXPECT_EQ(mode_of(path_), 0600u);
}

TEST_F(EncryptInitTest, SymbolicLinkAtThePathIsNeitherFollowedNorReplaced) {
  std::string target = dir_.file("target");
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  EXPECT_EQ(init(), STATUS_IO) << "a dangling link";
  EXPECT_EQ(init(1), STATUS_IO);
  EXPECT_FALSE(test::file_exists(target));

  test::write_text(target, "their file\n");
  EXPECT_EQ(init(), STATUS_EXISTS) << "an existing target without --force";
  EXPECT_EQ(init(1), STATUS_IO);
  EXPECT_EQ(test::read_text(target), "their file\n");
  char buf[256];
  ssize_t n = readlink(path_.c_str(), buf, sizeof buf);
  ASSERT_GT(n, 0) << "the link itself is still there";
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), target);
}

TEST_F(EncryptInitTest, MissingPathOrASmallKeyBufferIsInvalid) {
  encrypt_init_request req;
  char out[65];
  EXPECT_EQ(encrypt_init(req, out, sizeof out), STATUS_INVALID);
  req.key_file = path_.c_str();
  EXPECT_EQ(encrypt_init(req, out, 64), STATUS_INVALID);
  EXPECT_FALSE(test::file_exists(path_));
  path_ = dir_.file("no-such-dir/zuv.key");
  EXPECT_EQ(init(), STATUS_IO) << "a missing directory is an I/O error, not 'not found'";
}

TEST_F(EncryptInitTest, FailedWriteWithForceKeepsTheOldKey) {
  const std::string old_key = std::string(64, 'a') + "\n";
  test::write_text(path_, old_key);
  test::FaultInjector faults;
  faults.only({FS_OP_PWRITE});
  faults.fail_at(1, ENOSPC);
  EXPECT_EQ(init(1), STATUS_IO);
  EXPECT_TRUE(faults.fired());
  EXPECT_EQ(test::read_text(path_), old_key);
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"zuv.key"}));
}

// Whichever file system call fails, the path holds the old key or the whole
// new one, and no temporary file or descriptor is left behind.
TEST_F(EncryptInitTest, EveryFailedFileSystemCallLeavesTheOldKeyOrTheNewOne) {
  const std::string old_key = std::string(64, 'a') + "\n";
  int fds = test::open_fd_count();
  for (uint64_t n = 1;; n++) {
    test::write_text(path_, old_key);
    status_t s;
    bool fired;
    {
      test::FaultInjector faults;
      faults.fail_at(n, EIO);
      s = init(1);
      fired = faults.fired();
    }
    if (!fired) {
      ASSERT_EQ(s, STATUS_OK);
      ASSERT_GT(n, 5u);
      break;
    }
    std::string now = test::read_text(path_);
    if (s == STATUS_OK) {
      EXPECT_EQ(now, std::string(key_out_) + "\n") << "call " << n;
    } else {
      EXPECT_TRUE(now == old_key || (now.size() == 65 && now != old_key)) << "call " << n;
    }
    EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"zuv.key"})) << "call " << n;
    EXPECT_EQ(test::open_fd_count(), fds) << "call " << n;
  }
}
