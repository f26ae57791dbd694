// The scrambled rule file container: 40-byte header ("TORVKIVENCRYPT" at offset 16, Len and Ran
// little-endian at 32 and 36), then the JSON body with byte i exclusive-or ((i + Ran) mod 2^32)
// mod 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr size_t KIV_HEADER_LEN = 40;

// 0 and *buffer holding the whole file (body restored, one zero byte behind the last byte);
// -1 no path, -2 no size, -3 cannot open, -4 no memory, -5 read error, -6 not scrambled.
// *length receives the file's length when it is given.
int decryptFile(const char* path, std::unique_ptr<char[]>* buffer, size_t* length = nullptr);

// The container already in memory (len bytes at data): 0 with the body restored in place (and
// the debug copy written), -6 when it is not scrambled. Logs as decryptFile does.
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
