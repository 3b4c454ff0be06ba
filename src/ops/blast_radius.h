// What a scrub's bad blocks break: the restores that read them. A restore
// reads each block from the newest member of its chain that has an entry for
// it, so a bad block of backup D breaks D's own restore and that of every
// DIFF or INC resting on D in whose chain no backup after D has an entry for
// that block (a NO_DATA entry included: it hides the older one as well).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The bad blocks of one backup, as scrub found them.
struct damaged_backup {
  std::string meta_path;            // as in its bit rot lines
  std::vector<uint64_t> block_ids;  // in the order found
};

struct damage_record {
  std::vector<damaged_backup> backups;  // in the order their first bad block was found
  bool incomplete = false;              // memory ran out: a bad block is missing here
};

// Records one bad block. Never throws: without memory the record is marked
// incomplete instead.
void damage_record_add(damage_record* record, const char* meta_path, uint64_t block_id);

// Logs, for each damaged backup of the record, one WARN line
// "bit rot in <meta> breaks the restore of: <meta>, <meta>, ..." naming the
// damaged backup first and then the backups of dir resting on it whose
// restore reads one of its bad blocks: along each chain from the damaged
// backup outwards, a backup before those resting on it, and backups resting
// on the same one by their creation time (then their path). Reads headers
// and tables only; what it cannot read it says in a WARN line, so that a
// list is never taken for whole when it may not be. Logs nothing for an
// empty record.
void blast_radius_report(const char* dir, const damage_record& record);
