// The store writer: makes real backup stores for tests, the demo and the
// benchmarks. It writes through the library (meta_write, codec_compress,
// seal_block), so a store it makes is only as right as the library; the
// golden-byte tests of the store format stay the independent check.
//
// Built as the static library zuv_store_writer (linked by zuv_mkstore, the
// tests and the benchmarks); never installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "store/backup.h"
#include "store/format.h"

// What a block's bytes look like. Every generator is deterministic in
// (seed, block_id), so a test can regenerate the data a block must decode to.
enum class writer_content : uint8_t {
  RANDOM,  // incompressible
  TEXT,    // text-like, compresses well
  ZEROS,   // all zero
  MIXED,   // realistic: about 3:1 with zstd, some blocks incompressible
};

// Fills out[0..len) with the content of one block.
void writer_block_data(writer_content content, uint64_t seed, uint64_t block_id, uint8_t* out,
                       size_t len);

struct writer_backup_desc {
  std::string dir;                 // where the meta and image files go
  std::string name = "db";         // header name (also the file name stem)
  uint8_t kind = KIND_FULL;        // FULL, DIFF or INC
  std::string parent_meta;         // DIFF/INC: meta path of the parent (must exist)
  uint32_t block_size = 65536;     // FULL only; DIFF/INC inherit the parent's
  uint64_t volume_size = 1048576;  // FULL only; DIFF/INC inherit the parent's
  int64_t created = 0;             // 0 = now
  int64_t retain_until = 0;        // 0 = no retention
  uint8_t codec = CODEC_ZSTD;      // per block, raw when it does not shrink
  int level = 3;
  uint8_t cipher = CIPHER_NONE;  // otherwise key must be set
  std::vector<uint8_t> key;      // 32 bytes when cipher != CIPHER_NONE
  writer_content content = writer_content::MIXED;
  uint64_t seed = 1;  // content seed; use another seed in a DIFF to change blocks
  // Block ids that get a payload; empty means every block of the volume
  // (the last one short when volume_size is not a multiple of block_size).
  std::vector<uint64_t> blocks;
  // Entries with BLOCK_FLAG_NO_DATA: offset NO_OFFSET, stored_len 0, codec
  // none, and raw_len and sha256 of a block of zeros. An id may not be in
  // both lists; with blocks empty, every other block of the volume gets data.
  std::vector<uint64_t> no_data_blocks;
  std::string file_stem;  // file name without extension; empty = "<name>-<stamp>[-n]"
};

struct writer_result {
  std::string meta_path;
  std::string image_path;
  uint8_t uuid[16] = {};
  std::vector<block_entry> table;  // as written
};

// Writes one backup: the image through "<image>.tmp" and a rename, then the
// meta file through meta_write. Ids past the end of the volume are written as
// whole blocks (a chain map ignores them). -3 for a description that makes
// no sense (DIFF/INC without a parent, FULL with one, cipher without a 32-byte
// key, id in both lists, bad stem), -5 when an explicit stem's files exist,
// else the status of the failing store call. DIFF/INC take uuid links,
// block_size, volume_size, codec default and source_info from the parent's
// header.
[[nodiscard]] status_t writer_write_backup(const writer_backup_desc& desc, writer_result* out);

// Damage on request, applied in place to a written backup. Flipping inverts
// every bit of one payload byte (-4 when the table has no such block, -3 for
// a NO_DATA entry or a byte past the payload). Breaking the digest inverts
// the first byte of table_sha256, which backup_load notices only when the
// table is not empty.
[[nodiscard]] status_t writer_flip_payload_byte(const writer_result& b, uint64_t block_id,
                                                uint32_t byte_in_payload);
[[nodiscard]] status_t writer_truncate_image(const writer_result& b, uint64_t length);
[[nodiscard]] status_t writer_break_table_digest(const writer_result& b);
[[nodiscard]] status_t writer_set_format_version(const writer_result& b, uint16_t version);
[[nodiscard]] status_t writer_set_magic(const writer_result& b, uint32_t magic);

// Writes a key file as 64 lower-case hex digits and a line feed, mode 0600,
// through a temporary name. -5 when the path exists.
[[nodiscard]] status_t writer_write_key_file(const std::string& path, const uint8_t key[32]);

// An interrupted upload: a journal "<stem>.part" whose body is the header of
// the backup being uploaded and whose image_name is "<stem>.csfb" (or the
// kind's image extension), plus the partial image "<image_name>.tmp" of
// partial_image_bytes bytes (none when negative). Records: one JOURNAL_BLOCK
// per entry, one JOURNAL_REMOVE per removed block, and a JOURNAL_COMMIT
// counting them when commit is true. The journal is created with O_EXCL (-5
// when it exists), mode 0640. The body is the header of a new backup of the
// given kind and name; a body_size above 131072 is padded with zeros.
struct writer_journal_desc {
  std::string dir;
  std::string stem = "upload";
  uint8_t kind = KIND_FULL;
  std::string name = "db";
  int64_t partial_image_bytes = 1572864;
  uint32_t body_size = 131072;  // stored body_size field; 0 means 4096
  std::vector<block_entry> records;
  std::vector<uint64_t> removed_blocks;  // JOURNAL_REMOVE records, after the blocks
  bool commit = true;
  uint64_t commit_value = 0;
};
struct writer_journal_result {
  std::string journal_path;
  std::string partial_image_path;
  uint8_t uuid[16] = {};
};
[[nodiscard]] status_t writer_write_journal(const writer_journal_desc& desc,
                                            writer_journal_result* out);
