// Micro benchmark of the per-line path: one log line walked over N active profiles by the syslog
// monitor's walk (prefilter, matching, ring, every record held and written at the walk's end),
// with the real log facility writing to a real file in a sandbox root; and kiv_log alone. The
// records go to $ROOT/tmp/kiv.log, rotated by size as the daemon rotates it.
//
//   kiv_line_bench [--benchmark_filter=...]     (KIV_BENCH_KEEP=1 keeps the sandbox root)
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "bench/bench_lines.h"
#include "core/kiv_log.h"
#include "detect/monitor_syslog.h"
#include "platform/platform.h"
#include "rules/rule_reader.h"

namespace {

std::string g_root;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

// The sandbox root the daemon's paths go below, with the directories the daemon expects.
void make_root() {
  char tmpl[] = "/tmp/kiv-bench.XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    exit(2);
  }
  g_root = tmpl;
  for (const char* d : {"/tmp", "/var", "/var/run", "/dev", "/jffs"})
    mkdir((g_root + d).c_str(), 0755);
  setenv("KIV_ROOT", g_root.c_str(), 1);
  // A settings store of the usual size, the debug key off as on a router in service.
  const char* keys[][2] = {{"productid", "KV-1000"},
                           {"firmver", "3.0.0.4"},
                           {"buildno", "388"},
                           {"extendno", "24209"},
                           {"label_mac", "02:00:5E:10:00:01"},
                           {"territory_code", "EU/01"},
                           {"link_internet", "2"},
                           {"ntp_ready", "1"},
                           {"success_start_service", "1"},
                           {"kiv_debug_flag", "0"}};
  for (const auto& kv : keys) nvram_set(kv[0], kv[1]);
}

void remove_root() {
  if (g_root.empty() || getenv("KIV_BENCH_KEEP")) return;
  nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// N active profiles as the rule file reader leaves them: compiled pattern, ring of 3, one action.
void install_profiles(int32_t n) {
  auto set = std::make_unique<rule_set>();
  set->count = n;
  set->profiles.resize(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    monitor_profile& p = set->profiles[static_cast<size_t>(i)];
    p.index = i;
    p.kiv_keyword = "fault_" + std::to_string(i);
    p.re_pattern = kivbench::fault_pattern(i);
    if (!compile_pattern(p.re_pattern->c_str(), &p.pattern).empty()) {
      fprintf(stderr, "pattern %d does not compile: %s\n", static_cast<int>(i),
              p.re_pattern->c_str());
      exit(2);
    }
    p.frequency = 3;
    p.period = 60;
    p.timestamp.assign(3, 0.0f);
    p.actions = {rule_action{"nop", 0}};
  }
  set->prefilter = build_shared_prefilter(set->profiles);
  rule_set_hold hold = hold_rule_set();
  replace_rule_set(hold, std::move(set));
}

// The search of profile i alone, as match_func makes it after its prefilter.
bool searches(int32_t i, const std::string& line) {
  rule_set_hold hold = hold_rule_set();
  return profile_regexec(hold.set->profiles[static_cast<size_t>(i)], line.c_str(), line.size()) ==
         0;
}

// The fault line of profile 0 must match it alone, and the ordinary lines nothing: otherwise the
// numbers would not measure what their names say.
void check_lines(int32_t n) {
  std::string fault = kivbench::fault_line(0);
  for (int32_t i = 0; i < n; ++i) {
    bool hit = searches(i, fault);
    for (const std::string& line : kivbench::ordinary_lines())
      if (searches(i, line.substr(0, 255))) {
        fprintf(stderr, "ordinary line matches profile %d\n", static_cast<int>(i));
        exit(2);
      }
    if (hit != (i == 0)) {
      fprintf(stderr, "fault line of profile 0 and profile %d disagree\n", static_cast<int>(i));
      exit(2);
    }
  }
}

// Lines as the syslog monitor hands them to the walk: at most 255 characters.
std::vector<std::string> walked_lines() {
  std::vector<std::string> lines;
  for (const std::string& l : kivbench::ordinary_lines()) lines.push_back(l.substr(0, 255));
  return lines;
}

void BM_WalkLine(benchmark::State& state) {
  int32_t n = static_cast<int32_t>(state.range(0));
  bool matching = state.range(1) != 0;
  install_profiles(n);
  check_lines(n);
  std::vector<std::string> lines = walked_lines();
  std::string fault = kivbench::fault_line(0);
  int pause_logged = 0;
  size_t k = 0;
  uint64_t line_no = 0;
  for (auto _ : state) {
    const char* line = matching ? fault.c_str() : lines[k++ % lines.size()].c_str();
    // The record the monitor writes for every line before the walk, in the same walk.
    kiv_log_walk walk;
    kiv_log("_monitor_syslog", 251, "pBuf=[%s]\n", line);
    benchmark::DoNotOptimize(walk_log_line(log_piece{line, {}, ++line_no}, &pause_logged));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetLabel(matching ? "lines, matching 1 profile" : "lines, matching none");
}
BENCHMARK(BM_WalkLine)
    ->ArgNames({"N", "match"})
    ->ArgsProduct({{1, 10, 100, 1000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// One record of the usual length through the whole facility (rotation test, file, console test).
void BM_KivLog(benchmark::State& state) {
  const std::string& line = kivbench::ordinary_lines()[1];
  for (auto _ : state) kiv_log("_monitor_syslog", 251, "pBuf=[%s]\n", line.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_KivLog)->Unit(benchmark::kMicrosecond);

// The settings read every record makes (kiv_debug_flag), alone.
void BM_SettingsRead(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nvram_match("kiv_debug_flag", "1"));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SettingsRead)->Unit(benchmark::kMicrosecond);

// For reference: the expression engine alone, one non-matching line over N patterns.
void BM_RegexecOnly(benchmark::State& state) {
  int32_t n = static_cast<int32_t>(state.range(0));
  install_profiles(n);
  std::vector<std::string> lines = walked_lines();
  size_t k = 0;
  rule_set_hold hold = hold_rule_set();
  for (auto _ : state) {
    const char* line = lines[k++ % lines.size()].c_str();
    int hits = 0;
    for (const monitor_profile& p : hold.set->profiles)
      hits += profile_regexec(p, line, strlen(line)) == 0;
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RegexecOnly)
    ->ArgName("N")
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  make_root();
  printf("sandbox root %s\n", g_root.c_str());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  release_rule_set();
  remove_root();
  return 0;
}
