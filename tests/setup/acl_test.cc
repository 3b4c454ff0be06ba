#include "setup/acl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "codec/digest.h"
#include "setup/acl_file.h"
#include "support/limited_run.h"
#include "support/test_util.h"

namespace {

using test::mode_of;
using test::umask_guard;

bool is_lower_hex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::vector<acl_entry> parse(const std::string& text) {
  std::vector<acl_entry> entries;
  EXPECT_EQ(acl_parse_text(text.data(), text.size(), &entries), STATUS_OK) << text;
  return entries;
}

status_t parse_status(const std::string& text) {
  std::vector<acl_entry> entries;
  return acl_parse_text(text.data(), text.size(), &entries);
}

std::vector<std::string> patterns_of(const acl_entry& e) {
  return std::vector<std::string>(e.patterns, e.patterns + e.pattern_count);
}

bool digest_of(const acl_entry& e, const std::string& key) {
  uint8_t d[SHA256_SIZE];
  sha256_digest(key.data(), key.size(), d);
  return memcmp(d, e.key_sha256, SHA256_SIZE) == 0;
}

class AclAddTest : public ::testing::Test {
 protected:
  status_t add(const char* dirs, const char* key = nullptr) {
    acl_add_request req;
    req.acl_file = path_.c_str();
    req.dirs = dirs;
    req.key = key;
    key_out_[0] = '\0';
    return acl_add(req, key_out_, sizeof key_out_);
  }
  test::TempDir dir_;
  std::string path_ = dir_.file("acl");
  char key_out_[65];
};

}  // namespace

// ---- acl-add: what it writes ----

TEST_F(AclAddTest, GeneratedKeyIsPrintedAndWrittenWithTheDirListUnchanged) {
  ASSERT_EQ(add("zor/**,backups/x*"), STATUS_OK);
  std::string key = key_out_;
  EXPECT_EQ(key.size(), 64u);
  EXPECT_TRUE(is_lower_hex(key)) << key;
  EXPECT_EQ(test::read_text(path_), key + " zor/**,backups/x*\n");

  std::vector<acl_entry> entries;
  ASSERT_EQ(acl_parse_file(path_.c_str(), &entries), STATUS_OK);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(digest_of(entries[0], key));
  EXPECT_EQ(patterns_of(entries[0]), (std::vector<std::string>{"zor/**", "backups/x*"}));

  ASSERT_EQ(add("other"), STATUS_OK);
  EXPECT_NE(std::string(key_out_), key) << "two generated keys must differ";
}

TEST_F(AclAddTest, GivenKeyIsAppendedAgainAndOnlyItsFirstLineCounts) {
  ASSERT_EQ(add("first", "client-key"), STATUS_OK);
  EXPECT_STREQ(key_out_, "client-key");
  ASSERT_EQ(add("second", "client-key"), STATUS_OK);
  EXPECT_EQ(test::read_text(path_), "client-key first\nclient-key second\n");

  std::vector<acl_entry> entries;
  ASSERT_EQ(acl_parse_file(path_.c_str(), &entries), STATUS_OK);
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_TRUE(acl_allows(entries, "client-key", "first"));
  EXPECT_FALSE(acl_allows(entries, "client-key", "second"));
}

TEST_F(AclAddTest, KeyOf64CharactersIsTheLongestAccepted) {
  std::string k64(64, 'k');
  ASSERT_EQ(add("a", k64.c_str()), STATUS_OK);
  EXPECT_EQ(std::string(key_out_), k64);
  EXPECT_EQ(add("a", std::string(65, 'k').c_str()), STATUS_INVALID);
}

TEST_F(AclAddTest, CreatedFileIsOwnerOnlyAndAnExistingFileKeepsItsMode) {
  {
    umask_guard open_umask(0);
    ASSERT_EQ(add("a"), STATUS_OK);
  }
  EXPECT_EQ(mode_of(path_), 0600u);

  std::string shared = dir_.file("shared-acl");
  test::write_text(shared, "old-key x\n");
  ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
  path_ = shared;
  ASSERT_EQ(add("a", "new-key"), STATUS_OK);
  EXPECT_EQ(mode_of(shared), 0644u);
  EXPECT_EQ(test::read_text(shared), "old-key x\nnew-key a\n");
}

TEST_F(AclAddTest, PatternsAtTheServersLimitsAreAccepted) {
  std::string eight = "a1,a2,a3,a4,a5,a6,a7,a8";
  std::string long63 = "d/" + std::string(61, 'x');
  std::string spaced = "zor/*, backups/x*";  // the server trims blanks around a pattern
  for (const std::string& dirs :
       {eight, long63, spaced, std::string("a,,b,"), std::string("a=b"), std::string("[ab]?/*")}) {
    ASSERT_EQ(add(dirs.c_str(), "k"), STATUS_OK) << dirs;
  }
  std::vector<acl_entry> entries;
  ASSERT_EQ(acl_parse_file(path_.c_str(), &entries), STATUS_OK);
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].pattern_count, 8u);
  EXPECT_EQ(patterns_of(entries[1]), (std::vector<std::string>{long63}));
  EXPECT_EQ(patterns_of(entries[2]), (std::vector<std::string>{"zor/*", "backups/x*"}));
  EXPECT_EQ(patterns_of(entries[3]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(patterns_of(entries[4]), (std::vector<std::string>{"a=b"}));
}

// ---- acl-add: what it refuses, writing nothing ----

TEST_F(AclAddTest, UnsafeDirectoryPatternsAreRefused) {
  for (const char* dirs : {"/zor", "zor/", "zor//a", ".", "..", "a/./b", "a/../b", "a\\b",
                           "ok,../up", ",", ",,,", ""}) {
    EXPECT_EQ(add(dirs), STATUS_INVALID) << dirs;
    EXPECT_FALSE(test::file_exists(path_)) << dirs;
  }
}

TEST_F(AclAddTest, BadKeysAreRefused) {
  for (const char* key : {"", "a b", "a\tb", "a\nb", "a\rb",
                          "a\x01"
                          "b",
                          "a\x7f", "#key", ";key"}) {
    EXPECT_EQ(add("zor", key), STATUS_INVALID) << key;
    EXPECT_FALSE(test::file_exists(path_)) << key;
  }
}

// Each of these would make the server reject the whole file (locking every
// client out), read a different pattern than the one given, or read an
// entry the caller slipped in.
TEST_F(AclAddTest, DirListsTheServerWouldRejectOrChangeAreRefused) {
  std::string nine = "a1,a2,a3,a4,a5,a6,a7,a8,a9";
  std::string long64 = "d/" + std::string(62, 'x');
  std::string too_long(512, 'a');
  for (const std::string& dirs :
       {nine, long64, too_long, std::string("zor\nattacker-key **"), std::string("a\tb"),
        std::string("a\rb"), std::string("a\x1b"), std::string("#zor"), std::string(";zor"),
        std::string("zor, #note"), std::string("zor ;x"), std::string("a, ,b"), std::string(" /a"),
        std::string("a/ "), std::string("a='x"), std::string("a=\"x\"y")}) {
    EXPECT_EQ(add(dirs.c_str()), STATUS_INVALID) << dirs;
    EXPECT_FALSE(test::file_exists(path_)) << dirs;
  }
  EXPECT_EQ(add("'x", "k="), STATUS_INVALID);
  EXPECT_FALSE(test::file_exists(path_));
}

TEST_F(AclAddTest, MissingArgumentsOrASmallKeyBufferAreRefused) {
  acl_add_request req;
  char out[65];
  req.dirs = "a";
  EXPECT_EQ(acl_add(req, out, sizeof out), STATUS_INVALID);
  req.acl_file = path_.c_str();
  req.dirs = nullptr;
  EXPECT_EQ(acl_add(req, out, sizeof out), STATUS_INVALID);
  req.dirs = "a";
  EXPECT_EQ(acl_add(req, out, 64), STATUS_INVALID);
  EXPECT_FALSE(test::file_exists(path_));
}

// Every line acl-add accepts must come back from the server's reader as the
// entry that was meant; everything else must be refused with nothing written.
TEST_F(AclAddTest, EveryAcceptedLineReadsBackAsTheEntryMeant) {
  const std::string alphabet = "ab/,,, *?[]#;='\"\\.\t-";
  std::mt19937 rng(12345);
  int accepted = 0;
  for (int round = 0; round < 800; round++) {
    std::string dirs;
    size_t len = 1 + rng() % 14;
    for (size_t i = 0; i < len; i++) dirs += alphabet[rng() % alphabet.size()];
    std::string key = "k";
    if (rng() % 4 == 0) key += alphabet[rng() % alphabet.size()];
    (void)remove(path_.c_str());
    status_t s = add(dirs.c_str(), key.c_str());
    if (s != STATUS_OK) {
      ASSERT_EQ(s, STATUS_INVALID);
      ASSERT_FALSE(test::file_exists(path_)) << dirs;
      continue;
    }
    accepted++;
    std::vector<std::string> meant;
    size_t pos = 0;
    while (pos <= dirs.size()) {
      size_t comma = dirs.find(',', pos);
      if (comma == std::string::npos) comma = dirs.size();
      std::string piece = dirs.substr(pos, comma - pos);
      pos = comma + 1;
      if (piece.empty()) continue;
      size_t b = piece.find_first_not_of(' '), e = piece.find_last_not_of(' ');
      meant.push_back(piece.substr(b, e - b + 1));
    }
    std::vector<acl_entry> entries;
    ASSERT_EQ(acl_parse_file(path_.c_str(), &entries), STATUS_OK)
        << "[" << key << " " << dirs << "]";
    ASSERT_EQ(entries.size(), 1u) << dirs;
    EXPECT_TRUE(digest_of(entries[0], key)) << "[" << key << " " << dirs << "]";
    EXPECT_EQ(patterns_of(entries[0]), meant) << "[" << key << " " << dirs << "]";
  }
  EXPECT_GT(accepted, 100) << "the generator should produce acceptable lists too";
}

// ---- acl-add: failures leave the file as it was ----

TEST_F(AclAddTest, FailedWriteLeavesAnExistingFileAsItWas) {
  test::write_text(path_, "old-key x\n");
  int fds = test::open_fd_count();
  {
    test::FaultInjector faults;
    faults.only({FS_OP_PWRITE});
    faults.fail_at(1, ENOSPC);
    EXPECT_EQ(add("a", "new-key"), STATUS_IO);
    EXPECT_TRUE(faults.fired());
  }
  EXPECT_EQ(test::read_text(path_), "old-key x\n");
  EXPECT_EQ(test::open_fd_count(), fds);
}

namespace {
// First write moves 5 bytes, the next fails: a partial line on disk.
fs_fault short_then_fail(fs_op op, const char*, void* ctx) {
  fs_fault f;
  if (op != FS_OP_PWRITE) return f;
  int& calls = *static_cast<int*>(ctx);
  if (++calls == 1)
    f.max_len = 5;
  else
    f.err = ENOSPC;
  return f;
}
}  // namespace

TEST_F(AclAddTest, PartialLineOfAFailedWriteIsCutBack) {
  test::write_text(path_, "old-key x\n");
  int calls = 0;
  fs_set_fault_hook(&short_then_fail, &calls);
  status_t s = add("a", "new-key");
  fs_set_fault_hook(nullptr, nullptr);
  EXPECT_EQ(s, STATUS_IO);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(test::read_text(path_), "old-key x\n");
}

TEST_F(AclAddTest, FailuresWhileCreatingLeaveNoFileAndReportIoError) {
  for (fs_op op : {FS_OP_FCHMOD, FS_OP_PWRITE, FS_OP_FSYNC}) {
    test::FaultInjector faults;
    faults.only({op});
    faults.fail_at(1, EIO);
    EXPECT_EQ(add("a"), STATUS_IO) << op;
    EXPECT_FALSE(test::file_exists(path_)) << op;
  }
  path_ = dir_.file("no-such-dir/acl");
  EXPECT_EQ(add("a"), STATUS_IO) << "a missing directory is an I/O error, not 'not found'";
}

TEST_F(AclAddTest, DanglingLinkAtThePathIsNotFollowed) {
  std::string target = dir_.file("elsewhere");
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  EXPECT_EQ(add("a"), STATUS_IO);
  EXPECT_FALSE(test::file_exists(target));
}

// ---- acl-add on an existing file, run as an operator runs it ----

namespace {

const char* const REFUSED =
    "is not a regular file that only its owner can write; refusing to add a key to it";

test::RunResult acl_add_run(const std::string& acl, const std::string& dirs,
                            const std::string& key) {
  return test::run_zuv_limited({"acl-add", "--acl-file", acl, "--dir", dirs, "--key", key});
}

}  // namespace

// A last line without its line feed must stay the entry it was: joined to
// the new line it would grant the old key the new patterns (and deny the new
// key), push the entry past 8 patterns (the server then rejects the whole
// file), or vanish into a comment.
TEST(AclAddRunTest, UnterminatedLastLineStaysItsOwnEntry) {
  test::TempDir dir;
  const std::string acl = dir.file("acl");
  const std::string eight = "alicekey a1,a2,a3,a4,a5,a6,a7,a8";
  for (const std::string& before :
       {std::string("alicekey projA"), eight, std::string("alicekey projA\n# note"),
        std::string("alicekey projA\n"), std::string("")}) {
    test::write_text(acl, before);
    ASSERT_EQ(chmod(acl.c_str(), 0600), 0);
    auto r = acl_add_run(acl, "projB,**", "bobkey");
    ASSERT_EQ(r.exit_status, 0) << before << "\n" << r.err;
    EXPECT_EQ(r.out, "added to " + acl + ": key=bobkey dirs=projB,**\n");
    bool terminated = before.empty() || before.back() == '\n';
    EXPECT_EQ(test::read_text(acl), before + (terminated ? "" : "\n") + "bobkey projB,**\n")
        << before;

    std::vector<acl_entry> entries;
    ASSERT_EQ(acl_parse_file(acl.c_str(), &entries), STATUS_OK) << before;
    EXPECT_TRUE(acl_allows(entries, "bobkey", "projB")) << before;
    EXPECT_TRUE(acl_allows(entries, "bobkey", "any/thing")) << before;
    if (!before.empty()) {
      EXPECT_FALSE(acl_allows(entries, "alicekey", "projB")) << before;
      EXPECT_FALSE(acl_allows(entries, "alicekey", "any/thing")) << before;
    }
  }
}

// Whatever is at the path must be a regular file only its owner can write:
// a FIFO would hang the run, a device or directory swallow the key, and a
// file others can write is one anyone could have put there (or can add
// their own key to). Each is refused at once with nothing written.
TEST(AclAddRunTest, OnlyARegularFileNoOneElseCanWriteGetsTheKey) {
  test::TempDir dir;
  const std::string fifo = dir.file("fifo"), sub = dir.file("sub"), link = dir.file("link");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  for (const std::string& path : {fifo, sub, link}) {
    auto r = acl_add_run(path, "projB", "bobkey");
    EXPECT_EQ(r.exit_status, 1) << path << " (124: the run hung)";
    EXPECT_NE(r.err.find(path + " " + REFUSED), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("acl-add failed: invalid argument or request (status=-3)"),
              std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  const std::string acl = dir.file("acl");
  for (mode_t mode : {0620, 0602, 0666, 0660}) {
    test::write_text(acl, "alicekey projA\n");
    ASSERT_EQ(chmod(acl.c_str(), mode), 0);
    auto r = acl_add_run(acl, "projB", "bobkey");
    EXPECT_EQ(r.exit_status, 1) << std::oct << mode;
    EXPECT_NE(r.err.find(REFUSED), std::string::npos) << r.err;
    EXPECT_EQ(test::read_text(acl), "alicekey projA\n") << std::oct << mode;
  }

  // Readable by others: operators may rely on it, so the line goes in, with
  // a warning that says what is exposed and how to fix it.
  ASSERT_EQ(chmod(acl.c_str(), 0644), 0);
  auto r = acl_add_run(acl, "projB", "bobkey");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(test::strip_log_times(r.err),
            "WARN  " + acl +
                " is readable by others and holds keys in clear text (chmod 600, or 640 with the "
                "storage server's group)\n");
  EXPECT_EQ(test::read_text(acl), "alicekey projA\nbobkey projB\n");
  ASSERT_EQ(chmod(acl.c_str(), 0640), 0);
  r = acl_add_run(acl, "projC", "carolkey");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "") << "group-readable is the intended set-up";

  // Through a link: followed, as the server follows it.
  const std::string via = dir.file("via");
  ASSERT_EQ(symlink(acl.c_str(), via.c_str()), 0);
  EXPECT_EQ(acl_add_run(via, "projD", "dankey").exit_status, 0);
  EXPECT_NE(test::read_text(acl).find("dankey projD\n"), std::string::npos);
}

// A second local user prepares the ACL file in a shared directory (as the
// default umask of such a user leaves it, writable by all): the operator's
// key must not land where that user can read it or swap the file.
TEST(AclAddRunTest, FileAnotherUserLeftWritableGetsNoKey) {
  if (!test::can_act_as_other_user()) GTEST_SKIP() << "needs root and setpriv";
  test::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string shared = dir.file("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const std::string acl = shared + "/acl";
  auto made =
      test::run_as_other_user("umask 000; printf 'alicekey projA\\n' > " + test::shell_quote(acl));
  ASSERT_EQ(made.exit_status, 0) << made.err;
  struct stat st;
  ASSERT_EQ(stat(acl.c_str(), &st), 0);
  ASSERT_EQ(st.st_uid, test::OTHER_UID);

  auto r = acl_add_run(acl, "projB", "secret-operator-key");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find(acl + " " + REFUSED), std::string::npos) << r.err;
  auto seen = test::run_as_other_user("cat " + test::shell_quote(acl));
  EXPECT_EQ(seen.out, "alicekey projA\n");
}

namespace {
// At the first stat after the file was opened, another file takes its
// place at the path (a bigger one); the write then fails.
struct swap_then_fail {
  std::string path, moved;
  bool swapped = false;
};
fs_fault swap_at_stat_then_fail_write(fs_op op, const char*, void* ctx) {
  auto& s = *static_cast<swap_then_fail*>(ctx);
  fs_fault f;
  if (op == FS_OP_STAT && !s.swapped) {
    s.swapped = true;
    EXPECT_EQ(rename(s.path.c_str(), s.moved.c_str()), 0);
    test::write_text(s.path, std::string(300, 'x') + "\n");
  }
  if (op == FS_OP_PWRITE) f.err = ENOSPC;
  return f;
}
}  // namespace

// The size a failed write is cut back to is the size of the file that was
// opened, not of whatever the path names by then: the opened file is left
// exactly as it was, and the one now at the path is not touched.
TEST_F(AclAddTest, FailedWriteCutsBackTheFileThatWasOpened) {
  test::write_text(path_, "alicekey projA\n");
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  swap_then_fail ctx{path_, dir_.file("moved"), false};
  fs_set_fault_hook(&swap_at_stat_then_fail_write, &ctx);
  status_t s = add("projB", "bobkey");
  fs_set_fault_hook(nullptr, nullptr);
  EXPECT_EQ(s, STATUS_IO);
  ASSERT_TRUE(ctx.swapped);
  EXPECT_EQ(test::read_text(dir_.file("moved")), "alicekey projA\n");
  EXPECT_EQ(test::read_text(path_), std::string(300, 'x') + "\n");
}

// ---- dir_path_is_safe ----

TEST(AclDirPathTest, SafeMeansRelativeWithoutEmptyDotOrBackslashComponents) {
  for (const char* ok : {"a", "zor/**", "a/b/c", "x*", "[ab]?", ".hidden", "a..b", "...", "a b"})
    EXPECT_EQ(dir_path_is_safe(ok), 1) << ok;
  for (const char* bad :
       {"", "/", "/a", "a/", "a//b", ".", "..", "a/.", "./a", "a/../b", "a\\b", "\\"})
    EXPECT_EQ(dir_path_is_safe(bad), 0) << bad;
  EXPECT_EQ(dir_path_is_safe(nullptr), 0);
}

// ---- the server's reading of the file ----

TEST(AclFileTest, CommentsBlankLinesAndLineEndsAreSkipped) {
  auto e = parse(
      "# a comment line\n"
      "; another\n"
      "\n"
      "   \t\n"
      "key1 a,b # note\n"
      "  key2\t\t c ;x\r\n"
      "key3 d#e,f;g\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_TRUE(digest_of(e[0], "key1"));
  EXPECT_EQ(patterns_of(e[0]), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(digest_of(e[1], "key2"));
  EXPECT_EQ(patterns_of(e[1]), (std::vector<std::string>{"c"}));
  EXPECT_EQ(patterns_of(e[2]), (std::vector<std::string>{"d#e", "f;g"}));
}

TEST(AclFileTest, PiecesAreTrimmedAndLongPatternsCut) {
  std::string p70(70, 'p');
  auto e = parse("k  a , b,,\t" + p70 + " \n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(patterns_of(e[0]), (std::vector<std::string>{"a", "b", std::string(63, 'p')}));
}

TEST(AclFileTest, OneBadLineMakesTheWholeFileInvalid) {
  std::vector<acl_entry> entries(1);
  for (const std::string& bad :
       {std::string("good a\nkey-only\n"), std::string("good a\nk a,b,c,d,e,f,g,h,i\n"),
        std::string("k a, ,b\n"), std::string("k /a\n"), std::string("k a/../b\n"),
        std::string("k ,,,\n"), std::string("k #only-a-comment\n"), std::string("k a=\"x\n"),
        std::string("k a='x'y\n")}) {
    EXPECT_EQ(acl_parse_text(bad.data(), bad.size(), &entries), STATUS_INVALID) << bad;
    EXPECT_EQ(entries.size(), 1u) << "entries are left untouched on failure";
  }
}

TEST(AclFileTest, QuotedValuesFollowTheirOwnCommentRule) {
  size_t n = 0;
  auto strip = [&](const std::string& line) {
    n = 999;
    status_t s = acl_strip_comment(line.data(), line.size(), &n);
    return s == STATUS_OK ? line.substr(0, n) : std::string("<rejected>");
  };
  EXPECT_EQ(strip("k a=b #c"), "k a=b ");
  EXPECT_EQ(strip("k a=b#c"), "k a=b#c");
  EXPECT_EQ(strip("k a= \"x #y\" ;z"), "k a= \"x #y\" ");
  EXPECT_EQ(strip("k a=\"x\"#z"), "k a=\"x\"");
  EXPECT_EQ(strip("k a=\"x\\\"y\"\r\n"), "k a=\"x\\\"y\"");
  EXPECT_EQ(strip("k a='x\\'"), "k a='x\\'");
  EXPECT_EQ(strip("k a=\"x\\\""), "<rejected>");
  EXPECT_EQ(strip("k a='x' y"), "<rejected>");
  EXPECT_EQ(strip("#k a"), "");
  EXPECT_EQ(strip("k=#v"), "k=#v");
}

TEST(AclFileTest, LinesAreReadInPiecesOf1023Characters) {
  // The first piece ends inside the blanks; the rest of the line is read as a
  // line of its own.
  std::string text = "k1 x" + std::string(1019, ' ') + "k2 y\n";
  auto e = parse(text);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_TRUE(digest_of(e[0], "k1"));
  EXPECT_TRUE(digest_of(e[1], "k2"));
  EXPECT_EQ(patterns_of(e[1]), (std::vector<std::string>{"y"}));
  // A NUL ends what the reader sees of its piece.
  auto n = parse(std::string("k a\0garbage\nk2 b\n", 17));
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(patterns_of(n[0]), (std::vector<std::string>{"a"}));
}

TEST(AclFileTest, MissingFileIsNotFound) {
  test::TempDir dir;
  std::vector<acl_entry> entries;
  EXPECT_EQ(acl_parse_file(dir.file("none").c_str(), &entries), STATUS_NOT_FOUND);
  EXPECT_EQ(parse_status(""), STATUS_OK);
}

// ---- the server's matching ----

TEST(AclMatchTest, GlobsNeverCrossASlashAndDoubleStarNeedsADeeperPath) {
  EXPECT_TRUE(acl_pattern_matches("zor*", "zor1"));
  EXPECT_FALSE(acl_pattern_matches("zor*", "zor1/x"));
  EXPECT_TRUE(acl_pattern_matches("zor/*", "zor/a"));
  EXPECT_FALSE(acl_pattern_matches("zor/*", "zor/a/b"));
  EXPECT_TRUE(acl_pattern_matches("zor/**", "zor/a"));
  EXPECT_TRUE(acl_pattern_matches("zor/**", "zor/a/b"));
  EXPECT_FALSE(acl_pattern_matches("zor/**", "zor"));
  EXPECT_FALSE(acl_pattern_matches("zor/**", "zorro/a"));
  EXPECT_TRUE(acl_pattern_matches("z?r/b*/**", "zar/backups/x/y"));
  EXPECT_FALSE(acl_pattern_matches("z?r/b*/**", "zar/other/x"));
  EXPECT_TRUE(acl_pattern_matches("**", "any/depth/at/all"));
  EXPECT_FALSE(acl_pattern_matches("zor**", "zor/a")) << "no '/' before '**': a plain glob";
  EXPECT_TRUE(acl_pattern_matches("[ab]x", "bx"));
  EXPECT_TRUE(acl_pattern_matches("a\\*", "a*"));
  EXPECT_FALSE(acl_pattern_matches("a\\*", "ab"));
}

TEST(AclMatchTest, ComponentsLongerThan63NeverMatchUnderDoubleStar) {
  std::string c63(63, 'c'), c64(64, 'c');
  EXPECT_TRUE(acl_pattern_matches("*/**", (c63 + "/x").c_str()));
  EXPECT_FALSE(acl_pattern_matches("*/**", (c64 + "/x").c_str()));
  EXPECT_TRUE(acl_pattern_matches("a/**", ("a/" + c64).c_str())) << "only P's components count";
}

TEST(AclMatchTest, FirstEntryOfAKeyDecidesAndUnsafeDirectoriesAreRefused) {
  auto e = parse("alice zor/**\nbob **\nalice other\n");
  EXPECT_TRUE(acl_allows(e, "alice", "zor/a"));
  EXPECT_FALSE(acl_allows(e, "alice", "other"));
  EXPECT_FALSE(acl_allows(e, "carol", "zor/a"));
  EXPECT_FALSE(acl_allows(e, "ali", "zor/a"));
  EXPECT_TRUE(acl_allows(e, "bob", "x/y"));
  EXPECT_FALSE(acl_allows(e, "bob", "x/../y"));
  EXPECT_FALSE(acl_allows(e, "bob", ""));
  EXPECT_FALSE(acl_allows(e, "bob", "/abs"));
}
