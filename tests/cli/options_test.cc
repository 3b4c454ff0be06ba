#include "cli/options.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/log.h"
#include "cli/runlog.h"
#include "cli_test_util.h"

namespace {

using test::Args;

const char* value_of(std::vector<std::string> words, const char* name, const char* alias = nullptr,
                     const char* fallback = nullptr) {
  // The returned text points into the list, so the list must outlive it.
  static std::unique_ptr<Args> keep;
  keep = std::make_unique<Args>(std::move(words));
  return opt_value(keep->argc(), keep->argv(), name, alias, fallback);
}

TEST(OptValueTest, EqualsFormAndFollowingArgumentGiveTheSameValue) {
  EXPECT_STREQ(value_of({"recompress", "--meta=/a/b"}, "--meta"), "/a/b");
  EXPECT_STREQ(value_of({"recompress", "--meta", "/a/b"}, "--meta"), "/a/b");
  // An empty value after "=" is still a value: the option is present.
  EXPECT_STREQ(value_of({"recompress", "--meta="}, "--meta", nullptr, "dflt"), "");
}

TEST(OptValueTest, OptionAsLastArgumentGivesTheDefault) {
  EXPECT_EQ(value_of({"recompress", "--meta"}, "--meta"), nullptr);
  EXPECT_STREQ(value_of({"recompress", "--level"}, "--level", nullptr, "9"), "9");
  EXPECT_STREQ(value_of({}, "--level", nullptr, "9"), "9");
  EXPECT_STREQ(value_of({"--level", "3"}, nullptr, nullptr, "9"), "9");
}

TEST(OptValueTest, TakesTheNextArgumentWhateverItLooksLike) {
  EXPECT_STREQ(value_of({"recompress", "--level", "-5"}, "--level"), "-5");
  EXPECT_STREQ(value_of({"scrub", "--backup-dir", "--repair"}, "--backup-dir"), "--repair");
  // Values of other options and the sub-command are scanned too.
  EXPECT_STREQ(value_of({"--meta", "scrub", "x"}, "--meta"), "scrub");
}

TEST(OptValueTest, FirstOccurrenceWins) {
  EXPECT_STREQ(value_of({"prune", "--name", "a", "--name", "b"}, "--name"), "a");
  EXPECT_STREQ(value_of({"prune", "--name=a", "--name", "b"}, "--name"), "a");
  EXPECT_STREQ(value_of({"prune", "--name", "a", "--name=b"}, "--name"), "a");
}

TEST(OptValueTest, MatchesWholeWordsOnly) {
  EXPECT_EQ(value_of({"partials", "--dirx", "d"}, "--dir"), nullptr);
  EXPECT_EQ(value_of({"partials", "--dir-x=d", "--directory", "e"}, "--dir"), nullptr);
  EXPECT_EQ(value_of({"x", "--log-path", "/tmp/l"}, "--log"), nullptr);
  EXPECT_STREQ(value_of({"x", "--log-path", "/tmp/l", "--log", "3"}, "--log"), "3");
}

TEST(OptValueTest, AliasMatchesOnlyExactlyAndTakesTheNextArgument) {
  EXPECT_STREQ(value_of({"-k", "v"}, "--key", "-k"), "v");
  EXPECT_EQ(value_of({"-k=v"}, "--key", "-k"), nullptr);
  EXPECT_STREQ(value_of({"-k", "v"}, nullptr, "-k"), "v");
}

TEST(OptFlagTest, PresentOnlyWhenAnArgumentEqualsTheNameOrAlias) {
  Args a({"tls-init", "--force=1", "--forced", "-h"});
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--force", nullptr), 0);
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--help", "-h"), 1);
  Args b({"encrypt-init", "--force"});
  EXPECT_EQ(opt_flag(b.argc(), b.argv(), "--force", nullptr), 1);
  // Index 0, the program path, is never examined.
  Args c({});
  c.text[0] = "--force";
  c.ptrs[0] = c.text[0].data();
  EXPECT_EQ(opt_flag(c.argc(), c.argv(), "--force", nullptr), 0);
}

TEST(OptFindTest, RecognisesExactNamesValueFormsAndAliases) {
  const char* inl = "untouched";
  EXPECT_EQ(opt_find(nullptr, "--help", &inl), nullptr);
  EXPECT_STREQ(inl, "untouched");

  EXPECT_EQ(opt_find(COMMON_OPTIONS, "-h", &inl), &COMMON_OPTIONS[0]);
  EXPECT_EQ(inl, nullptr);
  EXPECT_EQ(opt_find(COMMON_OPTIONS, "--helpme", &inl), nullptr);

  inl = "untouched";
  EXPECT_EQ(opt_find(RUNLOG_OPTIONS, "--log", &inl), &RUNLOG_OPTIONS[3]);
  EXPECT_EQ(inl, nullptr);
  EXPECT_EQ(opt_find(RUNLOG_OPTIONS, "--log-path=/x", &inl), &RUNLOG_OPTIONS[4]);
  EXPECT_STREQ(inl, "/x");
}

TEST(OptFindTest, FlagWrittenWithAValueIsNotRecognisedNorTriedAsAlias) {
  const option_spec table[] = {{"--x", "--x=1", 0}, {nullptr, nullptr, 0}};
  const char* inl = nullptr;
  EXPECT_EQ(opt_find(table, "--x=1", &inl), nullptr);
  EXPECT_EQ(opt_find(COMMON_OPTIONS, "--help=yes", &inl), nullptr);
}

// Runs opt_validate over words with the partials table (the positional
// sub-command allowed) and returns the warnings with their time stamps
// stripped; count receives the result.
const option_spec PARTIALS_TABLE[] = {
    {"--dir", nullptr, 1}, {"--older-than", nullptr, 1}, {"--delete", nullptr, 0}, {}};

std::string validate(std::vector<std::string> words, int* count) {
  // The warnings name the program the log was set up for; set it here so the
  // test does not depend on which test ran before it in the same process.
  log_init("zuv_maintenance", LOG_INFO_LEVEL);
  Args a(std::move(words));
  std::string err =
      test::capture_stderr([&] { *count = opt_validate(a.argc(), a.argv(), PARTIALS_TABLE, 1); });
  return test::strip_log_times(err);
}

TEST(OptValidateTest, WarnsAboutEachUnexplainedArgumentInItsOwnWords) {
  struct Case {
    std::vector<std::string> args;
    int warnings;
    std::string err;
  } cases[] = {
      {{"partials", "--dir", "d", "--delete", "--older-than=3", "-h"}, 0, ""},
      {{"partials", "--dir", "d", "--bogus", "5"},
       1,
       "WARN  unknown option '--bogus' ignored (with the value after it)\n"},
      {{"partials", "--dir", "d", "--bogus", "--delete"},
       1,
       "WARN  unknown option '--bogus' ignored\n"},
      {{"partials", "--dir", "d", "extra"}, 1, "WARN  unexpected argument 'extra' ignored\n"},
      {{"partials", "-", "--dirx"},
       2,
       "WARN  unexpected argument '-' ignored\nWARN  unknown option '--dirx' ignored\n"},
      {{"partials", "--delete=yes", "--x=1=2"},
       2,
       "WARN  unknown option '--delete=...' ignored\nWARN  unknown option '--x=...' ignored\n"},
      // "--" ends validation; a value option at the end ends it as well.
      {{"partials", "--dir", "d", "--", "--anything", "x"}, 0, ""},
      {{"partials", "--bogus", "--dir"}, 1, "WARN  unknown option '--bogus' ignored\n"},
      // A value is taken whatever it looks like, so "--zzz" is not examined.
      {{"partials", "--dir", "--zzz", "--older-than", "-5"}, 0, ""},
      {{"--dir", "d"}, 0, ""},
      {{}, 0, ""},
  };
  for (const auto& c : cases) {
    int count = -1;
    EXPECT_EQ(validate(c.args, &count), c.err) << testing::PrintToString(c.args);
    EXPECT_EQ(count, c.warnings) << testing::PrintToString(c.args);
  }
}

TEST(OptValidateTest, RunLogOptionsAreUnknownUntilTheRunLogIsSetUp) {
  ASSERT_EQ(runlog_active(), 0) << "this process must never set up the run log";
  int count = -1;
  EXPECT_EQ(validate({"partials", "--no-log", "--syslog", "3"}, &count),
            "WARN  unknown option '--no-log' ignored\n"
            "WARN  unknown option '--syslog' ignored (with the value after it)\n");
  EXPECT_EQ(count, 2);
}

}  // namespace
