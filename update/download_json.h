// Fetches the rule file into `path` and announces it through kiv_is_JSON_updated.
#pragma once

void download_json(const char* path);
