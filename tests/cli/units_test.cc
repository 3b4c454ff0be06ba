// The command line of the systemd scrub unit, run as systemd would run it
// (its "$$" made "$", its specifiers filled in), with and without a metrics
// directory in its settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store_writer.h"
#include "support/test_util.h"

namespace {

// The words of the unit's ExecStart=, split as systemd splits them: at
// blanks, a single-quoted stretch being one word.
std::vector<std::string> exec_start_words(const std::string& unit) {
  const std::string key = "\nExecStart=";
  size_t at = unit.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  const std::string line = unit.substr(at, unit.find('\n', at) - at);
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (char c : line) {
    if (c == '\'') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

void replace_all(std::string* s, const std::string& from, const std::string& to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
    s->replace(at, from.size(), to);
}

class ScrubUnitTest : public testing::Test {
 protected:
  void SetUp() override {
    store_dir = tmp.file("backups of db");
    ASSERT_EQ(mkdir(store_dir.c_str(), 0755), 0);
    writer_backup_desc desc;
    desc.dir = store_dir;
    desc.file_stem = "db";
    writer_result b;
    ASSERT_EQ(writer_write_backup(desc, &b), STATUS_OK);
  }

  // Runs the unit's command with the given environment settings.
  test::RunResult run_unit(const std::vector<std::string>& env) {
    std::vector<std::string> words =
        exec_start_words(test::read_text(ZUV_SOURCE_DIR "/packaging/systemd/zuv-scrub@.service"));
    EXPECT_GE(words.size(), 3u);
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "ZUV_METRICS_DIR", "ZUV_SCRUB_KEY="};
    argv.insert(argv.end(), env.begin(), env.end());
    for (std::string w : words) {
      replace_all(&w, "$$", "$");
      // The run log stays out of /var/log and syslog in a test.
      replace_all(&w, "/usr/bin/zuv_maintenance scrub",
                  test::program_path() + " scrub --no-syslog --no-log");
      replace_all(&w, "/%I", store_dir);
      replace_all(&w, "%i", INSTANCE);
      argv.push_back(w);
    }
    return test::run(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
  }

  static constexpr const char* INSTANCE = "srv-backups\\x20of\\x20db";
  test::TempDir tmp;
  std::string store_dir;
};

TEST_F(ScrubUnitTest, WithoutAMetricsDirItScrubsAndWritesNoFile) {
  test::RunResult r = run_unit({});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("scrub: checked 16 blocks, 0 bad"), std::string::npos) << r.err;
  EXPECT_EQ(test::list_dir(tmp.path()), std::vector<std::string>{"backups of db"});
}

TEST_F(ScrubUnitTest, AMetricsDirWithBlanksGetsTheInstancesFile) {
  const std::string metrics = tmp.file("text files");
  ASSERT_EQ(mkdir(metrics.c_str(), 0755), 0);
  test::RunResult r = run_unit({"ZUV_METRICS_DIR=" + metrics});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string prom = metrics + "/zuv_scrub-" + INSTANCE + ".prom";
  ASSERT_TRUE(test::file_exists(prom)) << r.err;
  EXPECT_NE(test::read_text(prom).find("zuv_scrub_blocks_checked{dir=\"" + store_dir + "\"} 16\n"),
            std::string::npos);
}

}  // namespace
