// Shared test helpers: temporary directories, whole-file reads and writes,
// byte corruption, modes and the umask, running the built program or code in
// a child, capturing the log, and failing the Nth file system call through
// the fault seam of base/fs.h.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/fs.h"

namespace test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
uint64_t file_size(const std::string& path);
// Names in a directory, sorted (without "." and "..").
std::vector<std::string> list_dir(const std::string& dir);

// Every file of a directory (not its subdirectories) by name, with its bytes,
// so a test can say "nothing changed" or put a store back between runs.
using Snapshot = std::map<std::string, std::vector<uint8_t>>;
Snapshot snapshot(const std::string& dir);
// Makes dir hold exactly the files of s.
void restore(const std::string& dir, const Snapshot& s);

// The permission bits of path (mode & 07777); fails the test when path
// cannot be looked at.
mode_t mode_of(const std::string& path);

// Sets the process's umask while it lives.
struct umask_guard {
  mode_t old;
  explicit umask_guard(mode_t m) : old(umask(m)) {}
  ~umask_guard() { umask(old); }
  umask_guard(const umask_guard&) = delete;
  umask_guard& operator=(const umask_guard&) = delete;
};

// Whether a directory entry is a backup's meta file, and the name of the
// image file that goes with a meta file name.
bool is_meta_name(const std::string& name);
std::string image_name_of(const std::string& meta_name);

// XORs one byte of a file with mask (default: flips every bit).
void flip_byte(const std::string& path, uint64_t offset, uint8_t mask = 0xFF);
void truncate_file(const std::string& path, uint64_t length);

struct RunResult {
  int exit_status = -1;  // exit code, or 128 + signal number
  std::string out;
  std::string err;
};
// Runs a program with the given arguments (argv[0] is the program), standard
// input from /dev/null, and captures both outputs.
RunResult run(const std::string& program, const std::vector<std::string>& args);
// Runs the built zuv_maintenance with "--no-syslog --no-log" put right after
// the sub-command, so that the caller's last argument stays the last one.
RunResult run_zuv(std::vector<std::string> args);
std::string program_path();
// Starts the built zuv_maintenance with args and "--no-syslog --no-log",
// standard input and output on /dev/null and standard error written to
// err_path (made anew); returns its pid, or -1 when it cannot be started.
pid_t start_zuv(const std::vector<std::string>& args, const std::string& err_path = "/dev/null");
// Runs fn in a forked child that then ends with exit(fn()) (so end handlers
// run); returns the child's exit status, or 128 + signal.
int run_in_child(const std::function<int()>& fn);

// Runs fn with standard error sent to a temporary file; returns what it wrote.
std::string capture_stderr(const std::function<void()>& fn);
// Strips the "<time> [zuv_maintenance] LEVEL " prefix from every log line, so
// tests compare the text: "WARN  unknown option '--x' ignored".
std::string strip_log_times(const std::string& err);
// Lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

// What one call returned and the log lines it wrote, without their times.
struct Logged {
  status_t status = STATUS_OK;
  std::vector<std::string> lines;
};
Logged logged(const std::function<status_t()>& fn);

// Counts every file system call made through base/fs.h while alive and, when
// fail_at > 0, makes call number fail_at (counting from 1) of the chosen ops
// fail with err (or, with short_len > 0, transfer at most short_len bytes).
class FaultInjector {
 public:
  FaultInjector();
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;
  // Only calls of these ops are counted; empty = every op.
  void only(std::vector<fs_op> ops) { ops_ = std::move(ops); }
  void fail_at(uint64_t n, int err, size_t short_len = 0) {
    fail_at_ = n;
    err_ = err;
    short_len_ = short_len;
  }
  // Fails every call for which pred(op, path) holds.
  void fail_when(std::function<bool(fs_op, const char*)> pred, int err) {
    pred_ = std::move(pred);
    err_ = err;
  }
  uint64_t calls() const { return calls_; }
  bool fired() const { return fired_; }
  // The op of the call that was failed (or cut), once fired.
  fs_op fired_op() const { return fired_op_; }

 private:
  static fs_fault hook(fs_op op, const char* path, void* ctx);
  std::vector<fs_op> ops_;
  std::function<bool(fs_op, const char*)> pred_;
  uint64_t calls_ = 0;
  uint64_t fail_at_ = 0;
  int err_ = 0;
  size_t short_len_ = 0;
  bool fired_ = false;
  fs_op fired_op_ = FS_OP_OPEN;
};

// Number of open descriptors of this process (for leak checks).
int open_fd_count();

// Which pages of a file are in the page cache now, one flag per page.
std::vector<bool> cached_pages(const std::string& path);
size_t cached_page_count(const std::string& path);
// Writes the file's pages out and drops them from the page cache. False when
// the file system keeps them anyway (tmpfs, where they are the file), so a
// test about the cache cannot say anything there.
bool drop_from_cache(const std::string& path);
// Brings [offset, offset + len) of the file into the page cache.
void bring_into_cache(const std::string& path, uint64_t offset, uint64_t len);

}  // namespace test
