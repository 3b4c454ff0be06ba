#include "cli/app.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fs.h"
#include "base/log.h"
#include "base/status.h"
#include "base/version.h"
#include "cli/options.h"
#include "cli/runlog.h"
#include "cli/selftest.h"
#include "ops/delete.h"
#include "ops/metrics.h"
#include "ops/partials.h"
#include "ops/pipeline.h"
#include "ops/prune.h"
#include "ops/recompress.h"
#include "ops/scrub.h"
#include "ops/synthetic_full.h"
#include "setup/acl.h"
#include "setup/encrypt_init.h"
#include "setup/tls.h"

namespace {

// Shown after the banner; every line, blanks included, is part of the
// interface that scripts and the documentation quote.
const char USAGE_TEXT[] =
    R"USAGE(Usage: zuv_maintenance synthetic-full --target <meta> --search-dir <dir> --out <dir> --name <name>
       zuv_maintenance recompress --meta <path> --to zstd|lz4 --level <n>
       zuv_maintenance scrub --backup-dir <dir> [--decrypt-key-file <path>]
       zuv_maintenance delete --meta <path> --search-dir <dir> [--dry-run]
       zuv_maintenance prune --search-dir <dir> [--name <name>] [--dry-run] [--now <unix seconds>]
       zuv_maintenance run-loop --backup-dir <dir> [--poll-interval <seconds>]
                                [--decrypt-key-file <path>]
       zuv_maintenance acl-add --acl-file <path> --dir <name>[,<name2>,...] [--key <value>]
       zuv_maintenance tls-init --cert <path> --key <path> [--cn <name>] [--days <n>] [--force]
       zuv_maintenance encrypt-init --key-file <path> [--force]
       zuv_maintenance partials --dir <storage subdirectory> [--delete [--older-than <days>]]

scrub re-reads every block of every backup under --backup-dir and recomputes its
SHA-256, logging any mismatch ('bit rot detected') without touching the files; there is
no redundant copy to repair from in this single-target design, so it only detects, never
repairs, damage. --decrypt-key-file is required to check encrypted backups (same key file
used with --out-encryption/--target-encryption); without it, encrypted backups under
--backup-dir are skipped with a warning rather than misreported as corrupt. One key file
applies to the whole run -- if --backup-dir mixes chains with different keys, scrub them
separately.

run-loop runs scrub over --backup-dir every --poll-interval seconds (default 3600),
forever; a scaffold for future maintenance jobs (synthetic-full/recompress scheduling),
currently scrub-only. --decrypt-key-file is passed through to scrub as above.

delete removes the given backup and, transitively, every backup that
depends on it (deleting a FULL also removes its DIFF/INC chain; deleting
a DIFF also removes any INC chained off it). --search-dir is scanned for
dependents. --dry-run only prints what would be deleted.

prune deletes the backups in --search-dir (not its subdirectories) whose retention
(zuv_agent --retention, stored in each backup's header) has expired -- but only once
every DIFF/INC depending on a backup has expired too, so a chain stays restorable
until its last member expires. The newest backup of each name and its chain are
always kept; backups without a retention are never deleted. --name limits it to one
backup name, --dry-run only prints what would be deleted, --now replaces the current
time for the expiry check (testing).

acl-add appends a zuv_target ACL entry, creating --acl-file if it doesn't
exist yet. Without --key, a random 256-bit API key is generated and printed
once -- copy it into the client's api-key= (or --api-key file:<path> for a key
file). --dir may be a comma-
separated list of the storage subdirectories this key is allowed to use, each
a shell-style glob ("zor*", "zor/*", "zor/**" for any depth; see 'zuv_target
--help'). If --key already has an entry in --acl-file, appending another line
for it has no effect (the target only ever consults the first line matching a
key) -- edit that existing line's dir list by hand instead.

partials lists the interrupted backups in a storage subdirectory (image + journal that zuv_target keeps so an
agent can continue them). --delete removes them (only those older than --older-than days if given); make sure
no backup into that directory is running.

tls-init generates a self-signed ECDSA (P-256) certificate + private key for
zuv_target's --tls-cert/--tls-key (via OpenSSL directly, no external
'openssl' process). Refuses to overwrite existing files unless --force.

encrypt-init generates a random 256-bit key for zuv_agent's --out-key-file/
--target-key-file and zuv_restore's --decrypt-key-file. Printed once -- copy
the file itself to every machine that needs it (there is no other way to
recover it; losing it means losing access to the data it encrypted). Refuses
to overwrite an existing file unless --force.

Logging: --no-syslog                syslog output disabled for this run
         --no-log                   the program's own logfile disabled for this run
         --syslog <bitmask>          what to log to syslog (default: 1)
         --log <bitmask>             what to log to the own logfile (default: 1)
         --log-path <dir>            directory for the logfile (default: /var/log/zuv/)
         (bit 0 = one entry at program start and one at program end)
)USAGE";

// Option tables of the sub-commands. No sub-command option has an alias.
const option_spec SYNTHETIC_FULL_OPTIONS[] = {
    {"--target", nullptr, 1}, {"--search-dir", nullptr, 1}, {"--out", nullptr, 1},
    {"--name", nullptr, 1},   {nullptr, nullptr, 0},
};
const option_spec RECOMPRESS_OPTIONS[] = {
    {"--meta", nullptr, 1},    {"--to", nullptr, 1},  {"--level", nullptr, 1},
    {"--threads", nullptr, 1}, {nullptr, nullptr, 0},
};
const option_spec SCRUB_OPTIONS[] = {
    {"--backup-dir", nullptr, 1}, {"--repair", nullptr, 0}, {"--decrypt-key-file", nullptr, 1},
    {"--threads", nullptr, 1},    {"--subset", nullptr, 1}, {"--metrics-file", nullptr, 1},
    {nullptr, nullptr, 0},
};
const option_spec DELETE_OPTIONS[] = {
    {"--meta", nullptr, 1},
    {"--search-dir", nullptr, 1},
    {"--dry-run", nullptr, 0},
    {nullptr, nullptr, 0},
};
const option_spec PRUNE_OPTIONS[] = {
    {"--search-dir", nullptr, 1}, {"--name", nullptr, 1}, {"--dry-run", nullptr, 0},
    {"--now", nullptr, 1},        {nullptr, nullptr, 0},
};
const option_spec PARTIALS_OPTIONS[] = {
    {"--dir", nullptr, 1},
    {"--older-than", nullptr, 1},
    {"--delete", nullptr, 0},
    {nullptr, nullptr, 0},
};
const option_spec ACL_ADD_OPTIONS[] = {
    {"--acl-file", nullptr, 1},
    {"--dir", nullptr, 1},
    {"--key", nullptr, 1},
    {nullptr, nullptr, 0},
};
const option_spec TLS_INIT_OPTIONS[] = {
    {"--cert", nullptr, 1}, {"--key", nullptr, 1},   {"--cn", nullptr, 1},
    {"--days", nullptr, 1}, {"--force", nullptr, 0}, {nullptr, nullptr, 0},
};
const option_spec ENCRYPT_INIT_OPTIONS[] = {
    {"--key-file", nullptr, 1},
    {"--force", nullptr, 0},
    {nullptr, nullptr, 0},
};
const option_spec RUN_LOOP_OPTIONS[] = {
    {"--backup-dir", nullptr, 1},
    {"--poll-interval", nullptr, 1},
    {"--decrypt-key-file", nullptr, 1},
    {"--threads", nullptr, 1},
    {"--subsets", nullptr, 1},
    {"--metrics-file", nullptr, 1},
    {nullptr, nullptr, 0},
};

// The order in which sub-command names are compared; the index is the
// command's id below.
enum command_id : int {
  CMD_SYNTHETIC_FULL,
  CMD_RECOMPRESS,
  CMD_SCRUB,
  CMD_DELETE,
  CMD_PRUNE,
  CMD_PARTIALS,
  CMD_ACL_ADD,
  CMD_TLS_INIT,
  CMD_ENCRYPT_INIT,
  CMD_RUN_LOOP,
  COMMAND_COUNT,
};

const command_spec COMMANDS[COMMAND_COUNT] = {
    {"synthetic-full", SYNTHETIC_FULL_OPTIONS},
    {"recompress", RECOMPRESS_OPTIONS},
    {"scrub", SCRUB_OPTIONS},
    {"delete", DELETE_OPTIONS},
    {"prune", PRUNE_OPTIONS},
    {"partials", PARTIALS_OPTIONS},
    {"acl-add", ACL_ADD_OPTIONS},
    {"tls-init", TLS_INIT_OPTIONS},
    {"encrypt-init", ENCRYPT_INIT_OPTIONS},
    {"run-loop", RUN_LOOP_OPTIONS},
};

}  // namespace

const command_spec* app_commands(size_t* count) {
  *count = COMMAND_COUNT;
  return COMMANDS;
}

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

int print_usage(int exit_status) {
  printf("%s %s (build %s)\n\n", PROGRAM_NAME, PROGRAM_VERSION, PROGRAM_BUILD);
  fputs(USAGE_TEXT, stdout);
  return exit_status;
}

// The one failure line of a sub-command; the exit status is always 1, never
// the operation's status.
int report_failure(const char* command, status_t s) {
  log_write(LOG_ERROR_LEVEL, PROGRAM_NAME " %s failed: %s (status=%d)", command, status_message(s),
            s);
  return EXIT_FAILED;
}

// Operations that print their own report on success.
int report(const char* command, status_t s) {
  return s == STATUS_OK ? EXIT_OK : report_failure(command, s);
}

// strtol rules: leading blanks and a sign accepted, conversion stops at the
// first non-digit, no digits give 0.
long to_long(const char* text) {
  return strtol(text, nullptr, 10);
}

// A whole decimal number and nothing else (leading blanks and a sign as
// strtoll takes them). False for empty text, text without digits, and text
// with anything after the number.
bool parse_whole_number(const char* text, int64_t* out) {
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (end == text || *end != '\0') return false;
  *out = v;
  return true;
}

#define VALUE(name) opt_value(argc, argv, name, nullptr, nullptr)
#define FLAG(name) opt_flag(argc, argv, name, nullptr)

// An option whose value parse() must accept, or absent (*out is then left
// as it is). False, with the error line printed, for a value parse()
// refuses or a missing one; checked, as --threads, before anything is
// opened.
template <typename T>
bool parsed_option(int argc, char** argv, const char* name, bool (*parse)(const char*, T*), T* out,
                   const char* error_line) {
  const char* text = VALUE(name);
  if (!text && !FLAG(name)) return true;
  if (text && parse(text, out)) return true;
  fputs(error_line, stderr);
  return false;
}

// --threads of scrub, run-loop and recompress: a whole number from 1 up (more
// than the pipeline's maximum are cut to it), or, without the option, one
// thread per CPU this process may run on. False, with the error line
// printed, for anything else, its value missing included: checked before
// the required options, so nothing is opened.
bool threads_parse(const char* text, size_t* out) {
  int64_t n = 0;
  if (!parse_whole_number(text, &n) || n < 1) return false;
  *out = static_cast<uint64_t>(n) < PIPELINE_MAX_THREADS ? static_cast<size_t>(n)
                                                         : PIPELINE_MAX_THREADS;
  return true;
}

bool threads_option(int argc, char** argv, size_t* out) {
  *out = pipeline_default_threads();
  return parsed_option(argc, argv, "--threads", threads_parse, out,
                       "error: --threads must be a whole number from 1 up\n");
}

// --metrics-file of scrub and run-loop: a path, or null without the option.
// False, with the error line printed, when the option has no value or an
// empty one: a run asked for metrics must not quietly write none.
bool path_parse(const char* text, const char** out) {
  if (*text == '\0') return false;
  *out = text;
  return true;
}

bool metrics_option(int argc, char** argv, const char** out) {
  *out = nullptr;
  return parsed_option(argc, argv, "--metrics-file", path_parse, out,
                       "error: --metrics-file needs a path\n");
}

// --subset K/N of scrub: slice K of N, or the whole store without it.
bool subset_option(int argc, char** argv, scrub_slice* out) {
  return parsed_option(argc, argv, "--subset", scrub_slice_parse, out,
                       "error: --subset must be K/N with 1 <= K <= N <= 10000\n");
}

// --subsets N of run-loop: the passes check slice 1, 2, ..., N, 1, ...; 0
// (every pass checks the whole store) without it.
bool subsets_option(int argc, char** argv, uint32_t* out) {
  return parsed_option(argc, argv, "--subsets", scrub_slice_count_parse, out,
                       "error: --subsets must be a whole number from 1 to 10000\n");
}
static_assert(SCRUB_SLICES_MAX == 10000, "the error lines name the largest slice count");

int run_synthetic_full(int argc, char** argv) {
  synthetic_full_request req;
  req.target = VALUE("--target");
  req.search_dir = VALUE("--search-dir");
  req.out_dir = VALUE("--out");
  req.name = VALUE("--name");
  if (!req.target || !req.search_dir || !req.out_dir || !req.name) return print_usage(EXIT_USAGE);
  return report("synthetic-full", synthetic_full(req));
}

int run_recompress(int argc, char** argv) {
  recompress_request req;
  req.meta_path = VALUE("--meta");
  const char* to = opt_value(argc, argv, "--to", nullptr, "zstd");
  req.codec = strcmp(to, "lz4") == 0 ? CODEC_LZ4 : CODEC_ZSTD;
  // Warned before the test for --meta, so the warning shows even above the
  // usage text.
  if (strcmp(to, "lz4") != 0 && strcmp(to, "zstd") != 0)
    log_write(LOG_WARN_LEVEL, "--to '%s' unknown, using zstd", to);
  req.level = static_cast<int32_t>(to_long(opt_value(argc, argv, "--level", nullptr, "9")));
  if (!threads_option(argc, argv, &req.threads)) return EXIT_USAGE;
  if (!req.meta_path) return print_usage(EXIT_USAGE);
  return report("recompress", recompress_backup(req));
}

int run_scrub(int argc, char** argv) {
  scrub_request req;
  req.backup_dir = VALUE("--backup-dir");
  req.repair = FLAG("--repair");
  req.decrypt_key_file = VALUE("--decrypt-key-file");
  if (!threads_option(argc, argv, &req.threads)) return EXIT_USAGE;
  if (!subset_option(argc, argv, &req.slice)) return EXIT_USAGE;
  const char* metrics_file = nullptr;
  if (!metrics_option(argc, argv, &metrics_file)) return EXIT_USAGE;
  if (!req.backup_dir) return print_usage(EXIT_USAGE);
  scrub_totals totals;
  req.totals = &totals;
  status_t s = scrub_backups(req);
  // Every run that got as far as scrubbing writes its figures, a failed one
  // too (success 0). A run asked for metrics that could not write them has
  // failed, though every block verified: monitoring would go on showing the
  // last run's figures as if they were this one's.
  if (metrics_file) {
    status_t m = metrics_write_scrub(metrics_file, req.backup_dir, totals);
    if (s == STATUS_OK) s = m;
  }
  return report("scrub", s);
}

int run_delete(int argc, char** argv) {
  delete_request req;
  req.meta_path = VALUE("--meta");
  req.search_dir = VALUE("--search-dir");
  req.dry_run = FLAG("--dry-run");
  if (!req.meta_path || !req.search_dir) return print_usage(EXIT_USAGE);
  return report("delete", delete_backup(req));
}

int run_prune(int argc, char** argv) {
  prune_request req;
  req.search_dir = VALUE("--search-dir");
  req.name_filter = VALUE("--name");
  req.dry_run = FLAG("--dry-run");
  req.now = now_seconds();
  // Checked before --search-dir: a wrong clock must never reach the expiry
  // test, and the message says exactly what is wrong.
  if (const char* now_text = VALUE("--now")) {
    int64_t now = 0;
    if (!parse_whole_number(now_text, &now) || now <= 0) {
      fputs("error: --now must be unix seconds\n", stderr);
      return EXIT_USAGE;
    }
    req.now = now;
  }
  if (!req.search_dir) return print_usage(EXIT_USAGE);
  return report("prune", prune_backups(req));
}

constexpr int64_t OLDER_THAN_MAX_DAYS = 36500;

int run_partials(int argc, char** argv) {
  const char* dir = VALUE("--dir");
  int32_t delete_flag = FLAG("--delete");
  // Without --older-than every interrupted upload qualifies (-1: no age
  // limit). A given value must be a whole number of days from 0 to 100
  // years: text read as 0, or a negative number, would let --delete remove
  // an upload still being written, and a value past the range would be
  // clamped without a word. So is --older-than with its value missing.
  int64_t older_than_days = -1;
  const char* older = VALUE("--older-than");
  if (older || FLAG("--older-than")) {
    if (!older || !parse_whole_number(older, &older_than_days) || older_than_days < 0 ||
        older_than_days > OLDER_THAN_MAX_DAYS) {
      fputs("error: --older-than must be a whole number of days\n", stderr);
      return EXIT_USAGE;
    }
  }
  if (!dir) return print_usage(EXIT_USAGE);
  // partials words its own failures and chooses its exit status.
  return list_partials(dir, delete_flag, older_than_days);
}

int run_acl_add(int argc, char** argv) {
  acl_add_request req;
  req.acl_file = VALUE("--acl-file");
  req.dirs = VALUE("--dir");
  req.key = VALUE("--key");
  if (!req.acl_file || !req.dirs) return print_usage(EXIT_USAGE);
  char key[65] = {};
  status_t s = acl_add(req, key, sizeof key);
  if (s != STATUS_OK) return report_failure("acl-add", s);
  printf("added to %s: key=%s dirs=%s\n", req.acl_file, key, req.dirs);
  return EXIT_OK;
}

int run_tls_init(int argc, char** argv) {
  tls_init_request req;
  req.cert_path = VALUE("--cert");
  req.key_path = VALUE("--key");
  req.common_name = VALUE("--cn");
  const char* days = VALUE("--days");
  req.days = days ? static_cast<int32_t>(to_long(days)) : 0;
  req.force = FLAG("--force");
  if (!req.cert_path || !req.key_path) return print_usage(EXIT_USAGE);
  status_t s = tls_init(req);
  if (s == STATUS_EXISTS) {
    fprintf(stderr, "error: %s or %s already exists (use --force to overwrite)\n", req.cert_path,
            req.key_path);
  }
  if (s != STATUS_OK) return report_failure("tls-init", s);
  printf("wrote certificate to %s and private key to %s\n", req.cert_path, req.key_path);
  return EXIT_OK;
}

int run_encrypt_init(int argc, char** argv) {
  encrypt_init_request req;
  req.key_file = VALUE("--key-file");
  req.force = FLAG("--force");
  if (!req.key_file) return print_usage(EXIT_USAGE);
  char key[65] = {};
  status_t s = encrypt_init(req, key, sizeof key);
  if (s == STATUS_EXISTS)
    fprintf(stderr, "error: %s already exists (use --force to overwrite)\n", req.key_file);
  if (s != STATUS_OK) return report_failure("encrypt-init", s);
  printf(
      "wrote a new encryption key to %s -- note it now, it cannot be shown again:\n%s\ncopy the "
      "file itself (not just this printout) to every machine that needs it.\n",
      req.key_file, key);
  return EXIT_OK;
}

// Returns only on a usage error: the loop runs until the process is stopped.
int run_run_loop(int argc, char** argv) {
  const char* backup_dir = VALUE("--backup-dir");
  const char* interval = opt_value(argc, argv, "--poll-interval", nullptr, "3600");
  uint32_t poll_interval = static_cast<uint32_t>(strtoul(interval, nullptr, 10));
  const char* key_file = VALUE("--decrypt-key-file");
  size_t threads = 1;
  if (!threads_option(argc, argv, &threads)) return EXIT_USAGE;
  uint32_t subsets = 0;
  if (!subsets_option(argc, argv, &subsets)) return EXIT_USAGE;
  const char* metrics_file = nullptr;
  if (!metrics_option(argc, argv, &metrics_file)) return EXIT_USAGE;
  if (!backup_dir) return print_usage(EXIT_USAGE);
  maintenance_loop(backup_dir, poll_interval, key_file, threads, subsets, metrics_file);
}

bool removes_files(int cmd, int argc, char** argv) {
  return cmd == CMD_DELETE || cmd == CMD_PRUNE || (cmd == CMD_PARTIALS && FLAG("--delete"));
}

#undef VALUE
#undef FLAG

}  // namespace

int app_main(int argc, char** argv) {
  int early = version_or_selftest(argc, argv, PROGRAM_NAME);
  if (early >= 0) return early;  // no log, no run-log entry

  log_init(PROGRAM_NAME, LOG_INFO_LEVEL);
  // Set up before anything can fail, so even a usage error leaves a start and
  // an end entry.
  runlog_init(opt_runlog_settings(argc, argv), PROGRAM_NAME);

  if (argc <= 1) return print_usage(EXIT_USAGE);
  if (opt_flag(argc, argv, "--help", "-h")) return print_usage(EXIT_OK);

  int cmd = 0;
  while (cmd < COMMAND_COUNT && strcmp(argv[1], COMMANDS[cmd].name) != 0) cmd++;
  if (cmd == COMMAND_COUNT) return print_usage(EXIT_USAGE);

  // Warnings only, except for the commands that remove backups or uploads:
  // there a mistyped flag ("--dry-run=yes", "--dryrun", or "dry-run" with a
  // typographic dash pasted in front, which is no option at all) would be
  // warned about and the removal done for real, so any argument no table
  // explains is a usage error, before anything is opened.
  if (opt_validate(argc, argv, COMMANDS[cmd].options, 1) > 0 && removes_files(cmd, argc, argv))
    return print_usage(EXIT_USAGE);

  switch (cmd) {
    case CMD_SYNTHETIC_FULL:
      return run_synthetic_full(argc, argv);
    case CMD_RECOMPRESS:
      return run_recompress(argc, argv);
    case CMD_SCRUB:
      return run_scrub(argc, argv);
    case CMD_DELETE:
      return run_delete(argc, argv);
    case CMD_PRUNE:
      return run_prune(argc, argv);
    case CMD_PARTIALS:
      return run_partials(argc, argv);
    case CMD_ACL_ADD:
      return run_acl_add(argc, argv);
    case CMD_TLS_INIT:
      return run_tls_init(argc, argv);
    case CMD_ENCRYPT_INIT:
      return run_encrypt_init(argc, argv);
    case CMD_RUN_LOOP:
      return run_run_loop(argc, argv);
  }
  return EXIT_USAGE;
}
