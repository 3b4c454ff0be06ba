// The metrics file of scrub and run-loop, as monitoring reads it: parsed by
// the Prometheus client's own text parser (and promtool where installed),
// with the figures of known stores.
#include "ops/metrics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/fs.h"
#include "codec/cipher.h"
#include "store_writer.h"
#include "support/test_util.h"

namespace {

const char* const GAUGES[] = {
    "zuv_scrub_blocks_checked",
    "zuv_scrub_blocks_bad",
    "zuv_scrub_files_skipped",
    "zuv_scrub_files_unverified",
    "zuv_scrub_bytes_read",
    "zuv_scrub_duration_seconds",
    "zuv_scrub_last_run_timestamp_seconds",
    "zuv_scrub_success",
};

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// What the Prometheus client's parser reads from a metrics file: every
// sample's value by name, after it checked that each family is a gauge with
// a HELP text and exactly one sample labelled dir=<expected dir> only.
struct Parsed {
  bool ok = false;
  std::string error;
  std::map<std::string, double> values;
};

const char PARSER[] = R"PY(
import sys
from prometheus_client.parser import text_string_to_metric_families
text = open(sys.argv[1], encoding="utf-8").read()
want_dir = bytes.fromhex(sys.argv[2]).decode("utf-8")
for fam in text_string_to_metric_families(text):
    assert fam.type == "gauge", (fam.name, fam.type)
    assert fam.documentation, fam.name
    assert len(fam.samples) == 1, fam.name
    s = fam.samples[0]
    assert s.name == fam.name, s.name
    assert s.labels == {"dir": want_dir}, (s.labels, want_dir)
    print(s.name, repr(s.value))
)PY";

Parsed parse_metrics(const std::string& path, const std::string& dir) {
  Parsed p;
  test::RunResult r = test::run("/usr/bin/python3", {"-c", PARSER, path, hex_of(dir)});
  if (r.exit_status != 0) {
    p.error = r.err + " (scripts/setup.sh installs python3-prometheus-client)";
    return p;
  }
  std::istringstream in(r.out);
  std::string name;
  double value = 0;
  while (in >> name >> value) p.values[name] = value;
  p.ok = true;
  return p;
}

class MetricsTest : public testing::Test {
 protected:
  writer_result write(const std::string& stem, uint8_t cipher = CIPHER_NONE) {
    writer_backup_desc desc;
    desc.dir = store.path();
    desc.file_stem = stem;
    if (cipher != CIPHER_NONE) {
      desc.cipher = cipher;
      desc.key.assign(32, 0x5A);
    }
    writer_result r;
    EXPECT_EQ(writer_write_backup(desc, &r), STATUS_OK);
    return r;
  }

  static uint64_t stored_bytes(const writer_result& b) {
    uint64_t n = 0;
    for (const block_entry& e : b.table)
      if (!(e.flags & BLOCK_FLAG_NO_DATA)) n += e.stored_len;
    return n;
  }

  test::RunResult scrub(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"scrub", "--backup-dir", store.path(), "--metrics-file",
                                     prom()};
    args.insert(args.end(), extra.begin(), extra.end());
    return test::run_zuv(args);
  }

  std::string prom() const { return out.file("zuv_scrub.prom"); }

  test::TempDir store;
  test::TempDir out;
};

TEST(MetricsTextTest, EveryGaugeHasHelpTypeAndTheDirLabel) {
  scrub_totals t;
  t.blocks_checked = 39;
  t.blocks_bad = 1;
  t.files_skipped = 2;
  t.files_unverified = 3;
  t.bytes_read = 1234567;
  t.duration_seconds = 1.5;
  t.finished_at = 1796611811;
  t.status = STATUS_CORRUPT;
  const std::string text = metrics_scrub_text("/srv/backup/db", t);
  std::vector<std::string> lines = test::lines_of(text);
  ASSERT_EQ(lines.size(), 24u) << text;
  const std::string values[] = {"39", "1", "2", "3", "1234567", "1.500", "1796611811", "0"};
  for (size_t i = 0; i < 8; i++) {
    const std::string name = GAUGES[i];
    EXPECT_EQ(lines[3 * i].rfind("# HELP " + name + " ", 0), 0u) << lines[3 * i];
    EXPECT_EQ(lines[3 * i + 1], "# TYPE " + name + " gauge");
    EXPECT_EQ(lines[3 * i + 2], name + "{dir=\"/srv/backup/db\"} " + values[i]);
  }
  EXPECT_EQ(text.back(), '\n');  // the collector wants the last line ended
}

TEST(MetricsTextTest, TheDirLabelIsEscapedAndKeptValidUtf8) {
  scrub_totals t;
  const std::string text = metrics_scrub_text("/srv/a\"b\\c\nd\xff\xc3\xa9", t);
  EXPECT_NE(text.find("zuv_scrub_success{dir=\"/srv/a\\\"b\\\\c\\nd\xEF\xBF\xBD\xC3\xA9\"} 1\n"),
            std::string::npos)
      << text;
}

TEST_F(MetricsTest, ACleanStoreGivesItsCountsAndSuccess) {
  writer_result a = write("a");
  writer_result b = write("b");
  const int64_t before = now_seconds();
  test::RunResult r = scrub();
  const int64_t after = now_seconds();
  ASSERT_EQ(r.exit_status, 0) << r.err;
  Parsed p = parse_metrics(prom(), store.path());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.values.size(), 8u);
  EXPECT_EQ(p.values["zuv_scrub_blocks_checked"], 32);
  EXPECT_EQ(p.values["zuv_scrub_blocks_bad"], 0);
  EXPECT_EQ(p.values["zuv_scrub_files_skipped"], 0);
  EXPECT_EQ(p.values["zuv_scrub_files_unverified"], 0);
  EXPECT_EQ(p.values["zuv_scrub_bytes_read"],
            static_cast<double>(stored_bytes(a) + stored_bytes(b)));
  EXPECT_GE(p.values["zuv_scrub_duration_seconds"], 0);
  EXPECT_LE(p.values["zuv_scrub_duration_seconds"], static_cast<double>(after - before + 1));
  EXPECT_GE(p.values["zuv_scrub_last_run_timestamp_seconds"], static_cast<double>(before));
  EXPECT_LE(p.values["zuv_scrub_last_run_timestamp_seconds"], static_cast<double>(after));
  EXPECT_EQ(p.values["zuv_scrub_success"], 1);
  // The report on standard error is the one a run without the option gives.
  EXPECT_EQ(test::strip_log_times(r.err),
            "INFO  scrub: checked 32 blocks, 0 bad, 0 file(s) skipped (encrypted, no "
            "--decrypt-key-file)\n");
}

TEST_F(MetricsTest, BitRotASealedBackupWithoutKeyAndAnUnreadableMetaFileAreCounted) {
  writer_result a = write("a");
  ASSERT_EQ(writer_flip_payload_byte(a, 3, 0), STATUS_OK);
  write("sealed", CIPHER_AES_256_GCM);
  test::RunResult r = scrub();
  EXPECT_EQ(r.exit_status, 1) << r.err;
  Parsed p = parse_metrics(prom(), store.path());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.values["zuv_scrub_blocks_checked"], 16);
  EXPECT_EQ(p.values["zuv_scrub_blocks_bad"], 1);
  EXPECT_EQ(p.values["zuv_scrub_files_skipped"], 1);
  EXPECT_EQ(p.values["zuv_scrub_files_unverified"], 0);
  EXPECT_EQ(p.values["zuv_scrub_success"], 0);

  // Only the sealed one left, skipped for want of a key: the run passes.
  ASSERT_EQ(fs_remove(a.meta_path.c_str()), STATUS_OK);
  ASSERT_EQ(fs_remove(a.image_path.c_str()), STATUS_OK);
  r = scrub();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  p = parse_metrics(prom(), store.path());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.values["zuv_scrub_blocks_checked"], 0);
  EXPECT_EQ(p.values["zuv_scrub_files_skipped"], 1);
  EXPECT_EQ(p.values["zuv_scrub_success"], 1);

  // A meta file that cannot be read could not be verified: the run fails.
  writer_result c = write("c");
  ASSERT_EQ(writer_break_table_digest(c), STATUS_OK);
  r = scrub();
  EXPECT_EQ(r.exit_status, 1) << r.err;
  p = parse_metrics(prom(), store.path());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.values["zuv_scrub_files_unverified"], 1);
  EXPECT_EQ(p.values["zuv_scrub_success"], 0);
}

TEST_F(MetricsTest, ADirWithQuoteBackslashAndLineFeedComesBackAsGiven) {
  const std::string odd = store.file("a \"quoted\" \\ dir\nwith a line feed");
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  writer_backup_desc desc;
  desc.dir = odd;
  desc.file_stem = "db";
  writer_result b;
  ASSERT_EQ(writer_write_backup(desc, &b), STATUS_OK);
  test::RunResult r = test::run_zuv({"scrub", "--backup-dir", odd, "--metrics-file=" + prom()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  Parsed p = parse_metrics(prom(), odd);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.values["zuv_scrub_blocks_checked"], 16);
}

TEST_F(MetricsTest, TheFileIsReplacedWholeAndNoTemporaryFileIsLeft) {
  writer_result a = write("a");
  test::write_text(prom(), "old figures\n");
  ASSERT_EQ(scrub().exit_status, 0);
  EXPECT_EQ(test::list_dir(out.path()), std::vector<std::string>{"zuv_scrub.prom"});
  EXPECT_EQ(test::mode_of(prom()) & 0444, 0444u);  // node_exporter runs as another user
  const std::string first = test::read_text(prom());
  EXPECT_EQ(first.find("old figures"), std::string::npos);
  ASSERT_EQ(writer_flip_payload_byte(a, 0, 0), STATUS_OK);
  ASSERT_EQ(scrub().exit_status, 1);
  EXPECT_EQ(test::list_dir(out.path()), std::vector<std::string>{"zuv_scrub.prom"});
  EXPECT_NE(test::read_text(prom()).find("zuv_scrub_blocks_bad{dir=\"" + store.path() + "\"} 1\n"),
            std::string::npos);
}

TEST_F(MetricsTest, PromtoolAcceptsTheFile) {
  if (system("command -v promtool >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "promtool is not installed";
  write("a");
  ASSERT_EQ(scrub().exit_status, 0);
  test::RunResult r = test::run("/bin/sh", {"-c", "promtool check metrics < \"$1\"", "sh", prom()});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
}

TEST_F(MetricsTest, AFileThatCannotBeWrittenFailsTheRunButKeepsItsOwnFailure) {
  write("a");
  const std::string missing = out.file("no/such/dir/zuv.prom");
  test::RunResult r =
      test::run_zuv({"scrub", "--backup-dir", store.path(), "--metrics-file", missing});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(test::strip_log_times(r.err).find("ERROR cannot write --metrics-file " + missing +
                                              ": No such file or directory\n"
                                              "ERROR zuv_maintenance scrub failed: not found "
                                              "(status=-4)\n"),
            std::string::npos)
      << r.err;

  // Bit rot stays the reason the run failed.
  writer_result b = write("b");
  ASSERT_EQ(writer_flip_payload_byte(b, 1, 0), STATUS_OK);
  r = test::run_zuv({"scrub", "--backup-dir", store.path(), "--metrics-file", missing});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("scrub failed: corrupt or inconsistent data (status=-7)"), std::string::npos)
      << r.err;
  EXPECT_EQ(test::list_dir(out.path()), std::vector<std::string>{});
}

TEST_F(MetricsTest, ARunRefusedByTheLockIsWrittenAsAFailureWithNothingChecked) {
  write("a");
  int fd = open(store.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  test::RunResult r = scrub();
  close(fd);
  EXPECT_EQ(r.exit_status, 1);
  Parsed p = parse_metrics(prom(), store.path());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.values["zuv_scrub_blocks_checked"], 0);
  EXPECT_EQ(p.values["zuv_scrub_success"], 0);
}

TEST_F(MetricsTest, AnOptionWithoutAPathIsAUsageErrorAndWritesNothing) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"scrub", "--backup-dir", store.path(), "--metrics-file"},
        std::vector<std::string>{"scrub", "--backup-dir", store.path(), "--metrics-file="},
        std::vector<std::string>{"run-loop", "--backup-dir", store.path(), "--metrics-file"}}) {
    test::RunResult r = test::run_zuv(args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_EQ(r.err, "error: --metrics-file needs a path\n");
  }
  EXPECT_EQ(test::list_dir(out.path()), std::vector<std::string>{});
}

TEST_F(MetricsTest, RunLoopWritesTheFileAfterEveryPass) {
  writer_result a = write("a");
  const pid_t pid = test::start_zuv(
      {"run-loop", "--backup-dir", store.path(), "--poll-interval", "1", "--metrics-file", prom()});
  ASSERT_GT(pid, 0);

  // Waits (up to a minute: the machine is shared) until the file says so.
  auto wait_for = [&](const char* name, double value) {
    for (int i = 0; i < 600; i++) {
      if (test::file_exists(prom())) {
        Parsed p = parse_metrics(prom(), store.path());
        if (p.ok && p.values.count(name) && p.values[name] == value) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  EXPECT_TRUE(wait_for("zuv_scrub_success", 1));
  ASSERT_EQ(writer_flip_payload_byte(a, 2, 0), STATUS_OK);
  EXPECT_TRUE(wait_for("zuv_scrub_blocks_bad", 1));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace
