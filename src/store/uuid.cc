#include "store/uuid.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool read_urandom(uint8_t* out, size_t len) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::read(fd, out + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return got == len;
}

// When /dev/urandom cannot be read (a chroot without /dev, say) the kernel's
// getrandom and then OpenSSL's generator stand in. The C library's rand() is
// never used: unseeded, it gives every process the same sequence, and two
// backups with one uuid would be indistinguishable to the chain logic.
void fill_random(uint8_t* out, size_t len) {
  if (read_urandom(out, len)) return;
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::getrandom(out + got, len - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == len) return;
  if (RAND_bytes(out, static_cast<int>(len)) == 1) return;
  fprintf(stderr, "fatal: no source of random bytes for a new uuid\n");
  abort();
}

}  // namespace

void uuid_generate(uint8_t out[UUID_SIZE]) {
  fill_random(out, UUID_SIZE);
  out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x40);
  out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);
}

void uuid_format(const uint8_t id[UUID_SIZE], char out[UUID_TEXT_SIZE]) {
  snprintf(out, UUID_TEXT_SIZE,
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", id[0], id[1],
           id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11], id[12], id[13],
           id[14], id[15]);
}

bool uuid_is_zero(const uint8_t id[UUID_SIZE]) {
  for (int i = 0; i < UUID_SIZE; i++)
    if (id[i] != 0) return false;
  return true;
}

bool uuid_equal(const uint8_t a[UUID_SIZE], const uint8_t b[UUID_SIZE]) {
  return memcmp(a, b, UUID_SIZE) == 0;
}
