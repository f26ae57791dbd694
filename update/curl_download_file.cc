// PLACEHOLDER
#include "update/curl_download_file.h"
int curl_download_file(const char*, const char*) { return 0; }
size_t write_file_cb(void*, size_t, size_t, void*) { return 0; }
