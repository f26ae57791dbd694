#include "update/rule_signature.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "update/container.h"

namespace {

void put_le64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xffu));
}

struct md_ctx_free {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct pkey_ctx_free {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct bio_free {
  void operator()(BIO* b) const { BIO_free(b); }
};
using md_ctx = std::unique_ptr<EVP_MD_CTX, md_ctx_free>;
using pkey_ctx = std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free>;
using bio = std::unique_ptr<BIO, bio_free>;

const unsigned char* bytes(std::string_view s, size_t at = 0) {
  return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

bool is_ed25519(EVP_PKEY* key) {
  return key && EVP_PKEY_id(key) == EVP_PKEY_ED25519;
}

bool has_private_part(EVP_PKEY* key) {
  size_t len = 0;
  const bool yes = EVP_PKEY_get_raw_private_key(key, nullptr, &len) == 1;
  ERR_clear_error();
  return yes;
}

// OpenSSL's error queue is per thread and would otherwise carry a failure here into the next
// caller's diagnostics (the rule download's TLS among them).
rule_sig failed(rule_sig r) {
  ERR_clear_error();
  return r;
}

// Never prompts: an encrypted private key is refused, not asked about on a terminal.
int no_passphrase(char*, int, int, void*) {
  return -1;
}

rule_sig key_from_pem(std::string_view pem, bool private_key, rule_key* key) {
  if (pem.size() > KIV_SIG_KEY_FILE_MAX) return rule_sig::key_too_large;
  bio in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!in) return failed(rule_sig::crypto_failure);
  rule_key k(private_key ? PEM_read_bio_PrivateKey(in.get(), nullptr, no_passphrase, nullptr)
                         : PEM_read_bio_PUBKEY(in.get(), nullptr, no_passphrase, nullptr));
  if (!is_ed25519(k.get())) return failed(rule_sig::key_invalid);
  *key = std::move(k);
  return rule_sig::ok;
}

// The whole regular file at path, at most KIV_SIG_KEY_FILE_MAX bytes. Opened without blocking, so
// a FIFO planted at the path cannot stall the caller; errno tells why it is unreadable.
rule_sig read_key_file(const std::string& path, std::string* out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return rule_sig::key_unreadable;
  struct stat st;
  rule_sig r = rule_sig::ok;
  if (fstat(fd, &st) != 0) {
    r = rule_sig::key_unreadable;
  } else if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    r = rule_sig::key_unreadable;
  }
  char buf[KIV_SIG_KEY_FILE_MAX + 1];
  size_t got = 0;
  while (r == rule_sig::ok && got < sizeof buf) {
    const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) r = rule_sig::key_unreadable;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  const int why = errno;
  ::close(fd);
  errno = why;
  if (r == rule_sig::ok && got > KIV_SIG_KEY_FILE_MAX) r = rule_sig::key_too_large;
  if (r == rule_sig::ok) out->assign(buf, got);
  OPENSSL_cleanse(buf, got);  // it may hold a private key
  return r;
}

rule_sig load_key(const std::string& path, bool private_key, rule_key* key) {
  std::string pem;
  rule_sig r = read_key_file(path, &pem);
  if (r == rule_sig::ok) r = key_from_pem(pem, private_key, key);
  OPENSSL_cleanse(pem.data(), pem.size());
  return r;
}

bool pem_of(EVP_PKEY* key, bool private_key, std::string* out) {
  bio mem(BIO_new(BIO_s_mem()));
  if (!mem ||
      (private_key ? PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                   : PEM_write_bio_PUBKEY(mem.get(), key)) != 1)
    return false;
  char* data = nullptr;
  const long len = BIO_get_mem_data(mem.get(), &data);
  if (len <= 0 || !data) return false;
  out->assign(data, static_cast<size_t>(len));
  return true;
}

}  // namespace

namespace {

// Whether the 64 bytes at sig are the key's Ed25519 signature over the message.
rule_sig verify_message(const unsigned char* sig, std::string_view message, EVP_PKEY* key) {
  md_ctx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1)
    return failed(rule_sig::crypto_failure);
  const int rc = EVP_DigestVerify(ctx.get(), sig, KIV_SIG_LEN, bytes(message), message.size());
  return rc == 1 ? rule_sig::ok : failed(rule_sig::wrong);
}

// Whether the 64 bytes at file[sig_at] are the key's Ed25519 signature over file[0, signed_len).
rule_sig verify_part(std::string_view file, size_t signed_len, size_t sig_at, EVP_PKEY* key) {
  // Ed25519 is one pass over the message, here the file's own leading bytes: no copy is made.
  return verify_message(bytes(file, sig_at), file.substr(0, signed_len), key);
}

// The key's signature over the message, appended to *out.
bool append_signature_of(std::string_view message, std::string* out, EVP_PKEY* key) {
  unsigned char sig[KIV_SIG_LEN];
  size_t sig_len = sizeof sig;
  md_ctx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), sig, &sig_len, bytes(message), message.size()) != 1 ||
      sig_len != KIV_SIG_LEN) {
    ERR_clear_error();
    return false;
  }
  out->append(reinterpret_cast<const char*>(sig), sig_len);
  return true;
}

// The key's signature over the whole of *file, appended to it (the file is read whole before the
// signature goes behind it, so no copy is made).
bool append_signature(std::string* file, EVP_PKEY* key) {
  return append_signature_of(*file, file, key);
}

// What a staged trailer's set signature signs: the magic "KIVSIG02", then the SHA-256 digest of
// the container and the serial (the file's first 40 + Len + 8 bytes). Never the bytes that the
// first kind's signature signs: otherwise the staged trailer would hold a signature for every
// router, and cutting the stage off would give a set signed for all. Empty when the digest
// cannot be made.
std::string staged_set_message(std::string_view set_and_serial) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(set_and_serial.data(), set_and_serial.size(), digest, &len, EVP_sha256(),
                 nullptr) != 1 ||
      len != 32) {
    ERR_clear_error();
    return "";
  }
  return std::string(KIV_STAGED_MAGIC) + std::string(reinterpret_cast<char*>(digest), len);
}

// The set signature of a trailer of the given kind over the file's first `set_signed` bytes.
rule_sig verify_set_signature(std::string_view file, size_t set_signed, const unsigned char* sig,
                              bool staged, EVP_PKEY* key) {
  if (!staged) return verify_message(sig, file.substr(0, set_signed), key);
  const std::string message = staged_set_message(file.substr(0, set_signed));
  if (message.empty()) return rule_sig::crypto_failure;
  return verify_message(sig, message, key);
}

}  // namespace

rule_sig verify_signed(std::string_view file, EVP_PKEY* key, signed_parts* parts) {
  const signed_parts p = split_signed(file);
  if (parts) *parts = p;
  if (p.trailer != rule_sig::ok) return p.trailer;
  if (!is_ed25519(key)) return rule_sig::key_invalid;
  const size_t set_signed = p.container_len + 8;
  const bool staged = p.stage < KIV_FULL_STAGE;
  rule_sig r = verify_set_signature(file, set_signed, bytes(file, set_signed), staged, key);
  // A staged trailer's stage is the signer's word as well: a stage changed on the way fails.
  const size_t stage_signed = set_signed + KIV_SIG_LEN + 4;
  if (r == rule_sig::ok && staged) r = verify_part(file, stage_signed, stage_signed, key);
  return r;
}

bool signs_the_same_set(std::string_view file, const signed_parts& parts,
                        std::string_view signature, EVP_PKEY* key) {
  if (parts.trailer != rule_sig::ok || signature.size() != KIV_SIG_LEN || !is_ed25519(key))
    return false;
  const auto* sig = reinterpret_cast<const unsigned char*>(signature.data());
  const size_t set_signed = parts.container_len + 8;
  for (bool staged : {false, true})
    if (verify_set_signature(file, set_signed, sig, staged, key) == rule_sig::ok) return true;
  return false;
}

rule_sig sign_container(std::string_view container, uint64_t serial, EVP_PKEY* key,
                        std::string* out, uint32_t stage) {
  if (container_length(container) != container.size() || container.empty() || stage < 1 ||
      stage > KIV_FULL_STAGE)
    return rule_sig::malformed;
  if (!is_ed25519(key) || !has_private_part(key)) return rule_sig::key_invalid;
  std::string file(container);
  put_le64(&file, serial);
  const std::string message = stage < KIV_FULL_STAGE ? staged_set_message(file) : file;
  if (message.empty() || !append_signature_of(message, &file, key)) return rule_sig::crypto_failure;
  if (stage < KIV_FULL_STAGE) {
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<char>((stage >> (8 * i)) & 0xffu));
    if (!append_signature(&file, key)) return rule_sig::crypto_failure;
  }
  file.append(stage < KIV_FULL_STAGE ? KIV_STAGED_MAGIC : KIV_SIG_MAGIC);
  *out = std::move(file);
  return rule_sig::ok;
}

rule_sig public_key_from_pem(std::string_view pem, rule_key* key) {
  return key_from_pem(pem, false, key);
}

rule_sig private_key_from_pem(std::string_view pem, rule_key* key) {
  return key_from_pem(pem, true, key);
}

rule_sig load_public_key(const std::string& path, rule_key* key) {
  return load_key(path, false, key);
}

rule_sig load_private_key(const std::string& path, rule_key* key) {
  return load_key(path, true, key);
}

rule_sig generate_key_pair(std::string* private_pem, std::string* public_pem) {
  pkey_ctx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  EVP_PKEY* made = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &made) != 1)
    return failed(rule_sig::crypto_failure);
  rule_key key(made);
  if (!pem_of(key.get(), true, private_pem) || !pem_of(key.get(), false, public_pem))
    return failed(rule_sig::crypto_failure);
  return rule_sig::ok;
}
