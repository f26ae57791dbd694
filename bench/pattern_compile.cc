// What compiling a rule's pattern costs in time, over generated patterns of the shapes that make
// regcomp slow: parts that can match nothing ("(a|)", "(\b|)", "a?") under stacked counts and
// repetitions, after or around anchors. Each pattern the guard lets through is compiled in a
// child of its own under a CPU limit, so that one stall cannot stop the run.
// With --refused-too it also times the patterns the guard refuses, to show what it keeps out.
//   kiv_pattern_compile [PATTERNS] [SEED] [LIMIT_S] [--refused-too]   (default 20000, 5, 5 s)
#include <regex.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "rules/pattern_guard.h"

namespace {

std::string generated(std::mt19937& rng) {
  static const char* const kInner[] = {"", "a", "\\b", "^", "a?", "a*", "b*", "\\<"};
  static const char* const kOps[] = {"",     "*",     "+",     "?",     "{1,}", "{2}",
                                     "{,3}", "{0,2}", "{1,2}", "{2,3}", "{4}",  "{5}"};
  auto pick = [&rng](const auto& from) {
    return std::string(from[rng() % (sizeof from / sizeof from[0])]);
  };
  // A group of two alternatives, wrapped once or twice more, each level under one to three
  // stacked operators.
  std::string p = "(" + pick(kInner) + "|" + pick(kInner) + ")";
  for (int level = static_cast<int>(rng() % 3); level >= 0; --level) {
    for (int ops = 1 + static_cast<int>(rng() % 3); ops > 0; --ops) p += pick(kOps);
    if (level > 0) p = "(" + p + (rng() % 2 ? "|b)" : "|)");
  }
  return (rng() % 2 ? "^" : "") + p + (rng() % 3 == 0 ? "x" : "");
}

// CPU seconds regcomp took in a child limited to limit_s, or -1 when the limit stopped it.
double compile_seconds(const std::string& pattern, int limit_s) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit cpu{static_cast<rlim_t>(limit_s), static_cast<rlim_t>(limit_s)};
    setrlimit(RLIMIT_CPU, &cpu);
    const std::clock_t start = std::clock();
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) == 0) regfree(&re);
    const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    _exit(write(fds[1], &took, sizeof took) == sizeof took ? 0 : 1);
  }
  close(fds[1]);
  double took = -1;
  if (read(fds[0], &took, sizeof took) != sizeof took) took = -1;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::mt19937 rng(argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 5);
  const int limit_s = argc > 3 ? std::atoi(argv[3]) : 5;
  const bool refused_too = argc > 4 && std::string(argv[4]) == "--refused-too";
  int refused = 0, passed = 0, slow = 0, refused_slow = 0;
  double worst = 0;
  std::string worst_p;
  for (int i = 0; i < count; ++i) {
    const std::string p = generated(rng);
    if (!pattern_refusal(p.c_str()).empty()) {
      ++refused;
      if (refused_too) {
        const double took = compile_seconds(p, limit_s);
        refused_slow += took < 0 || took > 0.2;
      }
      continue;
    }
    ++passed;
    const double took = compile_seconds(p, limit_s);
    if (took < 0 || took > 0.2) {
      ++slow;
      std::printf("slow: %s %s\n", took < 0 ? "stopped" : std::to_string(took).c_str(), p.c_str());
    }
    if (took < 0 || took > worst) worst = took < 0 ? limit_s : took, worst_p = p;
  }
  std::printf("%d patterns: %d refused, %d compiled, %d of them in more than 0.2 s\n", count,
              refused, passed, slow);
  if (refused_too)
    std::printf("of the refused, %d take more than 0.2 s (or are stopped at %d s)\n", refused_slow,
                limit_s);
  std::printf("slowest compile of a pattern the guard passes: %.3f s  %s\n", worst,
              worst_p.c_str());
  return slow == 0 ? 0 : 1;
}
