// PLACEHOLDER
#include "update/decrypt_file.h"
int decryptFile(const char*, std::unique_ptr<char[]>*, size_t*) { return -1; }
