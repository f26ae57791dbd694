// PLACEHOLDER
#include "update/download_json.h"
void download_json(const char*) {}
