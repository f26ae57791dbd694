#include "support/kivtest.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <regex.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/platform.h"
#include "rules/rule_reader.h"
#include "update/container.h"

namespace kivtest {

namespace {

const char* const kDirs[] = {"tmp", "var", "var/run", "dev", "jffs"};
std::string root;

int remove_entry(const char* p, const struct stat*, int, struct FTW*) {
  return ::remove(p), 0;
}

// The root of this process, made before main() so that no platform call reads the environment
// first; removed at exit.
struct process_root {
  process_root() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivtest.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    root = tmpl;
    setenv("KIV_ROOT", root.c_str(), 1);
    setenv("KIV_TIME_SCALE", "0.01", 1);
    for (const char* d : kDirs) mkdir((root + "/" + d).c_str(), 0755);
  }
  ~process_root() { nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
} the_root;

// Everything below the root but the standing directories and the settings store's files.
int empty_entry(const char* p, const struct stat*, int, struct FTW*) {
  const std::string rel = std::string(p).substr(std::min(strlen(p), root.size() + 1));
  if (rel.empty() || rel == "var/nvram.txt" || rel == "var/nvram.lock") return 0;
  if (std::find(std::begin(kDirs), std::end(kDirs), rel) == std::end(kDirs)) ::remove(p);
  return 0;
}

// Where each thread of a process that outlived its wait is: its name, state, wait channel,
// system call and signal masks, so that a hang seen once in a loaded run tells its place.
void print_threads(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
  DIR* tasks = opendir(dir.c_str());
  if (!tasks) return;
  while (const dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    const std::string at = dir + e->d_name + "/";
    auto line = [&at](const char* file) {
      const std::string text = slurp(at + file);
      return text.substr(0, text.find('\n'));
    };
    const std::string status = slurp(at + "status"), stat = line("stat");
    std::string masks;
    for (const char* name : {"SigPnd", "ShdPnd", "SigBlk"})
      if (const size_t from = status.find(name); from != std::string::npos)
        masks += " " + status.substr(from, status.find('\n', from) - from);
    fprintf(stderr, "  thread %s %s: %s wchan=%s syscall=%s%s\n", e->d_name, line("comm").c_str(),
            stat.substr(stat.rfind(')') + 2, 1).c_str(), line("wchan").c_str(),
            line("syscall").c_str(), masks.c_str());
  }
  closedir(tasks);
}

std::string table_text(const std::string& s) {
  static const std::regex escape(R"(\\n|\\t|\\x[0-9a-f]{2}|<<(.*?)\*(\d+)(?:\.\.(\d+))?>>)");
  std::string out;
  auto from = s.cbegin();
  for (std::sregex_iterator m(s.begin(), s.end(), escape), end; m != end; ++m) {
    out.append(from, (*m)[0].first);
    from = (*m)[0].second;
    const std::string e = m->str();
    if (e[0] == '<') {
      const bool range = (*m)[3].matched;
      const int first = range ? std::stoi((*m)[2]) : 0;
      const int last = range ? std::stoi((*m)[3]) : std::stoi((*m)[2]) - 1;
      const std::string text = (*m)[1].str(), once = table_text(text);
      for (int n = first; n <= last; ++n)
        out +=
            text.find("{#}") == std::string::npos
                ? once
                : table_text(std::regex_replace(text, std::regex(R"(\{#\})"), std::to_string(n)));
    } else {
      out += e == "\\n"   ? '\n'
             : e == "\\t" ? '\t'
                          : static_cast<char>(std::stoi(e.substr(2), nullptr, 16));
    }
  }
  return out.append(from, s.cend());
}

}  // namespace

int reap(pid_t pid, double timeout_s) {
  int status = 0;
  for (const double deadline = now_s() + timeout_s; waitpid(pid, &status, WNOHANG) == 0;) {
    if (now_s() < deadline) {
      pause_s(0.005);
      continue;
    }
    fprintf(stderr, "process %ld did not end within %.0f s:\n", static_cast<long>(pid), timeout_s);
    print_threads(pid);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_s(double s) {
  struct timespec ts = {static_cast<time_t>(s),
                        static_cast<long>((s - static_cast<long>(s)) * 1e9)};
  while (nanosleep(&ts, &ts) != 0) {
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
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string& path, const std::string& content, bool append) {
  std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << content;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
    ++n;
  return n;
}

bool in_order(const std::string& text, const std::vector<std::string>& parts) {
  size_t pos = 0;
  for (const auto& p : parts)
    if ((pos = text.find(p, pos)) == std::string::npos) return false;
  return true;
}

double cpu_seconds(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string f;
  for (int i = 0; i < 11; ++i) fields >> f;  // state .. cmajflt, then utime and stime
  long long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<table_row> cases(const std::string& name, const std::string& dir, bool continued) {
  const std::string file = dir + "/" + name;
  std::vector<std::pair<int, std::string>> lines;  // a row's first line and its text
  std::istringstream in(slurp(source(file)));
  bool open = false;  // the line before belongs to a row
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const size_t text = line.find_first_not_of(" \t");
    if (continued && text != 0 && text != std::string::npos) {
      if (!open)
        ADD_FAILURE() << file << ":" << number << ": a continuation line follows no row";
      else
        lines.back().second += (line.compare(text, 2, "| ") ? "" : " ") + line.substr(text);
      continue;
    }
    open = !line.empty() && line[0] != '#' && (!continued || text != std::string::npos);
    if (open) lines.emplace_back(number, line);
  }
  std::vector<table_row> rows;
  for (const auto& [first, line] : lines) {
    rows.emplace_back();
    rows.back().where = file + ":" + std::to_string(first);
    for (size_t at = 0, bar; at != std::string::npos;
         at = bar == std::string::npos ? bar : bar + 3) {
      bar = line.find(" | ", at);
      rows.back().push_back(table_text(line.substr(at, bar - at)));
    }
  }
  EXPECT_FALSE(rows.empty()) << "no cases in " << file;
  return rows;
}

namespace {

// A pattern for each regcomp message the suite meets, and glibc's words for it.
const std::pair<const char*, const char*> kRegcompWords[] = {
    {"(", "Unmatched ( or \\("},
    {"a{2,1}", "Invalid content of \\{\\}"},
    {"[[:nope:]]", "Invalid character class name"},
    {"[a", "Unmatched [, [^, [:, [., or [="},
    {"[b-a]", "Invalid range end"},
    {"a\\", "Trailing backslash"},
};

std::string regcomp_words(const char* pattern) {
  regex_t re;
  const int rc = regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB);
  if (rc == 0) {
    regfree(&re);
    return "";
  }
  char words[160];
  regerror(rc, &re, words, sizeof words);
  return words;
}

}  // namespace

std::string library_refusal(const std::string& pattern) {
  return in_glibc_words(regcomp_words(pattern.c_str()));
}

std::string in_glibc_words(std::string text) {
  for (const auto& [pattern, glibc] : kRegcompWords) {
    const std::string own = regcomp_words(pattern);
    if (own.empty() || own == glibc) continue;
    for (size_t at = 0; (at = text.find(own, at)) != std::string::npos; at += strlen(glibc))
      text.replace(at, own.size(), glibc);
  }
  return text;
}

bool library_edges_are_word_edges() {
  regex_t re;
  if (regcomp(&re, "\\b", REG_EXTENDED | REG_NOSUB) != 0) return false;
  const bool edges = regexec(&re, " ", 0, nullptr, 0) == 0;
  regfree(&re);
  return edges;
}

void expect_golden(const std::string& name, const std::string& given) {
  const std::string text = in_glibc_words(given);
  const std::string path = source("tests/golden/" + name);
  if (getenv("KIV_UPDATE_GOLDEN")) put(path, text);
  EXPECT_TRUE(slurp(path) == text) << "tests/golden/" << name << " differs from:\n" << text;
}

std::string blank_lines(const std::string& text) {
  static const std::regex line(R"((\[[A-Za-z_]\w*):\(-?\d+\)\])");
  static const std::regex stamp(R"([A-Z][a-z]{2} [ 1-3]\d [\d:]{8} kiv: )");
  return std::regex_replace(std::regex_replace(text, line, "$1:(N)]"), stamp,
                            "MMM dd HH:MM:SS kiv: ");
}

std::string normalized_log(const std::string& log, bool by_function) {
  const std::string text = blank_lines(log);
  std::vector<std::pair<std::string, std::string>> records;
  for (size_t at = text.find("[KIV]["), next; at != std::string::npos; at = next) {
    next = text.find("[KIV][", at + 1);
    std::string func = text.substr(at + 6, text.find(':', at) - at - 6);
    if (func != "monitor_jffs") records.emplace_back(func, text.substr(at, next - at));
  }
  if (by_function)
    std::stable_sort(records.begin(), records.end(),
                     [](auto& a, auto& b) { return a.first < b.first; });
  std::string out;
  for (const auto& r : records) out += r.second;
  return out;
}

bool whole_dump(const std::string& d) {
  const size_t at = d.find("\ngArraylen=[");
  return at != std::string::npos && d.back() == '\n' &&
         occurrences(d, "=====monitor_profile[") == std::stoul(d.substr(at + 12)) &&
         occurrences(d, "=>action[") == occurrences(d, "==>actionRetry[");
}

int in_child(const std::function<void()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  return pid < 0 ? -1 : reap(pid, 60);
}

// In a child: argv in place of this process (its first word looked up in PATH), or status 127.
[[noreturn]] static void exec_argv(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

run_result run(const std::vector<std::string>& argv, const std::string& input) {
  static std::atomic<int> serial{0};
  const std::string base =
      root + "/run." + std::to_string(getpid()) + "." + std::to_string(serial++);
  put(base + ".in", input);
  run_result r;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open((base + ".in").c_str(), O_RDONLY), 0);
    dup2(open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    exec_argv(argv);
  }
  r.status = pid > 0 ? reap(pid, 30) : -1;
  r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  for (const char* s : {".in", ".out", ".err"}) unlink((base + s).c_str());
  return r;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::vector<std::string>& env) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(fd, 1);
  dup2(fd, 2);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  exec_argv(argv);
}

// ---- sandbox ---------------------------------------------------------------------------------

sandbox::sandbox() {
  nftw(root.c_str(), empty_entry, 16, FTW_DEPTH | FTW_PHYS);
  for (const auto& [key, value] : nvram_show()) nvram_unset(key.c_str());
  release_rule_set();
  global_pause.store(0);
  healing_index.store(-1);
}

sandbox::~sandbox() {
  if (pid > 0) stop(SIGKILL);
}

std::string sandbox::path(const std::string& rel) const {
  return root + "/" + rel;
}

std::string sandbox::read(const std::string& rel) const {
  return slurp(path(rel));
}

void sandbox::write(const std::string& rel, const std::string& content, bool append) const {
  put(path(rel), content, append);
}

void sandbox::syslog(const std::string& lines) const {
  write("tmp/syslog.log", lines, true);
}

size_t sandbox::count(const std::string& rel, const std::string& text) const {
  return occurrences(read(rel), text);
}

bool sandbox::wait_for(const std::string& rel, const std::string& text, size_t n, double t) const {
  for (const double deadline = now_s() + t; count(rel, text) < n; pause_s(0.02))
    if (now_s() >= deadline) return false;
  return true;
}

void sandbox::set(const std::string& key, const std::string& value) const {
  nvram_set(key.c_str(), value.c_str());
}

void sandbox::settings(const std::string& list) const {
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ';');)
    if (item.find('=') != std::string::npos)
      set(item.substr(0, item.find('=')), item.substr(item.find('=') + 1));
}

std::string sandbox::get(const std::string& key) const {
  return nvram_safe_get(key.c_str());
}

void sandbox::clock(double uptime) const {
  mkdir(path("proc").c_str(), 0755);
  write("proc/uptime", std::to_string(uptime) + " 10.00\n");
}

void sandbox::service_hook(const std::string& sh) const {
  mkdir(path("sbin").c_str(), 0755);
  write("sbin/service-event", sh);
  chmod(path("sbin/service-event").c_str(), 0755);
}

bool sandbox::start(double scale, const std::vector<std::string>& env, bool ready) {
  std::vector<std::string> all = env;
  all.push_back("KIV_TIME_SCALE=" + std::to_string(scale));
  pid = spawn({bin("kiv")}, path("kiv.out"), all);
  // Ready once the handlers are in place: a signal before takes its default action. Under a
  // user-mode emulator the kernel shows the emulator's handlers, not the daemon's; the PID file
  // tells instead: the main thread installs the handlers right after starting the thread that
  // appends the follower's id.
  for (const double deadline = now_s() + 20; ready && now_s() < deadline; pause_s(0.01)) {
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);  // left to stop()
    if (status.empty() || info.si_pid == pid) return false;
#ifdef KIV_TEST_EMULATED
    // A FIFO a test planted there is never waited on: the daemon replaces it with the file.
    struct stat st;
    const bool file = lstat(path("var/run/kiv.pid").c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string ids = file ? read("var/run/kiv.pid") : "";
    if (ids.rfind(std::to_string(pid) + "\n", 0) == 0 && occurrences(ids, "\n") >= 2) return true;
#else
    const size_t at = status.find("SigCgt:");
    const unsigned long long caught = std::stoull(status.substr(at + 7), nullptr, 16);
    if ((caught & kiv_signal_bits) == kiv_signal_bits) return true;
#endif
  }
  return !ready && pid > 0;
}

int sandbox::stop(int sig, double timeout_s) {
  if (pid > 0 && sig) kill(pid, sig);
  int status = pid > 0 ? reap(pid, timeout_s) : -1;
  pid = -1;
  return status;
}

bool sandbox::following() {
  // The follower reads from the end of the log: lines until one is walked.
  for (const double deadline = now_s() + 20; now_s() < deadline;) {
    const std::string line = "ready-" + std::to_string(++markers);
    syslog(line + "\n");
    if (wait_for("tmp/kiv.log", ")]pBuf=[" + line + "]\n", 1, 0.5)) return true;
  }
  return false;
}

std::string sandbox::check() const {
  const std::string before = read("tmp/kiv.log");
  auto ends = [this] {
    return count("tmp/kiv.log", ")]end of read_json\n") +
           count("tmp/kiv.log", ")]JSON is not updated yet\n");
  };
  const size_t checks = ends();
  set("kiv_quick_period", "1");
  set("link_internet", "2");
  for (const double end = now_s() + 30; ends() == checks && now_s() < end;) pause_s(0.02);
  set("link_internet", "1");
  return read("tmp/kiv.log").substr(before.size());
}

// ---- router ----------------------------------------------------------------------------------

router::router() : server(root + "/rule_server") {
  mkdir(server.c_str(), 0755);
  answer(200, "");
  server_pid = spawn({"python3", source("tests/support/rule_server.py"), "--dir", server, "--certs",
                      std::string(KIV_BIN_DIR) + "/test-certs"},
                     server + "/out");
  for (const double deadline = now_s() + 60; slurp(server + "/port").empty(); pause_s(0.05))
    if (now_s() > deadline || waitpid(server_pid, nullptr, WNOHANG) != 0) abort();
  setenv("KIV_CA_BUNDLE", (server + "/ca.pem").c_str(), 1);
  set("success_start_service", "1");
  set("productid", "KV-1000");
  set("kiv_debug_server", url());
  set("ntp_ready", "1");
  set("link_internet", "1");
  write("tmp/syslog.log", "");
  clock(100);
}

router::~router() {
  stop(SIGKILL);
  kill(server_pid, SIGTERM);
  reap(server_pid, 5);
}

std::string router::url(const char* listener) const {
  const std::string port = slurp(server + "/" + listener);
  return "https://127.0.0.1:" + (port.empty() ? "1" : port.substr(0, port.size() - 1));
}

// The rule server's next answers, swapped in whole.
void router::control(const std::string& json) const {
  put(server + "/control.tmp", json);
  rename((server + "/control.tmp").c_str(), (server + "/control.json").c_str());
}

void router::answer(int status, const std::string& body, double delay) const {
  put(server + "/body.bin", body);
  control("{\"status\": " + std::to_string(status) + ", \"body_file\": \"" + server +
          "/body.bin\", \"delay\": " + std::to_string(delay) + "}");
}

void router::shed(int status, const std::string& retry_after) const {
  control("{\"status\": " + std::to_string(status) + ", \"retry_after\": \"" + retry_after + "\"}");
}

void router::fault(const std::string& mode) const {
  control("{\"mode\": \"" + mode + "\"}");
}

std::string router::requests() const {
  return slurp(server + "/requests.jsonl");
}

bool router::start(double scale, const std::vector<std::string>& env) {
  return sandbox::start(scale, env) && following();
}

bool router::load(const std::string& json) {
  const size_t sets = count("tmp/kiv.log", ")]New arraylen=");
  answer(200, packed(json));
  set("kiv_quick_period", "1");
  set("link_internet", "2");
  const bool ok = wait_for("tmp/kiv.log", ")]New arraylen=", sets + 1, 30);
  set("link_internet", "1");
  return ok;
}

bool router::lines(const std::string& text) {
  const std::string marker = "-- marker " + std::to_string(++markers) + " --";
  syslog(text + marker + "\n");
  return wait_for("tmp/kiv.log", ")]pBuf=[" + marker + "]\n");
}

std::string router::dump() {
  unlink(path("tmp/kiv_dump.txt").c_str());
  kill(pid, SIGUSR2);
  for (const double deadline = now_s() + 20; now_s() < deadline; pause_s(0.05)) {
    const std::string text = read("tmp/kiv_dump.txt");
    pause_s(0.05);
    if (text.find("\ngArraylen=[") != std::string::npos && text == read("tmp/kiv_dump.txt"))
      return text;
  }
  return "";
}

bool install(const std::string& json) {
  router_identity id;
  id.productid = "KV-1000";
  auto set = std::make_unique<rule_set>();
  if (build_rule_set(json.c_str(), id, set.get()) != RULES_OK) return false;
  if (set->pause) global_pause.store(*set->pause);
  rule_set_hold hold = hold_rule_set();
  replace_rule_set(hold, std::move(set));
  return true;
}

monitor_profile& live_profile(int32_t index) {
  rule_set_hold hold = hold_rule_set();
  for (monitor_profile& p : hold.set->profiles)
    if (p.index == index) return p;
  abort();
}

std::string packed(const std::string& json, unsigned ran) {
  return make_container(json, ran);
}

std::string rule(const std::string& fields) {
  return "{\"model\":\"KV-1000\"," + fields + "}";
}

}  // namespace kivtest
