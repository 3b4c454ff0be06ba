// The metrics file of scrub and run-loop: the figures of the last run in the
// Prometheus text exposition format, as node_exporter's textfile collector
// reads it (that collector reads only files whose names end in ".prom").
#pragma once

#include <string>

#include "base/status.h"
#include "ops/scrub_totals.h"

// The file's text: eight gauges, each with its HELP and TYPE lines, and the
// one label dir="<backup_dir>", escaped as the format wants (backslash,
// double quote and line feed; bytes that are not UTF-8 become U+FFFD, since
// a reader refuses the whole file over one).
std::string metrics_scrub_text(const char* backup_dir, const scrub_totals& t);

// Replaces path with the text, so that a reader sees the old file or the
// whole new one: written to a new temporary file beside it (not ending in
// ".prom", so the collector never reads it), flushed, renamed over path,
// and the directory flushed. On failure the temporary file is removed,
// path is left as it was, and the error is logged as "cannot write
// --metrics-file <path>: <reason>".
[[nodiscard]] status_t metrics_write_scrub(const char* path, const char* backup_dir,
                                           const scrub_totals& t);
