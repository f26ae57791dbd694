#include "platform/host/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/decimal.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

// std::less<> lets a key given as a C text be looked up without building a std::string.
using store_map = std::map<std::string, std::string, std::less<>>;

struct file_id {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  long long mtime_ns = -1;
  long long ctime_ns = -1;
  bool operator==(const file_id&) const = default;
};

constexpr off_t kCounterBytes = sizeof(uint32_t);
constexpr long long kStatEveryNs = 1000000000LL;  // the stat a reader makes at least this often

std::mutex store_mutex;
store_map cached;
file_id cached_id;
bool cache_valid = false;

// The rooted paths, made at the first read.
std::string store_path;
std::string lock_path;

// The writers' change counter, mapped from the lock file; none while it cannot be mapped.
const volatile uint32_t* counter = nullptr;
dev_t counter_dev = 0;
ino_t counter_ino = 0;
uint32_t cached_count = 0;
long long last_stat_ns = 0;

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

void unmap_counter() {
  if (counter) munmap(const_cast<uint32_t*>(counter), static_cast<size_t>(kCounterBytes));
  counter = nullptr;
}

// Caller holds store_mutex.
void ensure_paths() {
  if (!store_path.empty()) return;
  store_path = kiv_path(KIV_NVRAM_PATH);
  lock_path = kiv_path(KIV_NVRAM_LOCK_PATH);
}

// Maps the counter of the lock file at the path, unless the one mapped is that file already.
// A lock file shorter than the counter (never written by a counting writer) is not mapped: a
// mapping past the end of a file cannot be read.
void map_counter() {
  struct stat st;
  if (stat(lock_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kCounterBytes) {
    unmap_counter();
    return;
  }
  if (counter && st.st_dev == counter_dev && st.st_ino == counter_ino) return;
  unmap_counter();
  int fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  void* at = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= kCounterBytes)
    at = mmap(nullptr, static_cast<size_t>(kCounterBytes), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (at == MAP_FAILED) return;
  counter = static_cast<const volatile uint32_t*>(at);
  counter_dev = st.st_dev;
  counter_ino = st.st_ino;
}

uint32_t counter_value() {
  return counter ? __atomic_load_n(const_cast<const uint32_t*>(counter), __ATOMIC_ACQUIRE) : 0;
}

// The stat of the store, and a parse when it is not the file parsed last. True when the store
// is not the one cached before.
bool check_store_file() {
  struct stat st;
  if (stat(store_path.c_str(), &st) != 0) {
    bool changed = !cache_valid || cached_id != file_id();
    cached.clear();
    cached_id = file_id();
    cache_valid = true;
    return changed;
  }
  file_id id = id_of(st);
  if (cache_valid && id == cached_id) return false;
  FILE* f = fopen(store_path.c_str(), "re");
  if (!f) {
    cached.clear();
    cache_valid = false;
    return true;
  }
  struct stat opened;
  if (fstat(fileno(f), &opened) == 0) id = id_of(opened);
  cached = parse(f);
  fclose(f);
  cached_id = id;
  cache_valid = true;
  return true;
}

// Brings the cache up to date with the store; caller holds store_mutex.
void refresh() {
  ensure_paths();
  long long now = monotonic_coarse_ns();
  bool stat_due = now - last_stat_ns >= kStatEveryNs || now < last_stat_ns;
  if (cache_valid && counter && !stat_due && counter_value() == cached_count) return;
  // The counter is taken before the store is looked at: a change that lands in between is
  // counted after this value and so seen by the next read.
  if (stat_due || !cache_valid) map_counter();
  bool had_counter = counter != nullptr;
  cached_count = counter_value();
  bool changed = check_store_file();
  last_stat_ns = now;
  if (!had_counter && changed) {
    // The first counting writer may just have made the counter: map it, and let the next read
    // look at the store once more, since the change may have landed after this stat.
    map_counter();
    if (counter) cached_count = counter_value() - 1;
  }
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

// Counts one change of the store in the lock file's first word; caller holds the lock.
void count_change(int lock_fd) {
  unsigned char bytes[kCounterBytes] = {0, 0, 0, 0};
  uint32_t value = 0;
  if (pread(lock_fd, bytes, sizeof bytes, 0) == static_cast<ssize_t>(sizeof bytes))
    memcpy(&value, bytes, sizeof value);
  ++value;
  memcpy(bytes, &value, sizeof value);
  ssize_t w = pwrite(lock_fd, bytes, sizeof bytes, 0);
  (void)w;
}

// Read-modify-write of the whole store under the writers' lock; 0, or the errno that kept the
// change out of the store.
template <typename Change>
int modify(Change change) {
  std::string lock_file = kiv_path(KIV_NVRAM_LOCK_PATH);
  int lock_fd = open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) return errno;
  // Only an interrupted wait is retried: any other failure would never end.
  int locked;
  do {
    locked = flock(lock_fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int why = errno;
    close(lock_fd);
    return why;
  }
  std::string path = kiv_path(KIV_NVRAM_PATH);
  store_map m;
  if (FILE* f = fopen(path.c_str(), "re")) {
    m = parse(f);
    fclose(f);
  }
  change(m);
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int why = 0;
  if (FILE* out = fopen(tmp.c_str(), "we")) {
    for (const auto& [k, v] : m) fprintf(out, "%s=%s\n", k.c_str(), v.c_str());
    bool ok = fflush(out) == 0 && !ferror(out);
    if (!ok) why = errno;
    if (fclose(out) != 0 && ok) why = errno;
    if (why == 0 && rename(tmp.c_str(), path.c_str()) != 0) why = errno;
    if (why == 0) count_change(lock_fd);
    if (why != 0) unlink(tmp.c_str());
  } else {
    why = errno;
  }
  flock(lock_fd, LOCK_UN);
  close(lock_fd);
  std::lock_guard<std::mutex> guard(store_mutex);
  cache_valid = false;
  return why;
}

}  // namespace

std::optional<std::string> nvram_get(const char* key) {
  if (!key) return std::nullopt;
  std::lock_guard<std::mutex> guard(store_mutex);
  refresh();
  auto it = cached.find(key);
  if (it == cached.end()) return std::nullopt;
  return it->second;
}

std::string nvram_safe_get(const char* key) {
  return nvram_get(key).value_or(std::string());
}

bool nvram_match(const char* key, const char* value) {
  if (!key || !value) return false;
  std::lock_guard<std::mutex> guard(store_mutex);
  refresh();
  auto it = cached.find(key);
  return it != cached.end() && it->second == value;
}

int nvram_get_int(const char* key) {
  auto v = nvram_get(key);
  return v ? atoi_rule(*v) : 0;
}

int settings_store_set(const char* key, const char* value) {
  if (!valid_key(key)) return EINVAL;
  std::string v = value ? value : "";
  // A value may hold any byte but the zero byte and the newline: cut at a newline.
  size_t nl = v.find('\n');
  if (nl != std::string::npos) v.resize(nl);
  return modify([&](store_map& m) { m[key] = v; });
}

int settings_store_unset(const char* key) {
  if (!valid_key(key)) return EINVAL;
  return modify([&](store_map& m) { m.erase(key); });
}

void nvram_set(const char* key, const char* value) {
  settings_store_set(key, value);
}

void nvram_set_int(const char* key, int value) {
  nvram_set(key, std::to_string(value).c_str());
}

void nvram_unset(const char* key) {
  settings_store_unset(key);
}

std::vector<std::pair<std::string, std::string>> nvram_show() {
  std::lock_guard<std::mutex> guard(store_mutex);
  refresh();
  return {cached.begin(), cached.end()};
}
