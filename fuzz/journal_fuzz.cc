// An upload journal of arbitrary bytes through journal_read_header and the
// record replay (journal_load, and journal_replay_records on its own).
//
// Input: one mode byte, then the file. Bit 0 of the mode recomputes the
// header checksum and bit 1 every record checksum, so that the fuzzer gets
// past them and reaches the body and record handling.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/fs.h"
#include "codec/digest.h"
#include "fuzz_util.h"
#include "store/journal.h"
#include "store/journal_replay.h"

namespace {

void fix_header_crc(std::vector<uint8_t>* file) {
  uint8_t* f = file->data();
  uint32_t body_size = load_le32(f + JH_BODY_SIZE);
  if (body_size == 0) body_size = JOURNAL_BODY_DEFAULT;
  if (body_size > file->size() - JOURNAL_HEADER_SIZE) return;
  uint32_t crc = crc32c_update(0, f + JH_CRC_START, JH_CRC_END - JH_CRC_START);
  crc = crc32c_update(crc, f + JOURNAL_HEADER_SIZE, body_size);
  store_le32(f + JH_CRC, crc);
}

void fix_record_crcs(uint8_t* records, size_t len) {
  for (size_t off = 0; off + JOURNAL_RECORD_SIZE <= len; off += JOURNAL_RECORD_SIZE) {
    store_le32(records + off + JR_CRC, crc32c_update(0, records + off, JR_CRC));
  }
}

void check_replay(const journal_replay& r, size_t len) {
  if (r.committed_records == 0 || r.committed_records > len / JOURNAL_RECORD_SIZE) abort();
  if (r.entries.size() + r.drops > r.committed_records) abort();
  for (size_t i = 1; i < r.entries.size(); i++) {
    if (r.entries[i - 1].block_id >= r.entries[i].block_id) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> file(data + 1, data + size);

  // The replay alone, on the whole input as records.
  if (mode & 2) fix_record_crcs(file.data(), file.size());
  journal_replay alone;
  if (journal_replay_records(file.data(), file.size(), &alone) == STATUS_OK)
    check_replay(alone, file.size());

  if (file.size() >= JOURNAL_HEADER_SIZE) {
    uint32_t body_size = load_le32(file.data() + JH_BODY_SIZE);
    if (body_size == 0) body_size = JOURNAL_BODY_DEFAULT;
    if ((mode & 2) && body_size <= file.size() - JOURNAL_HEADER_SIZE) {
      size_t off = JOURNAL_HEADER_SIZE + body_size;
      fix_record_crcs(file.data() + off, file.size() - off);
    }
    if (mode & 1) fix_header_crc(&file);
  }
  std::string path = fuzz_write_file("fuzz.part", file.data(), file.size());

  uint8_t header[JOURNAL_HEADER_SIZE];
  std::vector<uint8_t> body(JOURNAL_BODY_AREA);
  uint64_t records_offset = 0;
  unique_fd fd;
  if (fs_open_read(path.c_str(), fd.out()) != STATUS_OK) abort();
  status_t hs = journal_read_header(fd.get(), header, body.data(), &records_offset);
  (void)fd.close();
  if (hs == STATUS_OK) {
    if (records_offset > file.size()) abort();  // the body was read whole
    if (header[JH_RECORDED_NAME + JOURNAL_NAME_LEN - 1] != 0) abort();
    if (header[JH_IMAGE_NAME + JOURNAL_NAME_LEN - 1] != 0) abort();
  }

  char recorded[JOURNAL_NAME_LEN];
  char image[JOURNAL_NAME_LEN];
  status_t ns = journal_read_names(path.c_str(), body.data(), recorded, image);
  if (ns != hs) abort();
  if (ns == STATUS_OK && (strnlen(recorded, sizeof recorded) == sizeof recorded ||
                          strnlen(image, sizeof image) == sizeof image))
    abort();

  journal_replay loaded;
  status_t ls = journal_load(path.c_str(), &loaded);
  if (ls == STATUS_OK) {
    if (hs != STATUS_OK) abort();
    check_replay(loaded, file.size() - records_offset);
  }
  return 0;
}
