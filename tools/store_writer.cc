#include "store_writer.h"

// Not built yet.
void writer_block_data(writer_content, uint64_t, uint64_t, uint8_t*, size_t) {}
status_t writer_write_backup(const writer_backup_spec&, writer_result*) {
  return STATUS_NOT_SUPPORTED;
}
status_t writer_flip_payload_byte(const writer_result&, uint64_t, uint32_t) {
  return STATUS_NOT_SUPPORTED;
}
status_t writer_truncate_image(const writer_result&, uint64_t) { return STATUS_NOT_SUPPORTED; }
status_t writer_break_table_digest(const writer_result&) { return STATUS_NOT_SUPPORTED; }
status_t writer_set_format_version(const writer_result&, uint16_t) { return STATUS_NOT_SUPPORTED; }
status_t writer_set_magic(const writer_result&, uint32_t) { return STATUS_NOT_SUPPORTED; }
status_t writer_write_journal(const writer_journal_spec&, writer_journal_result*) {
  return STATUS_NOT_SUPPORTED;
}
