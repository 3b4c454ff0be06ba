#include "setup/tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "base/dir_lock.h"
#include "base/fs.h"
#include "base/log.h"
#include "base/text.h"
#include "setup/setup_file.h"

namespace {

constexpr const char* DEFAULT_COMMON_NAME = "zuv-target";
constexpr int32_t DEFAULT_DAYS = 3650;
constexpr long SECONDS_PER_DAY = 86400;
constexpr size_t SERIAL_BYTES = 16;
constexpr size_t HOST_NAME_MAX_LEN = 253;
constexpr size_t HOST_LABEL_MAX_LEN = 63;
constexpr size_t COMMON_NAME_MAX_LEN = 64;  // what a certificate's CN can hold

template <auto fn>
struct ossl_deleter {
  template <typename T>
  void operator()(T* p) const {
    fn(p);
  }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, ossl_deleter<EVP_PKEY_free>>;
using x509_ptr = std::unique_ptr<X509, ossl_deleter<X509_free>>;
using bn_ptr = std::unique_ptr<BIGNUM, ossl_deleter<BN_free>>;
using asn1_int_ptr = std::unique_ptr<ASN1_INTEGER, ossl_deleter<ASN1_INTEGER_free>>;
using ext_ptr = std::unique_ptr<X509_EXTENSION, ossl_deleter<X509_EXTENSION_free>>;
using bio_ptr = std::unique_ptr<BIO, ossl_deleter<BIO_free_all>>;

// A random positive serial of at most 16 bytes. Zero is drawn again: a
// serial must be positive, and all-zero random bytes are not.
bool set_random_serial(X509* cert) {
  uint8_t bytes[SERIAL_BYTES];
  bn_ptr bn;
  do {
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7f;
    bn.reset(BN_bin2bn(bytes, sizeof bytes, nullptr));
    if (!bn) return false;
  } while (BN_is_zero(bn.get()));
  asn1_int_ptr serial(BN_to_ASN1_INTEGER(bn.get(), nullptr));
  return serial && X509_set_serialNumber(cert, serial.get()) == 1;
}

bool is_ip_address(const char* text) {
  unsigned char addr[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, text, addr) == 1 || inet_pton(AF_INET6, text, addr) == 1;
}

bool is_host_label(std::string_view label) {
  if (label.empty() || label.size() > HOST_LABEL_MAX_LEN) return false;
  for (char c : label) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  return true;
}

// An IP address, a host name (dot-separated labels of letters, digits and
// "-"), or a host name behind "*." for a wildcard. The name goes into the
// subjectAltName as "DNS:<cn>" or "IP:<cn>", a text OpenSSL reads as a list:
// a comma there would add names of the caller's choosing (another domain,
// another address) to a certificate clients trust for this server.
bool common_name_is_acceptable(const char* cn) {
  if (is_ip_address(cn)) return true;
  std::string_view name(cn);
  if (name.starts_with("*.")) name.remove_prefix(2);
  if (name.empty() || name.size() > HOST_NAME_MAX_LEN) return false;
  for (;;) {
    size_t dot = name.find('.');
    if (!is_host_label(name.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    name.remove_prefix(dot + 1);
  }
}

// "IP:<cn>" when the common name is an IPv4 or IPv6 address, else "DNS:<cn>".
// The common name has been checked, so the value names exactly one entry.
bool add_subject_alt_name(X509* cert, const char* common_name) {
  char value[300];
  snprintf(value, sizeof value, "%s:%s", is_ip_address(common_name) ? "IP" : "DNS", common_name);

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  ext_ptr ext(X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, value));
  if (!ext) {
    ERR_clear_error();
    return true;
  }
  return X509_add_ext(cert, ext.get(), -1) == 1;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

const char* last_component(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// True when the two paths name one file, however spelled: the same last
// component in one directory ("./srv.pem" and "srv.pem"), or two names of
// one existing file (a hard link, a link). Writing both would leave the
// certificate where the private key was meant to be.
bool paths_name_one_file(const char* a, const char* b) {
  char dir_a[PATH_MAX], dir_b[PATH_MAX];
  struct stat sa, sb;
  if (dir_of_path(a, dir_a, sizeof dir_a) && dir_of_path(b, dir_b, sizeof dir_b) &&
      fs_stat(dir_a, &sa) == STATUS_OK && fs_stat(dir_b, &sb) == STATUS_OK && same_file(sa, sb) &&
      strcmp(last_component(a), last_component(b)) == 0)
    return true;
  return fs_stat(a, &sa) == STATUS_OK && fs_stat(b, &sb) == STATUS_OK && same_file(sa, sb);
}

// Something other than a regular file at path (a directory, a FIFO, a
// device; through a link too): never replaced, --force or not.
bool exists_and_is_not_regular(const char* path) {
  struct stat st;
  return fs_stat(path, &st) == STATUS_OK && !S_ISREG(st.st_mode);
}

// Checks what can be refused before anything is made: STATUS_INVALID, with
// the reason logged, or STATUS_OK.
status_t check_request(const char* cert_path, const char* key_path, const char* common_name) {
  if (!common_name_is_acceptable(common_name)) {
    char shown[TEXT_ESCAPED_CAP];
    log_write(LOG_ERROR_LEVEL,
              "--cn '%s' is not a host name, an IP address or a *. wildcard host name",
              text_escape_control(common_name, shown, sizeof shown));
    return STATUS_INVALID;
  }
  if (strlen(common_name) > COMMON_NAME_MAX_LEN) {
    log_write(LOG_ERROR_LEVEL, "--cn '%s' is longer than the %zu characters of a common name",
              common_name, COMMON_NAME_MAX_LEN);
    return STATUS_INVALID;
  }
  if (strcmp(cert_path, key_path) == 0 || paths_name_one_file(cert_path, key_path)) {
    log_write(LOG_ERROR_LEVEL,
              "%s and %s are one file: the certificate would replace the private key", cert_path,
              key_path);
    return STATUS_INVALID;
  }
  for (const char* path : {key_path, cert_path}) {
    if (exists_and_is_not_regular(path)) {
      log_write(LOG_ERROR_LEVEL, "%s is not a regular file; refusing to replace it", path);
      return STATUS_INVALID;
    }
  }
  return STATUS_OK;
}

// Builds and signs the certificate for key. False on any failure, including a
// validity whose end cannot be represented.
bool build_certificate(EVP_PKEY* key, const char* common_name, int32_t days, x509_ptr* out) {
  x509_ptr cert(X509_new());
  if (!cert) return false;
  if (!set_random_serial(cert.get())) return false;
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1) return false;
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0)) return false;
  if (!X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(days) * SECONDS_PER_DAY))
    return false;
  if (X509_set_pubkey(cert.get(), key) != 1) return false;

  X509_NAME* name = X509_get_subject_name(cert.get());
  if (!name || X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>(common_name), -1,
                                          -1, 0) != 1)
    return false;
  if (X509_set_issuer_name(cert.get(), name) != 1) return false;
  if (!add_subject_alt_name(cert.get(), common_name)) return false;
  if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) return false;
  *out = std::move(cert);
  return true;
}

// Runs write_pem on a memory BIO and copies out what it produced.
template <typename Fn>
bool pem_to_memory(Fn write_pem, std::string* out) {
  bio_ptr bio(BIO_new(BIO_s_mem()));
  if (!bio || write_pem(bio.get()) != 1) return false;
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  if (len <= 0 || !data) return false;
  try {
    out->assign(data, static_cast<size_t>(len));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

status_t tls_init(const tls_init_request& req) {
  if (!req.cert_path || !req.key_path) return STATUS_INVALID;
  const char* cn = req.common_name ? req.common_name : DEFAULT_COMMON_NAME;
  return make_self_signed_cert(req.cert_path, req.key_path, cn, req.days, req.force);
}

// Both files are written to temporary files beside their paths and renamed
// into place only once both are complete, so a failure leaves neither a
// half-written file nor a new key beside an old certificate. The private key
// is 0600 from the moment it exists, and neither path is written through a
// symbolic link.
status_t make_self_signed_cert(const char* cert_path, const char* key_path, const char* common_name,
                               int32_t days, int32_t force) {
  if (!key_path || !common_name || !cert_path) return STATUS_INVALID;
  status_t checked = check_request(cert_path, key_path, common_name);
  if (checked != STATUS_OK) return checked;
  if (!force && (fs_exists(cert_path) || fs_exists(key_path))) return STATUS_EXISTS;
  if (setup_path_is_symlink(key_path) || setup_path_is_symlink(cert_path)) return STATUS_IO;
  if (days <= 0) days = DEFAULT_DAYS;

  pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return STATUS_IO;
  x509_ptr cert;
  if (!build_certificate(key.get(), common_name, days, &cert)) {
    ERR_clear_error();
    return STATUS_IO;
  }

  std::string key_pem, cert_pem;
  bool ok =
      pem_to_memory(
          [&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
          },
          &key_pem) &&
      pem_to_memory([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); }, &cert_pem);
  if (!ok) {
    OPENSSL_cleanse(key_pem.data(), key_pem.size());
    ERR_clear_error();
    return STATUS_IO;
  }

  setup_temp_file files[2];
  status_t s = setup_temp_write(key_path, 0600, true, key_pem.data(), key_pem.size(), &files[0]);
  OPENSSL_cleanse(key_pem.data(), key_pem.size());
  // The certificate is public, but only its owner may replace it: 0644
  // whatever the umask (under umask 000 a default mode would be 0666).
  if (s == STATUS_OK)
    s = setup_temp_write(cert_path, 0644, true, cert_pem.data(), cert_pem.size(), &files[1]);
  if (s != STATUS_OK) {
    setup_temp_discard(&files[0]);
    return STATUS_IO;
  }
  return setup_commit(files, 2);
}
