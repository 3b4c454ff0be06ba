// scripts/check-layers.sh on this tree and on small trees built to break it:
// a check that passes everything would hide exactly the includes it is for.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

const std::string SCRIPT = ZUV_SOURCE_DIR "/scripts/check-layers.sh";

test::RunResult check(const std::string& root) {
  return test::run("/bin/bash", {SCRIPT, root});
}

// A tree holding the given files, each with the given text.
struct Tree {
  test::TempDir dir;
  explicit Tree(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, text] : files) {
      std::string path = dir.path();
      for (size_t slash = 0; (slash = name.find('/', slash)) != std::string::npos; slash++)
        mkdir((path + "/" + name.substr(0, slash)).c_str(), 0755);
      test::write_text(path + "/" + name, text);
    }
  }
};

TEST(CheckLayersTest, ThisTreeKeepsItsLayers) {
  test::RunResult r = check(ZUV_SOURCE_DIR);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST(CheckLayersTest, DownwardAndSameDirectoryIncludesPass) {
  Tree t({{"src/base/a.h", "#pragma once\n"},
          {"src/codec/b.h", "#include \"base/a.h\"\n"},
          {"src/store/c.cc", "#include \"store/c.h\"\n#include \"codec/b.h\"\n"},
          {"src/store/c.h", "#include \"base/a.h\"\n"},
          {"src/ops/d.cc", "#include \"store/c.h\"\n#include <vector>\n"},
          {"src/setup/e.cc", "#include \"codec/b.h\"\n"},
          {"src/cli/f.cc", "#include \"ops/d.h\"\n#include \"setup/e.h\"\n"}});
  test::RunResult r = check(t.dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
}

TEST(CheckLayersTest, AnUpwardOrSidewaysIncludeFailsNamingFileLineAndHeader) {
  Tree t({{"src/base/a.h", "#pragma once\n#include \"store/c.h\"\n"},
          {"src/store/c.h", "#pragma once\n"},
          {"src/ops/d.cc", "// x\n# include \"setup/e.h\"\n"},
          {"src/setup/e.h", "#pragma once\n"}});
  test::RunResult r = check(t.dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("src/base/a.h:2: #include \"store/c.h\": base/ may not include store/"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("src/ops/d.cc:2: #include \"setup/e.h\": ops/ may not include setup/"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("check-layers: 2 problem(s)"), std::string::npos) << r.err;
}

TEST(CheckLayersTest, ACycleInsideADirectoryFails) {
  Tree t({{"src/store/a.h", "#pragma once\n"},
          {"src/store/a.cc", "#include \"store/a.h\"\n#include \"store/b.h\"\n"},
          {"src/store/b.h", "#pragma once\n"},
          {"src/store/b.cc", "#include \"store/b.h\"\n#include \"store/a.h\"\n"}});
  test::RunResult r = check(t.dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("include cycle: store/"), std::string::npos) << r.err;
}

TEST(CheckLayersTest, IncludesOutsideTheLayersAndFilesOutsideThemFail) {
  Tree t({{"src/store/a.cc", "#include \"support/test_util.h\"\n#include \"a.h\"\n"},
          {"src/util/b.cc", "\n"}});
  test::RunResult r = check(t.dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("src/store/a.cc:1: #include \"support/test_util.h\": names no header"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("src/store/a.cc:2: #include \"a.h\": names no header"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("src/util/b.cc: not in a layer directory"), std::string::npos) << r.err;
}

}  // namespace
