// The rule file container, the one place its format is read and written: a 40-byte header
// ("TORVKIVENCRYPT" at offset 16, Len and Ran little-endian at 32 and 36), then the JSON body with
// byte i exclusive-or ((i + Ran) mod 2^32) mod 255, and, on a signed container, the signature
// trailer behind it (below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t KIV_HEADER_LEN = 40;

// 0 and *buffer holding the whole file as it came, one zero byte behind its last byte, and
// *length its length; -1 no path, -2 no size, -3 cannot open, -4 no memory, -5 read error.
int read_rule_file(const char* path, std::unique_ptr<char[]>* buffer, size_t* length);

// The container already in memory (len bytes at data, its trailer left out): 0 with the body
// restored in place (and the debug copy written), -6 when it is not scrambled. Its records carry
// the name "decryptFile".
int decrypt_container(char* data, size_t len);
// Applies the key stream of the container's own Ran to its body in place: restores a scrambled
// body, and turns a restored one back into the bytes that came.
void toggle_container_body(char* data, size_t len);

// Exclusive-or of body[0..len) with the key stream that starts at body position 0 for `ran`.
// Applying it twice gives the input back.
void scramble_body(char* body, size_t len, uint32_t ran);
// A whole container for the plain JSON text: reserved bytes zero, magic, Len = body length,
// Ran = ran, then the scrambled body.
std::string make_container(const std::string& json, uint32_t ran);
// True when the first 40 bytes of data carry the magic followed by a zero byte.
bool has_container_magic(const char* data, size_t len);

// ---- The signature trailer ----------------------------------------------------------------------
// A signed container is the container exactly as `kivrule pack` writes it (40-byte header, then
// the scrambled body of Len bytes) followed by a trailer, so the scrambling and the body are
// unchanged. The trailer of a set for every router (80 bytes):
//
//   trailer offset  size  field
//   0               8     serial, unsigned 64-bit, little-endian
//   8               64    the set signature, Ed25519 over the container and the serial: the file's
//                         first 40 + Len + 8 bytes (the magic is not signed: it only names the
//                         format)
//   72              8     magic "KIVSIG01", the last bytes of the file
//
// The trailer of a set staged for some routers only (148 bytes): the serial, then its own set
// signature, Ed25519 over the 40 bytes "KIVSIG02" and the SHA-256 digest of the file's first
// 40 + Len + 8 bytes (container and serial). It never signs what the first kind's set signature
// signs: a staged trailer cut to 72 bytes with "KIVSIG01" behind them would otherwise be a valid
// set for every router, the stage taken off by anyone on the way. Then:
//
//   72              4     stage, unsigned 32-bit, little-endian, 1..99: the set is for the routers
//                         whose bucket (update/rule_stage.h) lies below it
//   76              64    the stage signature, Ed25519 over the file's first 40 + Len + 76 bytes
//                         (container, serial, set signature and stage)
//   140             8     magic "KIVSIG02", the last bytes of the file
//
// Ed25519 signs deterministically, so the same set signed at any stage of 1..99 carries the
// same set signature; a router knows the set it installed again at stage 100 as well by checking
// the recorded signature on the new file's container and serial (signs_the_same_set). A file of
// the first kind
// reads as stage 100. A reader finds the trailer by the magic at the very end. It is well-formed
// only when the file is a container (the header's magic) of exactly 40 + Len + the trailer's
// length bytes, and a staged trailer's stage lies within 1..99. A container followed by bytes
// that do not end in a magic (a trailer cut short, bytes appended) has a malformed trailer as
// well; a container of 40 + Len bytes or fewer has none. A router without a key reads every file
// as before, except that it keeps to the stage of a well-formed staged trailer.
inline constexpr size_t KIV_SIG_TRAILER_LEN = 80;
inline constexpr size_t KIV_STAGED_TRAILER_LEN = 148;
inline constexpr size_t KIV_SIG_LEN = 64;
inline constexpr std::string_view KIV_SIG_MAGIC = "KIVSIG01";
inline constexpr std::string_view KIV_STAGED_MAGIC = "KIVSIG02";
inline constexpr uint32_t KIV_FULL_STAGE = 100;  // every router: the first kind of trailer

// The verdict on a trailer, and on a signature and its key (update/rule_signature.h);
// rule_sig_text gives the words for the log.
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

// A file cut into the container and its trailer.
struct signed_parts {
  rule_sig trailer = rule_sig::missing;  // ok (a well-formed trailer), missing or malformed
  size_t container_len = 0;  // the container's bytes: the whole file unless the trailer is ok
  uint64_t serial = 0;       // when the trailer is ok
  uint32_t stage = KIV_FULL_STAGE;  // when the trailer is ok: below 100 for a staged trailer
};
signed_parts split_signed(std::string_view file);
// The container's own length, 40 + Len, or 0 when the file has no container header.
uint64_t container_length(std::string_view file);
