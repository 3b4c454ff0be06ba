#include "store/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "ops/journal_fixture.h"
#include "support/test_util.h"

using journal_fixture::Journal;

namespace {

status_t read_header(const std::string& path, std::vector<uint8_t>* body,
                     uint64_t* records_offset = nullptr) {
  unique_fd fd;
  status_t s = fs_open_read(path.c_str(), fd.out());
  if (s != STATUS_OK) return s;
  uint8_t header[JOURNAL_HEADER_SIZE];
  body->assign(JOURNAL_BODY_AREA, 0xAA);
  return journal_read_header(fd.get(), header, body->data(), records_offset);
}

}  // namespace

TEST(JournalHeaderTest, ReadsAWellFormedJournalAndReportsWhereRecordsStart) {
  test::TempDir dir;
  Journal j(1, "web");
  j.write(dir.file("a.part"));
  std::vector<uint8_t> body;
  uint64_t records = 0;
  ASSERT_EQ(read_header(dir.file("a.part"), &body, &records), STATUS_OK);
  EXPECT_EQ(records, 512u + 131072u);
  EXPECT_EQ(body[0x10], 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(body.data() + 0x1E4), "web");
}

TEST(JournalHeaderTest, RefusesEveryDamagedFieldWithCorrupt) {
  test::TempDir dir;
  std::string p = dir.file("a.part");
  std::vector<uint8_t> body;
  struct Case {
    const char* what;
    void (*damage)(Journal&);
  } cases[] = {
      {"magic", [](Journal& j) { j.header[0] = 'X'; }},
      {"version 2", [](Journal& j) { journal_fixture::put32(j.header.data() + 4, 2); }},
      {"version 0", [](Journal& j) { journal_fixture::put32(j.header.data() + 4, 0); }},
      {"body_size below 4096", [](Journal& j) { j.body_size_field = 4095; }},
      {"body_size above 4 MiB", [](Journal& j) { j.body_size_field = 4194305; }},
  };
  for (auto& c : cases) {
    Journal j;
    c.damage(j);
    j.write(p);
    EXPECT_EQ(read_header(p, &body), STATUS_CORRUPT) << c.what;
  }
}

TEST(JournalHeaderTest, ChecksumCoversNamesAndBodyButNotTheReservedBytes) {
  test::TempDir dir;
  std::string p = dir.file("a.part");
  std::vector<uint8_t> body;
  Journal j;
  auto good = j.bytes();
  for (size_t off : {size_t{16}, size_t{200}, size_t{256}, size_t{495}, size_t{512},
                     size_t{512 + 70000}, size_t{512 + 131071}}) {
    auto bad = good;
    bad[off] ^= 0x01;
    test::write_file(p, bad);
    EXPECT_EQ(read_header(p, &body), STATUS_CORRUPT) << off;
  }
  for (size_t off = 496; off < 512; off++) {
    auto changed = good;
    changed[off] ^= 0xFF;
    test::write_file(p, changed);
    EXPECT_EQ(read_header(p, &body), STATUS_OK) << off;
  }
}

TEST(JournalHeaderTest, ShortFilesAreCorrupt) {
  test::TempDir dir;
  std::string p = dir.file("a.part");
  std::vector<uint8_t> body;
  Journal j;
  auto good = j.bytes();
  for (size_t len : {size_t{0}, size_t{511}, size_t{512}, size_t{512 + 131071}}) {
    test::write_file(p, std::vector<uint8_t>(good.begin(), good.begin() + len));
    EXPECT_EQ(read_header(p, &body), STATUS_CORRUPT) << len;
  }
}

TEST(JournalHeaderTest, BodySizeZeroMeans4096AndTheRestOfTheAreaIsCleared) {
  test::TempDir dir;
  Journal j(0, "db", "up.csfb", 4096);
  j.body_size_field = 0;
  j.write(dir.file("a.part"));
  std::vector<uint8_t> body;
  uint64_t records = 0;
  ASSERT_EQ(read_header(dir.file("a.part"), &body, &records), STATUS_OK);
  EXPECT_EQ(records, 512u + 4096u);
  for (size_t i = 4096; i < body.size(); i++) ASSERT_EQ(body[i], 0) << i;
}

TEST(JournalHeaderTest, BodyLargerThanTheAreaIsCheckedWholeAndKeptInPart) {
  test::TempDir dir;
  std::string p = dir.file("a.part");
  Journal j(2, "big", "up.csib", 200000);
  j.body[150000] = 0x5A;  // beyond the kept area, still under the checksum
  auto good = j.bytes();
  test::write_file(p, good);
  std::vector<uint8_t> body;
  uint64_t records = 0;
  ASSERT_EQ(read_header(p, &body, &records), STATUS_OK);
  EXPECT_EQ(records, 512u + 200000u);
  EXPECT_EQ(body.size(), JOURNAL_BODY_AREA);
  EXPECT_STREQ(reinterpret_cast<const char*>(body.data() + 0x1E4), "big");

  auto bad = good;
  bad[512 + 150000] ^= 1;
  test::write_file(p, bad);
  EXPECT_EQ(read_header(p, &body), STATUS_CORRUPT);
}

TEST(JournalHeaderTest, ImageNameThatIsNotAPlainFileNameIsRefused) {
  test::TempDir dir;
  std::string p = dir.file("a.part");
  std::vector<uint8_t> body;
  for (const char* name : {"", ".", "..", "../etc/passwd", "sub/x.csfb", "/abs"}) {
    Journal j(0, "db", name);
    j.write(p);
    EXPECT_EQ(read_header(p, &body), STATUS_CORRUPT) << name;
  }
  Journal ok(0, "db", "..hidden.csfb");
  ok.write(p);
  EXPECT_EQ(read_header(p, &body), STATUS_OK);
}

TEST(JournalHeaderTest, NamesAreTerminatedAfterValidation) {
  test::TempDir dir;
  Journal j;
  memset(j.header.data() + 256, 'n', 240);  // no terminator in the stored field
  j.write(dir.file("a.part"));
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  char recorded[JOURNAL_NAME_LEN], image[JOURNAL_NAME_LEN];
  ASSERT_EQ(journal_read_names(dir.file("a.part").c_str(), body.data(), recorded, image),
            STATUS_OK);
  EXPECT_EQ(strlen(image), 239u);
  EXPECT_STREQ(recorded, "up.infb");
}

TEST(JournalHeaderTest, MissingJournalIsNotFound) {
  test::TempDir dir;
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  EXPECT_EQ(journal_read_names(dir.file("none.part").c_str(), body.data(), nullptr, nullptr),
            STATUS_NOT_FOUND);
}

TEST(JournalReplayTest, BlockReplacesRemoveDropsAndTheLastCommitCounts) {
  test::TempDir dir;
  Journal j;
  j.block(5, 100, 0x01);
  j.block(2, 200, 0x02);
  j.block(5, 300, 0x03);  // replaces the first entry of block 5
  j.remove(2);
  j.remove(2);  // dropped twice counts once
  j.remove(9);  // nothing held
  j.commit(6, 77);
  j.block(7, 400);
  j.commit(7, 88);
  j.block(8, 500);  // after the last commit: does not count
  j.write(dir.file("a.part"));

  journal_replay r;
  ASSERT_EQ(journal_load(dir.file("a.part").c_str(), &r), STATUS_OK);
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].block_id, 5u);
  EXPECT_EQ(r.entries[0].stored_len, 300u);
  EXPECT_EQ(r.entries[0].sha256[0], 0x03);
  EXPECT_EQ(r.entries[1].block_id, 7u);
  EXPECT_EQ(r.drops, 1u);
  EXPECT_EQ(r.commit_value, 88u);
  EXPECT_EQ(r.committed_records, 9u);
}

TEST(JournalReplayTest, WalkStopsAtTheFirstInvalidRecord) {
  struct Case {
    const char* what;
    void (*tail)(Journal&);
  } cases[] = {
      {"bad crc",
       [](Journal& j) {
         j.block(3, 1);
         j.records[j.records.size() - 64 + 10] ^= 1;
       }},
      {"unknown type",
       [](Journal& j) {
         uint8_t p[58] = {};
         j.record(4, p);
       }},
      {"commit with a wrong count", [](Journal& j) { j.commit(5, 1); }},
  };
  for (auto& c : cases) {
    Journal j;
    j.block(1, 10);
    j.commit(1, 42);
    c.tail(j);
    j.block(2, 20);  // valid on its own, but after the break
    j.commit(j.records.size() / 64 - 2, 99);
    auto bytes = j.bytes();
    journal_replay r;
    ASSERT_EQ(journal_replay_records(bytes.data() + 512 + 131072, bytes.size() - 512 - 131072, &r),
              STATUS_OK)
        << c.what;
    EXPECT_EQ(r.commit_value, 42u) << c.what;
    ASSERT_EQ(r.entries.size(), 1u) << c.what;
    EXPECT_EQ(r.entries[0].block_id, 1u) << c.what;
  }
}

TEST(JournalReplayTest, NoValidCommitMeansNoCommittedPart) {
  Journal j;
  j.block(1, 10);
  j.block(2, 10);
  auto bytes = j.bytes();
  journal_replay r;
  EXPECT_EQ(journal_replay_records(bytes.data() + 512 + 131072, bytes.size() - 512 - 131072, &r),
            STATUS_CORRUPT);
  EXPECT_EQ(journal_replay_records(nullptr, 0, &r), STATUS_CORRUPT);
}

TEST(JournalReplayTest, ShortTailIsIgnored) {
  Journal j;
  j.block(1, 10);
  j.commit(1, 5);
  auto bytes = j.bytes();
  bytes.insert(bytes.end(), 63, 0x33);
  journal_replay r;
  ASSERT_EQ(journal_replay_records(bytes.data() + 512 + 131072, bytes.size() - 512 - 131072, &r),
            STATUS_OK);
  EXPECT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.commit_value, 5u);
}

// ---- reading a journal inside a listed directory, and removing its upload ----

namespace {

// The directory of a test open as partials opens it.
unique_fd open_dir(const std::string& path) {
  unique_fd fd;
  EXPECT_EQ(fs_open(path.c_str(), O_RDONLY | O_DIRECTORY, 0, fd.out()), STATUS_OK);
  return fd;
}

void set_age_hours(const std::string& path, int64_t hours) {
  struct timespec t[2];
  t[0].tv_sec = t[1].tv_sec = time(nullptr) - hours * 3600;
  t[0].tv_nsec = t[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

}  // namespace

// A journal is only ever a regular file in the directory itself: a FIFO is
// refused at once (the open never waits for a writer), and a link is not
// followed, whatever it points to.
TEST(JournalReadAtTest, LinksFifosAndDirectoriesAreNotJournals) {
  test::TempDir dir;
  Journal().write(dir.file("real.part"));
  ASSERT_EQ(symlink(dir.file("real.part").c_str(), dir.file("link.part").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo.part").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(dir.file("dir.part").c_str(), 0700), 0);
  unique_fd d = open_dir(dir.path());
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  journal_listing listed;
  for (const char* name : {"link.part", "fifo.part", "dir.part"}) {
    EXPECT_EQ(journal_read_at(d.get(), name, body.data(), &listed), STATUS_IO) << name;
  }
  EXPECT_EQ(journal_read_at(d.get(), "fifo.part", body.data(), &listed), STATUS_IO);
  EXPECT_EQ(errno, FS_ERR_NOT_REGULAR);
  EXPECT_EQ(journal_read_names(dir.file("fifo.part").c_str(), body.data(), nullptr, nullptr),
            STATUS_IO);
  EXPECT_EQ(errno, FS_ERR_NOT_REGULAR);
  journal_replay r;
  EXPECT_EQ(journal_load(dir.file("fifo.part").c_str(), &r), STATUS_IO);
  EXPECT_EQ(journal_read_at(d.get(), "real.part", body.data(), &listed), STATUS_OK);
}

TEST(RemovePartialTest, RemovesTheImageThenTheJournalAndAcceptsAnImageAlreadyGone) {
  test::TempDir dir;
  Journal j(0, "db", "up.csfb");
  j.write(dir.file("up.part"));
  test::write_file(dir.file("up.csfb.tmp"), std::vector<uint8_t>(10, 0));
  unique_fd d = open_dir(dir.path());
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  journal_listing listed;
  int err = -1;
  ASSERT_EQ(journal_read_at(d.get(), "up.part", body.data(), &listed), STATUS_OK);
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, -1, &err), PARTIAL_REMOVED);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{});

  j.write(dir.file("up.part"));
  ASSERT_EQ(journal_read_at(d.get(), "up.part", body.data(), &listed), STATUS_OK);
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, -1, &err), PARTIAL_REMOVED);
  EXPECT_FALSE(test::file_exists(dir.file("up.part")));
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, -1, &err), PARTIAL_FAILED);
  EXPECT_EQ(err, ENOENT);
}

TEST(RemovePartialTest, JournalMustStillBeOldEnough) {
  test::TempDir dir;
  Journal(0, "db", "up.csfb").write(dir.file("up.part"));
  set_age_hours(dir.file("up.part"), 47);
  unique_fd d = open_dir(dir.path());
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  journal_listing listed;
  int err = 0;
  ASSERT_EQ(journal_read_at(d.get(), "up.part", body.data(), &listed), STATUS_OK);
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, 2, &err), PARTIAL_TOO_RECENT);
  EXPECT_TRUE(test::file_exists(dir.file("up.part")));
  EXPECT_EQ(remove_partial(d.get(), "up.part", listed, 1, &err), PARTIAL_REMOVED);
  EXPECT_FALSE(test::file_exists(dir.file("up.part")));
}
