// Prints how many kilobytes compiling argv[1] (extended syntax) adds to this process's peak
// resident size, or -1 when it does not compile. The peak is the kernel's high-water mark of
// this program's own memory (VmHWM); getrusage's figure would carry the size of whichever
// process started this one.
#include <regex.h>

#include <cstdio>
#include <cstring>

namespace {

long peak_kilobytes() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) std::sscanf(line + 6, "%ld", &kb);
  std::fclose(f);
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const long before = peak_kilobytes();
  regex_t re;
  const int rc = regcomp(&re, argv[1], REG_EXTENDED);
  const long after = peak_kilobytes();
  if (before < 0 || after < 0) return 3;  // no way to tell on this system
  std::printf("%ld\n", rc == 0 ? after - before : -1L);
  return 0;
}
