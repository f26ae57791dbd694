#include "platform/host/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace {

using store_map = std::map<std::string, std::string>;

struct file_id {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  long long mtime_ns = -1;
  long long ctime_ns = -1;
  bool operator==(const file_id&) const = default;
};

std::mutex store_mutex;
store_map cached;
file_id cached_id;
bool cache_valid = false;

file_id id_of(const struct stat& st) {
  file_id id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  id.ctime_ns = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
  return id;
}

store_map parse(FILE* f) {
  store_map m;
  std::string line;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0) m[line.substr(0, eq)] = line.substr(eq + 1);
    line.clear();
  }
  return m;
}

// Brings the cache up to date with the file; caller holds store_mutex.
void refresh() {
  std::string path = kiv_path(KIV_NVRAM_PATH);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    cached.clear();
    cached_id = file_id();
    cache_valid = true;
    return;
  }
  file_id id = id_of(st);
  if (cache_valid && id == cached_id) return;
  FILE* f = fopen(path.c_str(), "re");
  if (!f) {
    cached.clear();
    cache_valid = false;
    return;
  }
  struct stat opened;
  if (fstat(fileno(f), &opened) == 0) id = id_of(opened);
  cached = parse(f);
  fclose(f);
  cached_id = id;
  cache_valid = true;
}

bool valid_key(const char* key) {
  if (!key || !*key) return false;
  for (const char* p = key; *p; ++p) {
    char c = *p;
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Read-modify-write of the whole store under the writers' lock.
template <typename Change>
void modify(Change change) {
  std::string lock_path = kiv_path(KIV_NVRAM_LOCK_PATH);
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) return;
  while (flock(lock_fd, LOCK_EX) != 0) {
  }
  std::string path = kiv_path(KIV_NVRAM_PATH);
  store_map m;
  if (FILE* f = fopen(path.c_str(), "re")) {
    m = parse(f);
    fclose(f);
  }
  change(m);
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  if (FILE* out = fopen(tmp.c_str(), "we")) {
    for (const auto& [k, v] : m) fprintf(out, "%s=%s\n", k.c_str(), v.c_str());
    bool ok = fflush(out) == 0;
    ok = (fclose(out) == 0) && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) {
      // nothing more: readers see the new file at their next stat
    } else {
      unlink(tmp.c_str());
    }
  }
  flock(lock_fd, LOCK_UN);
  close(lock_fd);
  std::lock_guard<std::mutex> guard(store_mutex);
  cache_valid = false;
}

}  // namespace

void settings_store_reset() {
  std::lock_guard<std::mutex> guard(store_mutex);
  cached.clear();
  cache_valid = false;
}

std::optional<std::string> nvram_get(const char* key) {
  if (!key) return std::nullopt;
  std::lock_guard<std::mutex> guard(store_mutex);
  refresh();
  auto it = cached.find(key);
  if (it == cached.end()) return std::nullopt;
  return it->second;
}

std::string nvram_safe_get(const char* key) { return nvram_get(key).value_or(std::string()); }

bool nvram_match(const char* key, const char* value) {
  if (!key || !value) return false;
  std::lock_guard<std::mutex> guard(store_mutex);
  refresh();
  auto it = cached.find(key);
  return it != cached.end() && it->second == value;
}

int nvram_get_int(const char* key) {
  auto v = nvram_get(key);
  return v ? atoi(v->c_str()) : 0;
}

void nvram_set(const char* key, const char* value) {
  if (!valid_key(key)) return;
  std::string v = value ? value : "";
  // A value may hold any byte but the zero byte and the newline: cut at a newline.
  size_t nl = v.find('\n');
  if (nl != std::string::npos) v.resize(nl);
  modify([&](store_map& m) { m[key] = v; });
}

void nvram_set_int(const char* key, int value) {
  nvram_set(key, std::to_string(value).c_str());
}

void nvram_unset(const char* key) {
  if (!valid_key(key)) return;
  modify([&](store_map& m) { m.erase(key); });
}

std::vector<std::pair<std::string, std::string>> nvram_show() {
  std::lock_guard<std::mutex> guard(store_mutex);
  refresh();
  return {cached.begin(), cached.end()};
}
