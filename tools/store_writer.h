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

#include "cli/status.h"
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

struct writer_backup_spec {
  std::string dir;                 // where the meta and image files go
  std::string name = "db";         // header name (also the file name stem)
  uint8_t kind = KIND_FULL;        // FULL, DIFF or INC
  std::string parent_meta;         // DIFF/INC: meta path of the parent (must exist)
  uint32_t block_size = 65536;     // FULL only; DIFF/INC inherit the parent's
  uint64_t volume_size = 1048576;  // FULL only; DIFF/INC inherit the parent's
  int64_t created = 0;             // 0 = now
  int64_t retain_until = 0;        // 0 = no retention
  uint8_t codec = 1;               // CODEC_ZSTD; per block, raw when it does not shrink
  int level = 3;
  uint8_t cipher = 0;              // CIPHER_NONE; otherwise key must be set
  std::vector<uint8_t> key;        // 32 bytes when cipher != 0
  writer_content content = writer_content::MIXED;
  uint64_t seed = 1;               // content seed; use another seed in a DIFF to change blocks
  // Block ids that get a payload; empty means every block of the volume
  // (the last one short when volume_size is not a multiple of block_size).
  std::vector<uint64_t> blocks;
  std::vector<uint64_t> no_data_blocks;  // entries with BLOCK_FLAG_NO_DATA
  std::string file_stem;                 // file name without extension; empty = "<name>-<stamp>[-n]"
};

struct writer_result {
  std::string meta_path;
  std::string image_path;
  uint8_t uuid[16] = {};
  std::vector<block_entry> table;  // as written
};

// Writes one backup. DIFF/INC take uuid links, block_size, volume_size,
// codec default and source_info from the parent's header.
[[nodiscard]] status_t writer_write_backup(const writer_backup_spec& spec, writer_result* out);

// Damage on request, applied to a written backup.
[[nodiscard]] status_t writer_flip_payload_byte(const writer_result& b, uint64_t block_id,
                                                uint32_t byte_in_payload);
[[nodiscard]] status_t writer_truncate_image(const writer_result& b, uint64_t length);
[[nodiscard]] status_t writer_break_table_digest(const writer_result& b);
[[nodiscard]] status_t writer_set_format_version(const writer_result& b, uint16_t version);
[[nodiscard]] status_t writer_set_magic(const writer_result& b, uint32_t magic);

// An interrupted upload: a journal "<stem>.part" whose body is the header of
// the backup being uploaded and whose image_name is "<stem>.csfb" (or the
// kind's image extension), plus the partial image "<image_name>.tmp" of
// partial_image_bytes bytes (none when negative). Records: one JOURNAL_BLOCK
// per entry and a JOURNAL_COMMIT when commit is true.
struct writer_journal_spec {
  std::string dir;
  std::string stem = "upload";
  uint8_t kind = KIND_FULL;
  std::string name = "db";
  int64_t partial_image_bytes = 1572864;
  uint32_t body_size = 131072;  // stored body_size field; 0 means 4096
  std::vector<block_entry> records;
  bool commit = true;
  uint64_t commit_value = 0;
};
struct writer_journal_result {
  std::string journal_path;
  std::string partial_image_path;
  uint8_t uuid[16] = {};
};
[[nodiscard]] status_t writer_write_journal(const writer_journal_spec& spec,
                                            writer_journal_result* out);
