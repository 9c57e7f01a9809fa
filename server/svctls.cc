// The self-signed certificate of the shared HTTP/TLS port, made once per data folder.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "svchttp.h"

namespace tessel::svc {

namespace {

struct PkeyDel {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct X509Del {
  void operator()(X509 *x) const { X509_free(x); }
};
struct ExtDel {
  void operator()(X509_EXTENSION *e) const { X509_EXTENSION_free(e); }
};
struct FileDel {
  void operator()(FILE *f) const { fclose(f); }
};

// A new file: whatever stood at `path` (a link included) is removed first, never written through.
std::unique_ptr<FILE, FileDel> createFile(const std::string &path, mode_t mode) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return nullptr;
  if (fchmod(fd, mode) != 0) {
    close(fd);
    return nullptr;
  }
  FILE *f = fdopen(fd, "w");
  if (!f) close(fd);
  return std::unique_ptr<FILE, FileDel>(f);
}

}  // namespace

bool svctls__ensureCertificate(const std::string &certFile, const std::string &keyFile,
                               std::string *err) {
  struct stat cs, ks;
  if (stat(certFile.c_str(), &cs) == 0 && stat(keyFile.c_str(), &ks) == 0 && S_ISREG(cs.st_mode) &&
      S_ISREG(ks.st_mode))
    return true;
  std::unique_ptr<EVP_PKEY, PkeyDel> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, X509Del> x(X509_new());
  if (!key || !x) {
    *err = "cannot make a TLS key";
    return false;
  }
  X509_set_version(x.get(), 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(x.get(), key.get());
  X509_NAME *name = X509_get_subject_name(x.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("localhost"), -1, -1, 0);
  X509_set_issuer_name(x.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtDel> san(X509V3_EXT_conf_nid(
      nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost"));
  if (!san || X509_add_ext(x.get(), san.get(), -1) != 1 ||
      X509_sign(x.get(), key.get(), EVP_sha256()) == 0) {
    *err = "cannot sign the TLS certificate";
    ERR_clear_error();
    return false;
  }
  auto kf = createFile(keyFile, 0600);
  if (!kf ||
      PEM_write_PrivateKey(kf.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    *err = "cannot write " + keyFile;
    return false;
  }
  if (fflush(kf.get()) != 0) {
    *err = "cannot write " + keyFile;
    return false;
  }
  auto cf = createFile(certFile, 0644);
  if (!cf || PEM_write_X509(cf.get(), x.get()) != 1) {
    *err = "cannot write " + certFile;
    return false;
  }
  return true;
}

}  // namespace tessel::svc
