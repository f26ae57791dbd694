#include "support/kivtest.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/platform.h"
#include "rules/read_json.h"
#include "update/decrypt_file.h"

namespace kivtest {

namespace {

const char* const kDirs[] = {"tmp", "var", "var/run", "dev", "jffs"};

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

// The process's root, made before main() so that no platform call can read the environment
// first; removed at exit.
struct process_root {
  std::string path;
  process_root() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivtest.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    path = tmpl;
    setenv("KIV_ROOT", path.c_str(), 1);
    setenv("KIV_TIME_SCALE", "0.01", 1);
    for (const char* d : kDirs) mkdir((path + "/" + d).c_str(), 0755);
  }
  ~process_root() { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
} the_root;

// Everything below the root but the standing directories and the settings store's files.
int empty_entry(const char* p, const struct stat*, int, struct FTW*) {
  std::string rel = std::string(p).substr(std::min(strlen(p), the_root.path.size() + 1));
  if (rel.empty() || rel == "var/nvram.txt" || rel == "var/nvram.lock") return 0;
  if (std::find(std::begin(kDirs), std::end(kDirs), rel) != std::end(kDirs)) return 0;
  ::remove(p);
  return 0;
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Reaps pid within timeout_s; SIGKILL and -1 past it.
int reap(pid_t pid, double timeout_s) {
  const double deadline = now_s() + timeout_s;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return decode(status);
    if (r < 0 && errno != EINTR) return -1;
    if (now_s() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    pause_s(0.005);
  }
}

// "\n", "\t" and "\xNN" as the bytes they stand for; any other backslash stays as it is (so that
// patterns read as written).
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char next = i + 1 < s.size() ? s[i + 1] : '\0';
    if (s[i] == '\\' && (next == 'n' || next == 't')) {
      out += next == 'n' ? '\n' : '\t';
      ++i;
    } else if (s[i] == '\\' && next == 'x' && i + 3 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// "<<TEXT*N>>" stands for TEXT N times.
std::string expand(std::string s) {
  for (size_t at = s.find("<<"); at != std::string::npos; at = s.find("<<", at)) {
    size_t end = s.find(">>", at);
    size_t star = s.rfind('*', end);
    if (end == std::string::npos || star == std::string::npos || star < at) break;
    std::string unit = s.substr(at + 2, star - at - 2), many;
    for (int n = std::stoi(s.substr(star + 1, end - star - 1)); n > 0; --n) many += unit;
    s.replace(at, end + 2 - at, many);
    at += many.size();
  }
  return s;
}

}  // namespace

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_s(double seconds) {
  struct timespec ts = {static_cast<time_t>(seconds),
                        static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string bin(const char* name) {
  return std::string(KIV_BIN_DIR) + "/" + name;
}

std::string source(const std::string& rel) {
  return std::string(KIV_SOURCE_DIR) + "/" + rel;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void put(const std::string& path, const std::string& content, bool append) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << content;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); !what.empty() && p != std::string::npos;
       p = text.find(what, p + what.size()))
    ++n;
  return n;
}

bool in_order(const std::string& text, const std::vector<std::string>& parts) {
  size_t pos = 0;
  for (const auto& p : parts) {
    size_t at = text.find(p, pos);
    if (at == std::string::npos) return false;
    pos = at + p.size();
  }
  return true;
}

std::vector<std::vector<std::string>> cases(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(slurp(source("tests/cases/" + name)));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> row;
    for (size_t start = 0;;) {
      size_t bar = line.find(" | ", start);
      row.push_back(expand(unescape(line.substr(start, bar - start))));
      if (bar == std::string::npos) break;
      start = bar + 3;
    }
    rows.push_back(row);
  }
  EXPECT_FALSE(rows.empty()) << "no cases in tests/cases/" << name;
  return rows;
}

void expect_golden(const std::string& name, const std::string& text) {
  const std::string path = source("tests/golden/" + name);
  if (getenv("KIV_UPDATE_GOLDEN")) put(path, text);
  EXPECT_EQ(slurp(path), text) << "expected output: tests/golden/" << name;
}

std::string blank_lines(const std::string& text) {
  static const std::regex line(R"((\[[A-Za-z_]\w*):\(-?\d+\)\])"), stamp(R"([A-Z][a-z]{2} [ 1-3]\d [\d:]{8} kiv: )");
  return std::regex_replace(std::regex_replace(text, line, "$1:(N)]"), stamp, "MMM dd HH:MM:SS kiv: ");
}

std::string normalized_log(const std::string& text, bool by_function) {
  static const std::regex head(R"(^\[KIV\]\[([^:\]]*):\(N\)\])");
  const std::string log = blank_lines(text);
  std::vector<std::pair<std::string, std::string>> records;
  for (size_t at = log.find("[KIV]["); at != std::string::npos;) {
    size_t next = log.find("[KIV][", at + 1);
    std::string rec = log.substr(at, next - at);
    std::smatch m;
    if (std::regex_search(rec, m, head) && m[1] != "monitor_jffs")
      records.emplace_back(m[1], rec);
    at = next;
  }
  if (by_function)
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out;
  for (const auto& r : records) out += r.second;
  return out;
}

double cpu_seconds(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  long long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int in_child(const std::function<void()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  return pid < 0 ? -1 : reap(pid, 60);
}

run_result run(const std::vector<std::string>& argv, const std::string& input, double timeout_s) {
  static int serial = 0;
  const std::string base = the_root.path + "/run." + std::to_string(getpid()) + "." +
                           std::to_string(serial++);
  put(base + ".in", input);
  run_result r;
  pid_t pid = fork();
  if (pid == 0) {
    int fds[3] = {open((base + ".in").c_str(), O_RDONLY),
                  open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                  open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
    for (int i = 0; i < 3; ++i) dup2(fds[i], i);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) r.status = reap(pid, timeout_s);
  r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  for (const char* s : {".in", ".out", ".err"}) unlink((base + s).c_str());
  return r;
}

// ---- sandbox ---------------------------------------------------------------------------------

sandbox::sandbox() {
  nftw(the_root.path.c_str(), empty_entry, 16, FTW_DEPTH | FTW_PHYS);
  for (const auto& [key, value] : nvram_show()) nvram_unset(key.c_str());
  release_rule_set();
  global_pause.store(0);
  healing_index.store(-1);
}

sandbox::~sandbox() {
  if (pid > 0) stop(SIGKILL);
}

std::string sandbox::path(const std::string& rel) const {
  return the_root.path + "/" + rel;
}

std::string sandbox::read(const std::string& rel) const {
  return slurp(path(rel));
}

void sandbox::write(const std::string& rel, const std::string& content) const {
  put(path(rel), content);
}

void sandbox::append(const std::string& rel, const std::string& content) const {
  put(path(rel), content, true);
}

size_t sandbox::count(const std::string& rel, const std::string& text) const {
  return occurrences(read(rel), text);
}

bool sandbox::wait_for(const std::string& rel, const std::string& text, size_t n,
                       double timeout_s) const {
  const double deadline = now_s() + timeout_s;
  while (count(rel, text) < n) {
    if (now_s() >= deadline) return false;
    pause_s(0.02);
  }
  return true;
}

void sandbox::set(const std::string& key, const std::string& value) const {
  nvram_set(key.c_str(), value.c_str());
}

std::string sandbox::get(const std::string& key) const {
  return nvram_safe_get(key.c_str());
}

void sandbox::clock(double uptime) const {
  mkdir(path("proc").c_str(), 0755);
  write("proc/uptime", std::to_string(uptime) + " 10.00\n");
}

void sandbox::service_hook(const std::string& script) const {
  mkdir(path("sbin").c_str(), 0755);
  write("sbin/service-event", script);
  chmod(path("sbin/service-event").c_str(), 0755);
}

bool sandbox::start(double scale, const std::vector<std::string>& env, bool ready) {
  const std::string out = path("kiv.out");
  const std::string exe = bin("kiv");
  const std::string scale_text = "KIV_TIME_SCALE=" + std::to_string(scale);
  pid = fork();
  if (pid == 0) {
    putenv(const_cast<char*>(scale_text.c_str()));
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(exe.c_str(), "kiv", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!ready) return pid > 0;
  // Ready once the four handlers are in place: a signal before takes its default action.
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  const unsigned long long wanted = (1ULL << (SIGALRM - 1)) | (1ULL << (SIGUSR1 - 1)) |
                                    (1ULL << (SIGUSR2 - 1)) | (1ULL << (SIGTERM - 1));
  for (const double deadline = now_s() + 20; pid > 0 && now_s() < deadline; pause_s(0.01)) {
    std::string text = slurp(status);
    size_t at = text.find("SigCgt:");
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);  // left to stop()
    if (text.empty() || info.si_pid == pid) return false;
    if (at != std::string::npos && (std::stoull(text.substr(at + 7), nullptr, 16) & wanted) == wanted)
      return true;
  }
  return false;
}

int sandbox::stop(int sig, double timeout_s) {
  if (pid <= 0) return -1;
  if (sig) kill(pid, sig);
  int status = reap(pid, timeout_s);
  pid = -1;
  return status;
}

// ---- rule server -----------------------------------------------------------------------------

rule_server::rule_server() : dir(the_root.path + "/rule_server") {
  mkdir(dir.c_str(), 0755);
  answer(200, "");
  pid = fork();
  if (pid == 0) {
    dup2(open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
    execlp("python3", "python3", source("tests/support/rule_server.py").c_str(), "--dir",
           dir.c_str(), "--certs", (std::string(KIV_BIN_DIR) + "/test-certs").c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  for (const double deadline = now_s() + 60; slurp(dir + "/port").empty(); pause_s(0.05))
    if (now_s() > deadline || waitpid(pid, nullptr, WNOHANG) != 0) ADD_FAILURE() << "no rule server";
}

rule_server::~rule_server() {
  stop();
}

void rule_server::stop() {
  if (pid > 0) kill(pid, SIGTERM);
  if (pid > 0) reap(pid, 5);
  pid = -1;
}

std::string rule_server::url(const char* listener) const {
  std::string port = slurp(dir + "/" + listener);
  return "https://127.0.0.1:" + (port.empty() ? std::string("1") : port.substr(0, port.size() - 1));
}

std::string rule_server::ca() const {
  return dir + "/ca.pem";
}

void rule_server::answer(int status, const std::string& body, double delay) const {
  put(dir + "/body.bin", body);
  put(dir + "/control.tmp", "{\"status\": " + std::to_string(status) + ", \"body_file\": \"" +
                                dir + "/body.bin\", \"delay\": " + std::to_string(delay) + "}");
  rename((dir + "/control.tmp").c_str(), (dir + "/control.json").c_str());
}

void rule_server::fault(const std::string& mode) const {
  put(dir + "/control.tmp", "{\"mode\": \"" + mode + "\"}");
  rename((dir + "/control.tmp").c_str(), (dir + "/control.json").c_str());
}

std::string rule_server::requests() const {
  return slurp(dir + "/requests.jsonl");
}

// ---- router ----------------------------------------------------------------------------------

router::router() {
  setenv("KIV_CA_BUNDLE", server.ca().c_str(), 1);
  set("success_start_service", "1");
  set("productid", "KV-1000");
  set("kiv_debug_server", server.url());
  set("ntp_ready", "1");
  set("link_internet", "1");
  write("tmp/syslog.log", "");
  clock(100);
}

bool router::start(double scale, const std::vector<std::string>& env) {
  if (!sandbox::start(scale, env)) return false;
  // The follower reads from the end of the log: lines until one is walked.
  for (const double deadline = now_s() + 20; now_s() < deadline;) {
    const std::string line = "ready-" + std::to_string(++markers);
    append("tmp/syslog.log", line + "\n");
    if (wait_for("tmp/kiv.log", ")]pBuf=[" + line + "]\n", 1, 0.5)) return true;
  }
  return false;
}

bool router::load(const std::string& json) {
  server.answer(200, packed(json));
  set("kiv_quick_period", "1");
  set("link_internet", "2");
  bool ok = wait_for("tmp/kiv.log", ")]New arraylen=", static_cast<size_t>(loads) + 1, 30);
  set("link_internet", "1");
  loads += ok ? 1 : 0;
  return ok;
}

bool router::lines(const std::string& text) {
  const std::string marker = "-- marker " + std::to_string(++markers) + " --";
  append("tmp/syslog.log", text + marker + "\n");
  return wait_for("tmp/kiv.log", ")]pBuf=[" + marker + "]\n");
}

std::string router::dump() {
  unlink(path("tmp/kiv_dump.txt").c_str());
  kill(pid, SIGUSR2);
  for (const double deadline = now_s() + 20; now_s() < deadline; pause_s(0.05)) {
    std::string text = read("tmp/kiv_dump.txt");
    pause_s(0.05);
    if (text.find("\ngArraylen=[") != std::string::npos && text == read("tmp/kiv_dump.txt"))
      return text;
  }
  return "";
}

bool install(const std::string& json) {
  router_identity id;
  id.productid = "KV-1000";
  rule_load load;
  if (build_rule_set(json.c_str(), id, &global_pause, &load) != RULES_OK) return false;
  std::lock_guard<std::mutex> lock(mp_mutex);
  free_monitor_profile(&mp, gArraylen);
  json_object_put(gJsonObj);
  mp = load.array;
  gArraylen = load.n;
  gJsonObj = load.doc;
  return true;
}

std::string packed(const std::string& json, unsigned ran) {
  return make_container(json, ran);
}

std::string rule(const std::string& fields) {
  return "{\"model\":\"KV-1000\"," + fields + "}";
}

}  // namespace kivtest
