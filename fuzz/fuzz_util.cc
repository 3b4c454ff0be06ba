#include "fuzz_util.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "base/fs.h"

namespace {

const std::string& scratch_dir() {
  static const std::string dir = [] {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/zuv_fuzz.XXXXXX";
    if (!mkdtemp(templ.data())) {
      perror("mkdtemp");
      abort();
    }
    return templ;
  }();
  return dir;
}

}  // namespace

std::string fuzz_write_file(const char* name, const uint8_t* data, size_t size) {
  std::string path = scratch_dir() + "/" + name;
  unique_fd fd;
  if (fs_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600, fd.out()) != STATUS_OK) abort();
  size_t put = 0;
  if (size > 0 && (fs_pwrite_all(fd.get(), data, size, 0, &put) != STATUS_OK || put != size))
    abort();
  if (fd.close() != STATUS_OK) abort();
  return path;
}
