// Signed rule containers: the Ed25519 signature in the trailer (update/container.h has the
// layout) and the keys that make and check it, through OpenSSL's libcrypto. Pure functions on
// byte buffers and key files; no global state.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "update/container.h"

// A key file is a PEM text of about a hundred bytes; anything beyond this is not one.
inline constexpr size_t KIV_SIG_KEY_FILE_MAX = 4096;

struct evp_pkey_free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using rule_key = std::unique_ptr<EVP_PKEY, evp_pkey_free>;

// The verdict on a file for a router holding the public key: ok only for a well-formed trailer
// whose signatures verify (the set signature and, on a staged trailer, the stage signature);
// missing, malformed or wrong otherwise (crypto_failure, or key_invalid for a key that is not
// Ed25519). *parts (when given) receives the split.
rule_sig verify_signed(std::string_view file, EVP_PKEY* key, signed_parts* parts = nullptr);

// Whether `signature` (64 bytes: the set signature of a set installed before) is the key's set
// signature, of either kind of trailer, over the container and serial of `file` (split into
// `parts`): the same set, whatever stage it was signed for then and now.
bool signs_the_same_set(std::string_view file, const signed_parts& parts,
                        std::string_view signature, EVP_PKEY* key);

// The container with its trailer for `serial`, signed with the private key, in *out: the
// trailer for every router at stage 100, the staged one at a stage 1..99. malformed when
// `container` is not exactly a container of 40 + Len bytes (a signed one included) or the stage
// lies outside 1..100.
rule_sig sign_container(std::string_view container, uint64_t serial, EVP_PKEY* key,
                        std::string* out, uint32_t stage = KIV_FULL_STAGE);

// Keys from PEM text: a public key ("PUBLIC KEY") or an unencrypted PKCS#8 private key
// ("PRIVATE KEY"), Ed25519 only. ok with *key set, or key_invalid.
rule_sig public_key_from_pem(std::string_view pem, rule_key* key);
rule_sig private_key_from_pem(std::string_view pem, rule_key* key);
// The same from a regular file of at most KIV_SIG_KEY_FILE_MAX bytes at path (used as given).
rule_sig load_public_key(const std::string& path, rule_key* key);
rule_sig load_private_key(const std::string& path, rule_key* key);

// A new Ed25519 key pair as PEM texts: the private key (PKCS#8, unencrypted) and its public key.
rule_sig generate_key_pair(std::string* private_pem, std::string* public_pem);
