// zuv_mkstore: makes real backup stores for the demo and the benchmark
// scripts, through the store writer library. Never installed.
//
// Exit status: 0 done, 1 the store operation failed, 2 usage error.
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/fs.h"
#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/key_file.h"
#include "store/backup.h"
#include "store/naming.h"
#include "store_writer.h"

namespace {

const char* const USAGE =
    "usage: zuv_mkstore COMMAND [OPTIONS]\n"
    "\n"
    "Makes backup stores for tests, the demo and benchmarks. Sizes take a K, M or G\n"
    "suffix (powers of 1024); times are unix seconds or now, now-40d, now+30d (units\n"
    "s, m, h, d); block lists are ids and ranges such as 0-5,9.\n"
    "\n"
    "zuv_mkstore backup --dir D [options]        prints the meta path\n"
    "  --name N             backup name (default db)\n"
    "  --kind K             full, diff or inc (default full)\n"
    "  --parent META        meta file of the parent (diff and inc; they take its block\n"
    "                       size, volume size and links)\n"
    "  --block-size B       full only (default 64K)\n"
    "  --volume-size V      full only (default 1M)\n"
    "  --created T          creation time (default now)\n"
    "  --retain-until T     retention end (default none)\n"
    "  --codec C            zstd, lz4 or none (default zstd); a block that does not\n"
    "                       shrink is stored raw\n"
    "  --level L            compression level (default 3)\n"
    "  --cipher C           aes (AES-256-GCM), chacha (ChaCha20-Poly1305) or none\n"
    "  --key-file K         key file for --cipher\n"
    "  --content C          random, text, zeros or mixed (default mixed)\n"
    "  --seed S             content seed (default 1); another seed changes every block\n"
    "  --blocks LIST        blocks that get a payload (default every block)\n"
    "  --no-data LIST       blocks stored as NO_DATA entries\n"
    "  --stem S             file name without extension (default <name>-<stamp>)\n"
    "\n"
    "zuv_mkstore damage --meta M ACTION          damages a backup in place\n"
    "  flip-byte BLOCK [BYTE]  invert one payload byte (default the middle one)\n"
    "  truncate LEN            cut the image file to LEN bytes\n"
    "  break-digest            invert a byte of the block table's digest\n"
    "  version V               set the header's format version\n"
    "  magic X                 set the header's magic (0x... for hex)\n"
    "\n"
    "zuv_mkstore journal --dir D [options]       an interrupted upload; prints the\n"
    "                                            journal path\n"
    "  --stem S             journal <S>.part, partial image <S>.csfb.tmp (default upload)\n"
    "  --kind K             full, diff or inc (default full)\n"
    "  --name N             backup name in the journal (default db)\n"
    "  --image-bytes B      size of the partial image (default 1536K); -1 for none\n"
    "  --records N          block records in the journal (default 3)\n"
    "  --commit-value V     value of the commit record (default 0)\n"
    "  --no-commit          leave the records uncommitted\n"
    "\n"
    "zuv_mkstore key --out K                     writes a new random key file (0600)\n"
    "\n"
    "zuv_mkstore --help                          this text\n";

struct usage_error {
  std::string text;
};

[[noreturn]] void usage_fail(const std::string& text) {
  throw usage_error{text};
}

// Options of one command: "--name value", "--name=value" and bare flags,
// with the positional words kept in order.
struct args {
  std::map<std::string, std::string> opts;
  std::vector<std::string> words;

  bool has(const char* name) const { return opts.count(name) != 0; }
  std::string get(const char* name, const char* fallback) const {
    auto it = opts.find(name);
    return it == opts.end() ? fallback : it->second;
  }
};

args parse(int argc, char** argv, int first, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags, const char* command) {
  args a;
  for (int i = first; i < argc; i++) {
    std::string s = argv[i];
    if (s.rfind("--", 0) != 0 || s == "--") {
      a.words.push_back(s);
      continue;
    }
    std::string name = s, value;
    bool inline_value = false;
    if (size_t eq = s.find('='); eq != std::string::npos) {
      name = s.substr(0, eq);
      value = s.substr(eq + 1);
      inline_value = true;
    }
    bool takes = std::find(valued.begin(), valued.end(), name) != valued.end();
    bool flag = std::find(flags.begin(), flags.end(), name) != flags.end();
    if (!takes && !flag) usage_fail("unknown option '" + name + "' for " + command);
    if (flag) {
      if (inline_value) usage_fail("option '" + name + "' takes no value");
      a.opts[name] = "";
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= argc) usage_fail("option '" + name + "' needs a value");
      value = argv[++i];
    }
    a.opts[name] = value;
  }
  return a;
}

// Plain decimal, or hexadecimal with 0x; nothing else.
bool to_u64(const std::string& s, uint64_t* out) {
  if (s.empty() || !isdigit(static_cast<unsigned char>(s[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

[[noreturn]] void bad_value(const char* what, const std::string& s) {
  usage_fail(std::string("bad ") + what + " '" + s + "'");
}

uint64_t parse_u64(const std::string& s, const char* what) {
  uint64_t v = 0;
  if (!to_u64(s, &v)) bad_value(what, s);
  return v;
}

int64_t parse_i64(const std::string& s, const char* what) {
  bool neg = !s.empty() && s[0] == '-';
  uint64_t v = 0;
  if (!to_u64(neg ? s.substr(1) : s, &v) || v > static_cast<uint64_t>(INT64_MAX))
    bad_value(what, s);
  return neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

// "4096", "64K", "8M", "1G".
uint64_t parse_size(const std::string& s, const char* what) {
  uint64_t mult = 1;
  std::string digits = s;
  if (!s.empty()) {
    switch (s.back()) {
      case 'k':
      case 'K':
        mult = 1ull << 10;
        break;
      case 'm':
      case 'M':
        mult = 1ull << 20;
        break;
      case 'g':
      case 'G':
        mult = 1ull << 30;
        break;
      default:
        break;
    }
  }
  if (mult != 1) digits.pop_back();
  uint64_t v = 0;
  if (!to_u64(digits, &v) || v > UINT64_MAX / mult) bad_value(what, s);
  return v * mult;
}

// Unix seconds, or "now" with an optional signed offset in s, m, h or d.
int64_t parse_time(const std::string& s, const char* what) {
  if (s.rfind("now", 0) != 0) return parse_i64(s, what);
  const int64_t t = now_seconds();
  if (s.size() == 3) return t;
  const char sign = s[3];
  std::string digits = s.substr(4);
  int64_t unit = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 's':
        digits.pop_back();
        break;
      case 'm':
        unit = 60;
        digits.pop_back();
        break;
      case 'h':
        unit = 3600;
        digits.pop_back();
        break;
      case 'd':
        unit = 86400;
        digits.pop_back();
        break;
      default:
        break;
    }
  }
  uint64_t n = 0;
  if ((sign != '+' && sign != '-') || !to_u64(digits, &n) ||
      n > static_cast<uint64_t>(INT64_MAX / 4 / unit))
    bad_value(what, s);
  const int64_t d = static_cast<int64_t>(n) * unit;
  return sign == '+' ? t + d : t - d;
}

// "0-5,9" -> 0 1 2 3 4 5 9.
std::vector<uint64_t> parse_blocks(const std::string& s, const char* what) {
  std::vector<uint64_t> ids;
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t dash = item.find('-');
    if (dash == std::string::npos) {
      ids.push_back(parse_u64(item, what));
    } else {
      uint64_t lo = parse_u64(item.substr(0, dash), what);
      uint64_t hi = parse_u64(item.substr(dash + 1), what);
      if (hi < lo || hi - lo > (1u << 24))
        usage_fail(std::string("bad ") + what + " range '" + item + "'");
      for (uint64_t id = lo; id <= hi; id++) ids.push_back(id);
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return ids;
}

uint8_t parse_kind(const std::string& s) {
  if (s == "full") return KIND_FULL;
  if (s == "diff") return KIND_DIFF;
  if (s == "inc") return KIND_INC;
  usage_fail("bad --kind '" + s + "' (full, diff or inc)");
}

int fail(const char* what, status_t st) {
  fprintf(stderr, "zuv_mkstore: %s failed: %s (status=%d)\n", what, status_message(st), st);
  return 1;
}

int cmd_backup(int argc, char** argv) {
  args a = parse(argc, argv, 2,
                 {"--dir", "--name", "--kind", "--parent", "--block-size", "--volume-size",
                  "--created", "--retain-until", "--codec", "--level", "--cipher", "--key-file",
                  "--content", "--seed", "--blocks", "--no-data", "--stem"},
                 {}, "backup");
  if (!a.words.empty()) usage_fail("unexpected argument '" + a.words[0] + "' for backup");
  if (!a.has("--dir")) usage_fail("backup needs --dir");

  writer_backup_desc desc;
  desc.dir = a.get("--dir", "");
  desc.name = a.get("--name", "db");
  desc.kind = parse_kind(a.get("--kind", "full"));
  desc.parent_meta = a.get("--parent", "");
  if (desc.kind == KIND_FULL && !desc.parent_meta.empty())
    usage_fail("--parent is for diff and inc backups");
  if (desc.kind != KIND_FULL && desc.parent_meta.empty())
    usage_fail("a diff or inc backup needs --parent");
  if (desc.kind != KIND_FULL && (a.has("--block-size") || a.has("--volume-size")))
    usage_fail("--block-size and --volume-size are taken from the parent");
  if (a.has("--block-size")) {
    uint64_t bs = parse_size(a.get("--block-size", ""), "--block-size");
    if (bs == 0 || bs > UINT32_MAX) usage_fail("--block-size must be 1 to 4G-1 bytes");
    desc.block_size = static_cast<uint32_t>(bs);
  }
  if (a.has("--volume-size"))
    desc.volume_size = parse_size(a.get("--volume-size", ""), "--volume-size");
  if (a.has("--created")) desc.created = parse_time(a.get("--created", ""), "--created");
  if (a.has("--retain-until"))
    desc.retain_until = parse_time(a.get("--retain-until", ""), "--retain-until");

  std::string codec = a.get("--codec", "zstd");
  if (codec == "zstd")
    desc.codec = CODEC_ZSTD;
  else if (codec == "lz4")
    desc.codec = CODEC_LZ4;
  else if (codec == "none")
    desc.codec = CODEC_NONE;
  else
    usage_fail("bad --codec '" + codec + "' (zstd, lz4 or none)");
  if (a.has("--level")) desc.level = static_cast<int>(parse_i64(a.get("--level", ""), "--level"));

  std::string cipher = a.get("--cipher", "none");
  if (cipher == "aes" || cipher == "aes-256-gcm")
    desc.cipher = CIPHER_AES_256_GCM;
  else if (cipher == "chacha" || cipher == "chacha20-poly1305")
    desc.cipher = CIPHER_CHACHA20_POLY1305;
  else if (cipher == "none")
    desc.cipher = CIPHER_NONE;
  else
    usage_fail("bad --cipher '" + cipher + "' (aes, chacha or none)");
  if ((desc.cipher != CIPHER_NONE) != a.has("--key-file"))
    usage_fail("--cipher and --key-file go together");
  if (desc.cipher != CIPHER_NONE) {
    desc.key.resize(CIPHER_KEY_SIZE);
    std::string path = a.get("--key-file", "");
    status_t st = load_key_file(path.c_str(), desc.key.data());
    if (st != STATUS_OK) {
      fprintf(stderr, "zuv_mkstore: cannot load --key-file %s: %s (status=%d)\n", path.c_str(),
              status_message(st), st);
      return 1;
    }
  }

  std::string content = a.get("--content", "mixed");
  if (content == "random")
    desc.content = writer_content::RANDOM;
  else if (content == "text")
    desc.content = writer_content::TEXT;
  else if (content == "zeros")
    desc.content = writer_content::ZEROS;
  else if (content == "mixed")
    desc.content = writer_content::MIXED;
  else
    usage_fail("bad --content '" + content + "' (random, text, zeros or mixed)");
  if (a.has("--seed")) desc.seed = parse_u64(a.get("--seed", ""), "--seed");
  if (a.has("--blocks")) desc.blocks = parse_blocks(a.get("--blocks", ""), "--blocks");
  if (a.has("--no-data")) desc.no_data_blocks = parse_blocks(a.get("--no-data", ""), "--no-data");
  desc.file_stem = a.get("--stem", "");

  writer_result r;
  status_t st = writer_write_backup(desc, &r);
  if (st != STATUS_OK) return fail("backup", st);
  printf("%s\n", r.meta_path.c_str());
  return 0;
}

int cmd_damage(int argc, char** argv) {
  args a = parse(argc, argv, 2, {"--meta"}, {}, "damage");
  if (!a.has("--meta")) usage_fail("damage needs --meta");
  if (a.words.empty()) usage_fail("damage needs an action");
  const std::string& action = a.words[0];
  const size_t nargs = a.words.size() - 1;

  writer_result b;
  b.meta_path = a.get("--meta", "");
  char image[PATH_CAP];
  if (image_path_for_meta(b.meta_path.c_str(), image, sizeof image) != STATUS_OK)
    usage_fail("--meta '" + b.meta_path + "' is not a meta file name");
  b.image_path = image;

  status_t st;
  if (action == "flip-byte") {
    if (nargs < 1 || nargs > 2) usage_fail("flip-byte takes BLOCK [BYTE]");
    uint64_t block = parse_u64(a.words[1], "block id");
    loaded_backup lb;
    st = backup_load(b.meta_path.c_str(), &lb);
    if (st != STATUS_OK) return fail("loading the backup", st);
    b.table = lb.table;
    backup_release(&lb);
    uint32_t byte = 0;
    if (nargs == 2) {
      uint64_t v = parse_u64(a.words[2], "byte");
      if (v > UINT32_MAX) usage_fail("byte out of range");
      byte = static_cast<uint32_t>(v);
    } else {
      for (const block_entry& e : b.table)
        if (e.block_id == block) byte = e.stored_len / 2;
    }
    st = writer_flip_payload_byte(b, block, byte);
  } else if (action == "truncate") {
    if (nargs != 1) usage_fail("truncate takes LEN");
    st = writer_truncate_image(b, parse_size(a.words[1], "length"));
  } else if (action == "break-digest") {
    if (nargs != 0) usage_fail("break-digest takes no argument");
    st = writer_break_table_digest(b);
  } else if (action == "version") {
    if (nargs != 1) usage_fail("version takes V");
    uint64_t v = parse_u64(a.words[1], "version");
    if (v > UINT16_MAX) usage_fail("version out of range");
    st = writer_set_format_version(b, static_cast<uint16_t>(v));
  } else if (action == "magic") {
    if (nargs != 1) usage_fail("magic takes X");
    uint64_t v = parse_u64(a.words[1], "magic");
    if (v > UINT32_MAX) usage_fail("magic out of range");
    st = writer_set_magic(b, static_cast<uint32_t>(v));
  } else {
    usage_fail("unknown damage action '" + action + "'");
  }
  return st == STATUS_OK ? 0 : fail(("damage " + action).c_str(), st);
}

int cmd_journal(int argc, char** argv) {
  args a =
      parse(argc, argv, 2,
            {"--dir", "--stem", "--kind", "--name", "--image-bytes", "--records", "--commit-value"},
            {"--no-commit"}, "journal");
  if (!a.words.empty()) usage_fail("unexpected argument '" + a.words[0] + "' for journal");
  if (!a.has("--dir")) usage_fail("journal needs --dir");
  writer_journal_desc desc;
  desc.dir = a.get("--dir", "");
  desc.stem = a.get("--stem", "upload");
  desc.kind = parse_kind(a.get("--kind", "full"));
  desc.name = a.get("--name", "db");
  std::string bytes = a.get("--image-bytes", "1536K");
  if (bytes == "-1") {
    desc.partial_image_bytes = -1;
  } else {
    uint64_t v = parse_size(bytes, "--image-bytes");
    if (v > static_cast<uint64_t>(INT64_MAX)) usage_fail("--image-bytes too large");
    desc.partial_image_bytes = static_cast<int64_t>(v);
  }
  uint64_t records = parse_u64(a.get("--records", "3"), "--records");
  if (records > (1u << 20)) usage_fail("--records too large");
  desc.commit = !a.has("--no-commit");
  desc.commit_value = parse_u64(a.get("--commit-value", "0"), "--commit-value");

  // Records describe payloads already in the partial image, back to back.
  const uint64_t image =
      desc.partial_image_bytes > 0 ? static_cast<uint64_t>(desc.partial_image_bytes) : 0;
  const uint64_t share = records ? image / records : 0;
  for (uint64_t i = 0; i < records; i++) {
    block_entry e;
    e.block_id = i;
    e.offset = i * share;
    e.stored_len = static_cast<uint32_t>(std::min<uint64_t>(share, UINT32_MAX));
    e.raw_len = DEFAULT_BLOCK_SIZE;
    e.codec = CODEC_ZSTD;
    for (int k = 0; k < 32; k++)
      e.sha256[k] = static_cast<uint8_t>(i * 31 + static_cast<uint64_t>(k));
    desc.records.push_back(e);
  }

  writer_journal_result r;
  status_t st = writer_write_journal(desc, &r);
  if (st != STATUS_OK) return fail("journal", st);
  printf("%s\n", r.journal_path.c_str());
  return 0;
}

int cmd_key(int argc, char** argv) {
  args a = parse(argc, argv, 2, {"--out"}, {}, "key");
  if (!a.words.empty()) usage_fail("unexpected argument '" + a.words[0] + "' for key");
  if (!a.has("--out")) usage_fail("key needs --out");
  uint8_t key[CIPHER_KEY_SIZE];
  if (RAND_bytes(key, sizeof key) != 1) {
    fprintf(stderr, "zuv_mkstore: no random bytes for the key\n");
    return 1;
  }
  std::string path = a.get("--out", "");
  status_t st = writer_write_key_file(path, key);
  OPENSSL_cleanse(key, sizeof key);
  if (st != STATUS_OK) return fail("writing the key file", st);
  printf("%s\n", path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(USAGE, stdout);
      return 0;
    }
  }
  try {
    if (argc < 2) usage_fail("no command given");
    std::string cmd = argv[1];
    if (cmd == "backup") return cmd_backup(argc, argv);
    if (cmd == "damage") return cmd_damage(argc, argv);
    if (cmd == "journal") return cmd_journal(argc, argv);
    if (cmd == "key") return cmd_key(argc, argv);
    usage_fail("unknown command '" + cmd + "'");
  } catch (const usage_error& e) {
    fprintf(stderr, "zuv_mkstore: %s\nTry 'zuv_mkstore --help'.\n", e.text.c_str());
    return 2;
  }
}
