#include "store/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "store/journal_replay.h"
#include "support/journal_fixture.h"
#include "support/test_util.h"

using journal_fixture::Journal;
using journal_fixture::open_dir;

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

// ---- reading a journal inside a listed directory ----

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
