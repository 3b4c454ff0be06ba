// The program as its users meet it: spawned with arguments, judged by its
// standard output, standard error and exit status.
#include <gtest/gtest.h>

#include <regex>

#include "base/status.h"
#include "cli_test_util.h"
#include "support/header_only_backup.h"
#include "support/journal_fixture.h"

namespace {

using test::run_zuv;
using test::strip_log_times;

const std::string& usage_text() {
  static const std::string text = test::read_text(ZUV_SOURCE_DIR "/tests/cli/data/usage.txt");
  return text;
}

std::string describe(const std::vector<std::string>& args) {
  return testing::PrintToString(args);
}

TEST(AppTest, UsageTextIsByteExact) {
  auto r = run_zuv({"--help"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, usage_text());
  EXPECT_EQ(r.err, "");
  // Guards the golden copy itself: in the "Logging:" block the descriptions
  // start in column 37 for the first two options and 38 for the others.
  auto lines = test::lines_of(usage_text());
  ASSERT_GE(lines.size(), 6u);
  const std::pair<const char*, size_t> starts[] = {{"syslog output", 37},
                                                   {"the program's", 37},
                                                   {"what to log to syslog", 38},
                                                   {"what to log to the own", 38},
                                                   {"directory for", 38}};
  for (size_t i = 0; i < 5; i++) {
    const std::string& l = lines[lines.size() - 6 + i];
    EXPECT_EQ(l.find(starts[i].first) + 1, starts[i].second) << l;
  }
  EXPECT_NE(usage_text().find("may be a comma-\nseparated list"), std::string::npos);
}

TEST(AppTest, HelpAnywhereWinsOverEverythingButVersion) {
  for (std::vector<std::string> args : {std::vector<std::string>{"scrub", "--help"},
                                        {"bogus", "-h", "--bogus"},
                                        {"scrub", "--backup-dir", "d", "--help"},
                                        {"-h"}}) {
    auto r = run_zuv(args);
    EXPECT_EQ(r.exit_status, 0) << describe(args);
    EXPECT_EQ(r.out, usage_text()) << describe(args);
    EXPECT_EQ(r.err, "") << describe(args);
  }
}

TEST(AppTest, VersionAnywherePrintsOnlyTheVersionLine) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--version", "scrub"},
                                        {"scrub", "--version"},
                                        {"--selftest", "--version", "--help"}}) {
    auto r = test::run(test::program_path(), args);  // no logging options needed
    EXPECT_EQ(r.exit_status, 0) << describe(args);
    EXPECT_EQ(r.out, "zuv_maintenance 1.0.2-alpha028\n") << describe(args);
    EXPECT_EQ(r.err, "") << describe(args);
  }
}

// Every way to get the usage text with exit status 2; the operation is
// never called (a call would end in a failure line on standard error).
TEST(AppTest, UsageErrorsPrintTheUsageTextAndExitTwo) {
  std::vector<std::vector<std::string>> cases = {
      {"bogus", "--bogus-option", "v"},
      {"SCRUB", "--backup-dir", "d"},
      {"synthetic-full", "--search-dir", "s", "--out", "o", "--name", "n"},
      {"synthetic-full", "--target", "t", "--out", "o", "--name", "n"},
      {"synthetic-full", "--target", "t", "--search-dir", "s", "--name", "n"},
      {"synthetic-full", "--target", "t", "--search-dir", "s", "--out", "o"},
      {"recompress", "--to", "lz4", "--level", "3"},
      {"recompress", "--meta"},
      {"scrub", "--repair"},
      {"delete", "--meta", "m"},
      {"delete", "--search-dir", "s", "--dry-run"},
      {"prune", "--name", "n", "--now", "1700000000"},
      {"partials", "--delete", "--older-than", "3"},
      {"acl-add", "--acl-file", "a"},
      {"acl-add", "--dir", "d", "--key", "k"},
      {"tls-init", "--cert", "c"},
      {"tls-init", "--key", "k", "--force"},
      {"encrypt-init", "--force"},
      {"run-loop", "--poll-interval", "5"},
  };
  for (const auto& args : cases) {
    auto r = run_zuv(args);
    EXPECT_EQ(r.exit_status, 2) << describe(args);
    EXPECT_EQ(r.out, usage_text()) << describe(args);
    // An unknown sub-command draws no warning about the options after it.
    EXPECT_EQ(r.err, "") << describe(args);
  }
}

TEST(AppTest, OptionWarningsDoNotStopTheCommand) {
  auto r = run_zuv({"delete", "--meta", "m", "--dry-run=yes", "x", "--bogus", "v", "--search-dir"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(strip_log_times(r.err),
            "WARN  unknown option '--dry-run=...' ignored\n"
            "WARN  unexpected argument 'x' ignored\n"
            "WARN  unknown option '--bogus' ignored (with the value after it)\n");
  r = run_zuv({"scrub", "--backup-dir", "d", "--", "--anything", "else"});
  EXPECT_EQ(strip_log_times(r.err).find("WARN"), std::string::npos) << r.err;
}

// A removal runs only on exactly what was typed: "--dry-run=yes" or
// "--dryrun" would otherwise be warned about and the removal done for real.
// The warning stays as it was; then the usage text, exit status 2, and
// nothing opened. Other commands only warn.
TEST(AppTest, RemovalsRefuseArgumentsNoTableExplains) {
  test::TempDir dir;
  const std::string meta = dir.file("old.infb");
  test::disk_backup old =
      test::write_backup(dir.path(), {.stem = "old", .id = 1, .created = 10, .retain_until = 20});
  test::write_backup(dir.path(), {.stem = "new", .id = 2, .created = 30, .retain_until = 20});
  journal_fixture::Journal j;
  j.commit(0, 1);
  j.write(dir.file("up.part"));
  test::write_text(dir.file("up.csfb.tmp"), "partial");
  const test::Snapshot before = test::snapshot(dir.path());

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"prune", "--search-dir", dir.path(), "--now", "100", "--dry-run=yes"},
       "WARN  unknown option '--dry-run=...' ignored\n"},
      {{"prune", "--search-dir", dir.path(), "--dryrun"},
       "WARN  unknown option '--dryrun' ignored\n"},
      {{"prune", "--search-dir", dir.path(), "dry-run"},
       "WARN  unexpected argument 'dry-run' ignored\n"},
      {{"delete", "--meta", meta, "--search-dir", dir.path(), "--dry-run=yes"},
       "WARN  unknown option '--dry-run=...' ignored\n"},
      {{"delete", "--meta", meta, "--dryrun", "--search-dir", dir.path()},
       "WARN  unknown option '--dryrun' ignored\n"},
      {{"partials", "--dir", dir.path(), "--delete", "--older-then", "0"},
       "WARN  unknown option '--older-then' ignored (with the value after it)\n"},
  };
  for (const auto& [args, warning] : cases) {
    auto r = run_zuv(args);
    EXPECT_EQ(r.exit_status, 2) << describe(args);
    EXPECT_EQ(r.out, usage_text()) << describe(args);
    EXPECT_EQ(strip_log_times(r.err), warning) << describe(args);
    EXPECT_EQ(test::snapshot(dir.path()), before) << describe(args);
  }
  EXPECT_TRUE(test::intact(old));

  // Commands that remove nothing keep warning and going on.
  auto r = run_zuv({"partials", "--dir", dir.path(), "--older-then", "0"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  r = run_zuv({"scrub", "--backup-dir", dir.path(), "--bogus"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(strip_log_times(r.err).rfind("WARN  unknown option '--bogus' ignored\n", 0), 0u)
      << r.err;
}

TEST(AppTest, InvalidNowIsAnErrorBeforeTheDirectoryIsAskedFor) {
  for (std::string now : {"0", "-5", "12x", "abc", "", " "}) {
    for (bool with_dir : {false, true}) {
      std::vector<std::string> args = {"prune", "--now=" + now};
      if (with_dir) args.insert(args.end(), {"--search-dir", "/nonexistent"});
      auto r = run_zuv(args);
      EXPECT_EQ(r.exit_status, 2) << describe(args);
      EXPECT_EQ(r.out, "") << describe(args);
      EXPECT_EQ(r.err, "error: --now must be unix seconds\n") << describe(args);
    }
  }
  auto r = run_zuv({"prune", "--now", "1700000000"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, usage_text());
}

TEST(AppTest, OlderThanMustBeAWholeNumberOfDays) {
  test::TempDir dir;
  std::vector<std::vector<std::string>> bad = {
      {"--older-than", "abc"}, {"--older-than", "5x"},    {"--older-than="},
      {"--older-than", "1.5"}, {"--older-than"},  // its value forgotten at the end
      {"--older-than", "-1"},  {"--older-than", "36501"}, {"--older-than", "99999999999999999999"},
  };
  for (auto args : bad) {
    for (bool with_dir : {false, true}) {
      std::vector<std::string> all = {"partials", "--delete"};
      if (with_dir) all.insert(all.end(), {"--dir", dir.path()});
      all.insert(all.end(), args.begin(), args.end());
      auto r = run_zuv(all);
      EXPECT_EQ(r.exit_status, 2) << describe(all);
      EXPECT_EQ(r.out, "") << describe(all);
      EXPECT_NE(r.err.find("error: --older-than must be a whole number of days\n"),
                std::string::npos)
          << describe(all);
    }
  }
  for (std::string days : {"7", "0", "36500", "+3"}) {
    auto r = run_zuv({"partials", "--dir", dir.path(), "--older-than", days});
    EXPECT_NE(r.exit_status, 2) << days;
    EXPECT_EQ(r.err.find("--older-than must be"), std::string::npos) << days;
  }
}

TEST(AppTest, ThreadsMustBeAWholeNumberFromOneUp) {
  test::TempDir store;
  const std::vector<std::vector<std::string>> commands = {
      {"scrub", "--backup-dir", store.path()},
      {"run-loop", "--backup-dir", store.path(), "--poll-interval", "1"},
      {"recompress", "--meta", store.file("none.infb")},
      {"scrub"},  // refused before the missing --backup-dir is noticed
  };
  const std::vector<std::vector<std::string>> bad = {
      {"--threads", "0"},   {"--threads", "-2"}, {"--threads", "two"}, {"--threads", "2x"},
      {"--threads", "1.5"}, {"--threads="},      {"--threads"},
  };
  for (const auto& command : commands) {
    for (const auto& threads : bad) {
      std::vector<std::string> all = command;
      all.insert(all.end(), threads.begin(), threads.end());
      auto r = run_zuv(all);
      EXPECT_EQ(r.exit_status, 2) << describe(all);
      EXPECT_EQ(r.out, "") << describe(all);
      EXPECT_EQ(r.err, "error: --threads must be a whole number from 1 up\n") << describe(all);
    }
  }
  EXPECT_TRUE(test::list_dir(store.path()).empty()) << "something was opened or written";
  for (std::string n : {"1", "3", "+2", "1000"}) {
    auto r = run_zuv({"scrub", "--backup-dir", store.path(), "--threads", n});
    EXPECT_EQ(r.exit_status, 0) << n << r.err;
  }
}

TEST(AppTest, UnknownToIsWarnedAboutBeforeTheUsageText) {
  for (std::string to : {"LZ4", "gzip", ""}) {
    auto r = run_zuv({"recompress", "--to", to});
    EXPECT_EQ(r.exit_status, 2) << to;
    EXPECT_EQ(r.out, usage_text()) << to;
    EXPECT_EQ(strip_log_times(r.err), "WARN  --to '" + to + "' unknown, using zstd\n") << to;
  }
  for (std::string to : {"lz4", "zstd"}) {
    auto r = run_zuv({"recompress", "--to", to});
    EXPECT_EQ(r.err, "") << to;
  }
}

// A failed operation ends in exactly one failure line, whose message is the
// one of its status, and exit status 1 (never the status itself). The paths
// name nothing that exists, so each operation fails whichever way it does.
TEST(AppTest, FailedOperationEndsWithOneFailureLineAndExitOne) {
  test::TempDir dir;
  std::string none = dir.file("none");
  std::string inside = none + "/f";
  std::string plain_file = dir.file("plain");
  test::write_file(plain_file, std::vector<uint8_t>{1, 2, 3});
  std::vector<std::vector<std::string>> cases = {
      {"synthetic-full", "--target", inside, "--search-dir", none, "--out", none, "--name", "n"},
      {"recompress", "--meta", inside},
      {"scrub", "--backup-dir", none},
      {"delete", "--meta", inside, "--search-dir", none},
      // A missing search directory is an empty catalog for prune; a file is not.
      {"prune", "--search-dir", plain_file},
      {"acl-add", "--acl-file", inside, "--dir", "../escape"},
      {"tls-init", "--cert", inside, "--key", none + "/k"},
      {"encrypt-init", "--key-file", inside},
  };
  static const std::regex failure(R"(ERROR zuv_maintenance (\S+) failed: (.+) \(status=(-\d+)\))");
  for (const auto& args : cases) {
    auto r = run_zuv(args);
    EXPECT_EQ(r.exit_status, 1) << describe(args);
    EXPECT_EQ(r.out, "") << describe(args);
    auto lines = test::lines_of(strip_log_times(r.err));
    ASSERT_FALSE(lines.empty()) << describe(args);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines.back(), m, failure)) << r.err;
    EXPECT_EQ(m[1], args[0]);
    EXPECT_EQ(m[2], status_message(std::stoi(m[3]))) << r.err;
    EXPECT_EQ(r.err.find("already exists (use --force"), std::string::npos) << r.err;
  }
}

// The set-up commands report success and "already exists" themselves. These
// checks wait for the operations to be built.
bool not_built(const test::RunResult& r) {
  return r.err.find("(status=-6)") != std::string::npos;
}

TEST(AppTest, SetUpCommandsReportWhatTheyWrote) {
  test::TempDir dir;
  std::string key_file = dir.file("block.key");
  auto r = run_zuv({"encrypt-init", "--key-file", key_file});
  if (not_built(r)) GTEST_SKIP() << "encrypt-init is not built yet";
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::string key = test::read_text(key_file).substr(0, 64);
  EXPECT_EQ(r.out, "wrote a new encryption key to " + key_file +
                       " -- note it now, it cannot be shown again:\n" + key +
                       "\ncopy the file itself (not just this printout) to every machine that "
                       "needs it.\n");
  r = run_zuv({"encrypt-init", "--key-file", key_file});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(strip_log_times(r.err),
            "error: " + key_file + " already exists (use --force to overwrite)\n" +
                "ERROR zuv_maintenance encrypt-init failed: already exists (status=-5)\n");

  r = run_zuv({"acl-add", "--acl-file", dir.file("acl"), "--dir", "zor*,b/**", "--key", "k1"});
  if (!not_built(r)) {
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "added to " + dir.file("acl") + ": key=k1 dirs=zor*,b/**\n");
  }
}

TEST(AppTest, TlsInitRefusesExistingFilesNamingBoth) {
  test::TempDir dir;
  std::string cert = dir.file("c.pem"), key = dir.file("k.pem");
  auto r = run_zuv({"tls-init", "--cert", cert, "--key", key, "--days", "1"});
  if (not_built(r)) GTEST_SKIP() << "tls-init is not built yet";
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "wrote certificate to " + cert + " and private key to " + key + "\n");
  r = run_zuv({"tls-init", "--cert", cert, "--key", key});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(strip_log_times(r.err),
            "error: " + cert + " or " + key + " already exists (use --force to overwrite)\n" +
                "ERROR zuv_maintenance tls-init failed: already exists (status=-5)\n");
}

}  // namespace
