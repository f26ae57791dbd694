// Signed rule containers: the trailer that gives a container a serial number and an Ed25519
// signature, and the keys that make and check it (OpenSSL's libcrypto). Pure functions on byte
// buffers and key files; no global state.
//
// A signed container is the container exactly as `kivrule pack` writes it (40-byte header, then
// the scrambled body of Len bytes) followed by an 80-byte trailer, so the scrambling and the body
// are unchanged:
//
//   trailer offset  size  field
//   0               8     serial, unsigned 64-bit, little-endian
//   8               64    Ed25519 signature over the container and the serial: the file's first
//                         40 + Len + 8 bytes (the magic is not signed: it only names the format)
//   72              8     magic "KIVSIG01", the last bytes of the file
//
// A reader finds the trailer by the magic at the very end. The trailer is well-formed only when
// the file is a container (the header's magic) of exactly 40 + Len + 80 bytes. A container
// followed by bytes that do not end in the magic (a trailer cut short, bytes appended) has a
// malformed trailer as well; a container of 40 + Len bytes or fewer has none. A router without a
// key reads every file as before: the trailer, whole or not, is never its concern.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t KIV_SIG_TRAILER_LEN = 80;
inline constexpr size_t KIV_SIG_LEN = 64;
inline constexpr std::string_view KIV_SIG_MAGIC = "KIVSIG01";
// A key file is a PEM text of about a hundred bytes; anything beyond this is not one.
inline constexpr size_t KIV_SIG_KEY_FILE_MAX = 4096;

// The outcome of every operation here; rule_sig_text gives the words for the log.
enum class rule_sig {
  ok,         // "valid signature" (split: a well-formed trailer, not yet verified)
  missing,    // "missing signature": no trailer
  malformed,  // "malformed trailer"
  wrong,      // "wrong signature": well-formed, but not made by the key's owner for these bytes
  key_unreadable,  // "cannot read the key file" (errno tells why)
  key_too_large,   // "key file too large"
  key_invalid,     // "not a usable Ed25519 key in PEM" (another kind, or no private part)
  crypto_failure,  // "the crypto library failed" (out of memory within it)
};
const char* rule_sig_text(rule_sig r);

struct evp_pkey_free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using rule_key = std::unique_ptr<EVP_PKEY, evp_pkey_free>;

// A file cut into the container and its trailer.
struct signed_parts {
  rule_sig trailer = rule_sig::missing;  // ok (a well-formed trailer), missing or malformed
  size_t container_len = 0;  // the container's bytes: the whole file unless the trailer is ok
  uint64_t serial = 0;       // when the trailer is ok
};
signed_parts split_signed(std::string_view file);

// The verdict on a file for a router holding the public key: ok only for a well-formed trailer
// whose signature verifies; missing, malformed or wrong otherwise (crypto_failure, or key_invalid
// for a key that is not Ed25519). *parts (when given) receives the split.
rule_sig verify_signed(std::string_view file, EVP_PKEY* key, signed_parts* parts = nullptr);

// The container with its trailer for `serial`, signed with the private key, in *out. malformed
// when `container` is not exactly a container of 40 + Len bytes (a signed one included).
rule_sig sign_container(std::string_view container, uint64_t serial, EVP_PKEY* key,
                        std::string* out);

// Keys from PEM text: a public key ("PUBLIC KEY") or an unencrypted PKCS#8 private key
// ("PRIVATE KEY"), Ed25519 only. ok with *key set, or key_invalid.
rule_sig public_key_from_pem(std::string_view pem, rule_key* key);
rule_sig private_key_from_pem(std::string_view pem, rule_key* key);
// The same from a regular file of at most KIV_SIG_KEY_FILE_MAX bytes at path (used as given).
rule_sig load_public_key(const std::string& path, rule_key* key);
rule_sig load_private_key(const std::string& path, rule_key* key);

// A new Ed25519 key pair as PEM texts: the private key (PKCS#8, unencrypted) and its public key.
rule_sig generate_key_pair(std::string* private_pem, std::string* public_pem);
