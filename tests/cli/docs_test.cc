// The man page and the bash completion describe the same sub-commands and
// options as the program's own tables, so a new option cannot ship
// undocumented or uncompletable, and a removed one cannot linger in either.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "cli/app.h"
#include "support/test_util.h"

namespace {

using option_set = std::set<std::string>;

std::map<std::string, option_set> program_table() {
  size_t count = 0;
  const command_spec* commands = app_commands(&count);
  std::map<std::string, option_set> table;
  for (size_t i = 0; i < count; i++) {
    option_set& opts = table[commands[i].name];
    for (const option_spec* o = commands[i].options; o->long_name; o++) opts.insert(o->long_name);
  }
  return table;
}

option_set runlog_options() {
  option_set opts;
  for (const option_spec* o = RUNLOG_OPTIONS; o->long_name; o++) opts.insert(o->long_name);
  return opts;
}

option_set options_in(const std::string& text) {
  static const std::regex option(R"(--[a-z][a-z-]*)");
  option_set found;
  for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
    found.insert(it->str());
  return found;
}

// The man page source with groff's escaped hyphens made plain.
std::string man_source() {
  std::string text = test::read_text(ZUV_SOURCE_DIR "/packaging/zuv_maintenance.1");
  std::string plain;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '-') continue;
    plain += text[i];
  }
  return plain;
}

std::string section(const std::string& man, const std::string& name) {
  size_t start = man.find("\n.SH " + name + "\n");
  if (start == std::string::npos) return "";
  size_t end = man.find("\n.SH ", start + 1);
  return man.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// SYNOPSIS: each sub-command's line runs from ".B zuv_maintenance <cmd>" to ".br".
std::map<std::string, option_set> man_synopsis(const std::string& man) {
  std::map<std::string, option_set> synopsis;
  std::istringstream in(section(man, "SYNOPSIS"));
  std::string line;
  std::string current;
  std::string body;
  auto flush = [&] {
    if (!current.empty()) synopsis[current] = options_in(body);
    current.clear();
    body.clear();
  };
  while (std::getline(in, line)) {
    if (line.rfind(".B zuv_maintenance ", 0) == 0) {
      flush();
      current = line.substr(19);
    } else if (line == ".br") {
      flush();
    } else if (!current.empty()) {
      body += line + "\n";
    }
  }
  flush();
  return synopsis;
}

TEST(DocsTest, ManPageSynopsisListsEverySubCommandWithExactlyItsOptions) {
  std::string man = man_source();
  auto table = program_table();
  auto synopsis = man_synopsis(man);
  for (const auto& [name, opts] : table) {
    ASSERT_TRUE(synopsis.count(name)) << name << " has no synopsis line";
    EXPECT_EQ(synopsis[name], opts) << name;
  }
  for (const auto& [name, opts] : synopsis) EXPECT_TRUE(table.count(name)) << name;
}

TEST(DocsTest, ManPageDescribesEverySubCommandAndTheRunLogOptions) {
  std::string man = man_source();
  std::string commands = section(man, "COMMANDS");
  for (const auto& [name, opts] : program_table()) {
    EXPECT_NE(commands.find(".TP\n.B " + name + "\n"), std::string::npos) << name;
  }
  option_set documented = options_in(section(man, "OPTIONS"));
  for (const std::string& o : runlog_options()) EXPECT_TRUE(documented.count(o)) << o;
  for (const char* o : {"--help", "--version", "--selftest"}) EXPECT_TRUE(documented.count(o)) << o;
}

TEST(DocsTest, CompletionOffersEverySubCommandWithExactlyItsOptions) {
  std::string script = test::read_text(ZUV_SOURCE_DIR "/packaging/zuv_maintenance.bash-completion");
  auto table = program_table();

  std::smatch m;
  ASSERT_TRUE(std::regex_search(script, m, std::regex(R"re(local commands="([^"]*)")re")));
  std::istringstream names(m[1].str());
  std::set<std::string> offered{std::istream_iterator<std::string>(names), {}};
  std::set<std::string> expected;
  for (const auto& [name, opts] : table) expected.insert(name);
  EXPECT_EQ(offered, expected);

  ASSERT_TRUE(std::regex_search(script, m, std::regex(R"re(local common="([^"]*)")re")));
  option_set common = options_in(m[1].str());
  for (const std::string& o : runlog_options()) EXPECT_TRUE(common.count(o)) << o;

  static const std::regex per_command(R"re(\n\s+([a-z-]+)\)\s+opts="([^"]*)")re");
  std::map<std::string, option_set> completed;
  for (std::sregex_iterator it(script.begin(), script.end(), per_command), end; it != end; ++it)
    completed[(*it)[1].str()] = options_in((*it)[2].str());
  EXPECT_EQ(completed, table);
}

}  // namespace
