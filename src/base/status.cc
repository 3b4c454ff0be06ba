#include "base/status.h"

const char* status_message(status_t status) {
  switch (status) {
    case STATUS_OK:
      return "ok";
    case STATUS_IO:
      return "I/O error";
    case STATUS_NO_MEMORY:
      return "out of memory";
    case STATUS_INVALID:
      return "invalid argument or request";
    case STATUS_NOT_FOUND:
      return "not found";
    case STATUS_EXISTS:
      return "already exists";
    case STATUS_NOT_SUPPORTED:
      return "not supported";
    case STATUS_CORRUPT:
      return "corrupt or inconsistent data";
    case STATUS_PROTOCOL:
      return "protocol error";
    case STATUS_AGAIN:
      return "temporarily unavailable";
    case STATUS_DECRYPT:
      return "decryption failed (wrong key or corrupted data)";
    default:
      return "unknown error";
  }
}
