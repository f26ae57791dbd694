// One HTTPS multipart form post to the rule server, the answer stored in a file.
#pragma once

#include <cstddef>

// 1 when the transfer completed without error, 0 otherwise.
int curl_download_file(const char* url, const char* path);
size_t write_file_cb(void* data, size_t size, size_t count, void* file);
