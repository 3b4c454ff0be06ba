#include "setup/encrypt_init.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

#include "base/fs.h"
#include "setup/setup_file.h"

namespace {

constexpr size_t KEY_BYTES = 32;
constexpr size_t KEY_HEX = 2 * KEY_BYTES;

}  // namespace

// The key is written to a 0600 temporary file beside the path and renamed
// over it only once it is complete and flushed: losing an existing key loses
// every backup encrypted with it, so a failure with --force must leave the old
// key file exactly as it was.
status_t encrypt_init(const encrypt_init_request& req, char* key_out, size_t key_cap) {
  if (!req.key_file || !key_out || key_cap <= KEY_HEX) return STATUS_INVALID;
  if (!req.force && fs_exists(req.key_file)) return STATUS_EXISTS;
  // A link at the path is never followed nor replaced: the key would land
  // wherever the link points, or the link the user set up would vanish.
  if (setup_path_is_symlink(req.key_file)) return STATUS_IO;

  uint8_t key[KEY_BYTES];
  if (RAND_bytes(key, sizeof key) != 1) return STATUS_IO;
  char text[KEY_HEX + 2];
  setup_hex_lower(key, sizeof key, text);
  OPENSSL_cleanse(key, sizeof key);
  text[KEY_HEX] = '\n';
  text[KEY_HEX + 1] = '\0';

  setup_temp_file tmp;
  status_t s = setup_temp_write(req.key_file, 0600, true, text, KEY_HEX + 1, &tmp);
  if (s == STATUS_OK) s = setup_commit(&tmp, 1);
  if (s == STATUS_OK) {
    memcpy(key_out, text, KEY_HEX);
    key_out[KEY_HEX] = '\0';
  }
  OPENSSL_cleanse(text, sizeof text);
  return s;
}
