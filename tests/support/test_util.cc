#include "support/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "store/naming.h"

extern char** environ;

namespace test {

namespace {

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* d = opendir(path.c_str())) {
      while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        remove_tree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zuv-test.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  remove_tree(path_);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

std::string read_text(const std::string& path) {
  auto b = read_file(path);
  return std::string(b.begin(), b.end());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::string& path, const std::string& text) {
  write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

uint64_t file_size(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return static_cast<uint64_t>(st.st_size);
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void flip_byte(const std::string& path, uint64_t offset, uint8_t mask) {
  auto b = read_file(path);
  if (offset >= b.size()) throw std::runtime_error("flip_byte past the end of " + path);
  b[offset] ^= mask;
  write_file(path, b);
}

void truncate_file(const std::string& path, uint64_t length) {
  if (truncate(path.c_str(), static_cast<off_t>(length)) != 0)
    throw std::runtime_error("cannot truncate " + path);
}

pid_t start_zuv(const std::vector<std::string>& args, const std::string& err_path) {
  std::vector<std::string> all = {program_path()};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back("--no-syslog");
  all.push_back("--no-log");
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, all[0].c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

RunResult run(const std::string& program, const std::vector<std::string>& args) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  posix_spawn_file_actions_addclose(&fa, out_pipe[0]);
  posix_spawn_file_actions_addclose(&fa, err_pipe[0]);
  std::vector<std::string> all;
  all.push_back(program);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("cannot spawn " + program);
  }
  RunResult r;
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_count--;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    r.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    r.exit_status = 128 + WTERMSIG(status);
  return r;
}

std::string program_path() {
  return ZUV_PROGRAM_PATH;
}

RunResult run_zuv(std::vector<std::string> args) {
  args.insert(args.begin() + (args.empty() ? 0 : 1), {"--no-syslog", "--no-log"});
  return run(program_path(), args);
}

int run_in_child(const std::function<int()>& fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) exit(fn());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string capture_stderr(const std::function<void()>& fn) {
  fflush(stderr);
  FILE* tmp = tmpfile();
  int saved = dup(2);
  dup2(fileno(tmp), 2);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string out;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

Logged logged(const std::function<status_t()>& fn) {
  Logged l;
  l.lines = lines_of(strip_log_times(capture_stderr([&] { l.status = fn(); })));
  return l;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

Snapshot snapshot(const std::string& dir) {
  Snapshot s;
  for (const std::string& name : list_dir(dir)) s[name] = read_file(dir + "/" + name);
  return s;
}

void restore(const std::string& dir, const Snapshot& s) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
  for (const auto& [name, bytes] : s) write_file(dir + "/" + name, bytes);
}

bool is_meta_name(const std::string& name) {
  return is_meta_file_name(name.c_str());
}

std::string image_name_of(const std::string& meta_name) {
  char out[1024];
  EXPECT_EQ(image_path_for_meta(meta_name.c_str(), out, sizeof out), STATUS_OK);
  return out;
}

std::string strip_log_times(const std::string& err) {
  static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[zuv_maintenance\] )",
                                 std::regex::multiline);
  return std::regex_replace(err, prefix, "");
}

FaultInjector::FaultInjector() {
  fs_set_fault_hook(&FaultInjector::hook, this);
}
FaultInjector::~FaultInjector() {
  fs_set_fault_hook(nullptr, nullptr);
}

fs_fault FaultInjector::hook(fs_op op, const char* path, void* ctx) {
  auto* self = static_cast<FaultInjector*>(ctx);
  fs_fault f;
  if (self->pred_ && self->pred_(op, path)) {
    self->fired_ = true;
    self->fired_op_ = op;
    f.err = self->err_;
    return f;
  }
  if (!self->ops_.empty() &&
      std::find(self->ops_.begin(), self->ops_.end(), op) == self->ops_.end())
    return f;
  self->calls_++;
  if (self->fail_at_ != 0 && self->calls_ == self->fail_at_) {
    self->fired_ = true;
    self->fired_op_ = op;
    if (self->short_len_ > 0)
      f.max_len = self->short_len_;
    else
      f.err = self->err_;
  }
  return f;
}

int open_fd_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
    n--;  // the descriptor of this listing
  }
  return n;
}

}  // namespace test

namespace test {

std::vector<bool> cached_pages(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st;
  std::vector<bool> pages;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    const size_t len = static_cast<size_t>(st.st_size);
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* map = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      std::vector<unsigned char> vec((len + page - 1) / page);
      if (::mincore(map, len, vec.data()) == 0)
        for (unsigned char v : vec) pages.push_back(v & 1);
      ::munmap(map, len);
    }
  }
  ::close(fd);
  return pages;
}

size_t cached_page_count(const std::string& path) {
  size_t n = 0;
  for (bool cached : cached_pages(path)) n += cached;
  return n;
}

bool drop_from_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
  return cached_page_count(path) == 0;
}

void bring_into_cache(const std::string& path, uint64_t offset, uint64_t len) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<uint8_t> buf(1 << 20);
  while (len > 0) {
    const size_t n = len < buf.size() ? static_cast<size_t>(len) : buf.size();
    const ssize_t got = ::pread(fd, buf.data(), n, static_cast<off_t>(offset));
    if (got <= 0) break;
    offset += static_cast<uint64_t>(got);
    len -= static_cast<uint64_t>(got);
  }
  ::close(fd);
}

}  // namespace test
