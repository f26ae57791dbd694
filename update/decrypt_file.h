// The scrambled rule file container: 40-byte header ("TORVKIVENCRYPT" at offset 16, Len and Ran
// little-endian at 32 and 36), then the JSON body with byte i exclusive-or ((i + Ran) mod 2^32)
// mod 255.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

inline constexpr size_t KIV_HEADER_LEN = 40;

// 0 and *buffer holding the whole file (body restored, one zero byte behind the last byte);
// -1 no path, -2 no size, -3 cannot open, -4 no memory, -5 read error, -6 not scrambled.
// *length receives the file's length when it is given.
int decryptFile(const char* path, std::unique_ptr<char[]>* buffer, size_t* length = nullptr);
