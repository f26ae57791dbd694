// The floor of the side-by-side benchmark: the C library's regexec over a log file, nothing
// else. The patterns (one per line of PATTERNS) are compiled as the rule reader compiles them;
// the log is read into memory first and cut into the pieces the daemon walks (at most 255
// characters, line end dropped); then every piece is matched against every pattern. Prints the
// pieces, the matches and the seconds of the loop alone.
//
//   kiv_regexec_loop PATTERNS LOG
#include <regex.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The pieces of the log as the daemon's line read gives them (line end dropped).
std::vector<std::string> cut_pieces(const std::string& text) {
  std::vector<std::string> pieces;
  size_t at = 0;
  while (at < text.size()) {
    size_t limit = text.size() - at < 255 ? text.size() - at : 255;
    const char* nl = static_cast<const char*>(memchr(&text[at], '\n', limit));
    size_t n = nl ? static_cast<size_t>(nl - &text[at]) : limit;
    pieces.emplace_back(text, at, n);
    at += n + (nl ? 1 : 0);
  }
  return pieces;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: kiv_regexec_loop PATTERNS LOG\n");
    return 2;
  }
  std::vector<regex_t> compiled;
  std::ifstream patterns(argv[1]);
  for (std::string p; std::getline(patterns, p);) {
    regex_t re;
    if (regcomp(&re, p.c_str(), REG_EXTENDED) != 0) {
      fprintf(stderr, "pattern does not compile: %s\n", p.c_str());
      return 2;
    }
    compiled.push_back(re);
  }
  std::ifstream log(argv[2], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  std::vector<std::string> pieces = cut_pieces(text);

  double start = now_s();
  long matches = 0;
  for (const std::string& piece : pieces)
    for (regex_t& re : compiled) matches += regexec(&re, piece.c_str(), 0, nullptr, 0) == 0;
  double seconds = now_s() - start;
  printf("pieces=%zu matches=%ld seconds=%.6f\n", pieces.size(), matches, seconds);
  for (regex_t& re : compiled) regfree(&re);
  return 0;
}
