// The records' floor of the side-by-side benchmark: what writing kiv's log costs, with nothing
// else. For every piece of a log (as the daemon's line read cuts it: at most 255 characters, line
// end dropped) it formats the very records kiv writes at N rules -- "pBuf", "gArraylen", and per
// rule the two records of a non-match or the records of a match with its ring -- into one buffer
// and writes it with one write, rotating the file at 1 MiB at the records where kiv's log rotates
// (a record that would start at 1048577 bytes or past it goes to a fresh file after the move to
// kiv.log.1). Which rules match which piece is found with regexec before the clock starts; the
// record heads ("[KIV][match_func:(N)]" and the like) are taken from a log kiv wrote, so that the
// bytes are kiv's own. Every record that is the same for each line (a rule's pattern record, the
// "gArraylen" record) is made once, and a piece's own non-match record once for all its rules.
//
//   kiv_records_floor PROFILES LOG KIV_LOG OUT_DIR [FREQUENCY]
//
// PROFILES: a rule a line, "keyword<TAB>pattern"; LOG: the log the daemon was fed; KIV_LOG: a
// log kiv wrote at these rules, holding a line that matched (for the heads of the match records);
// OUT_DIR: where kiv.log and kiv.log.1 are written. Prints the pieces, records and bytes written
// and the wall and CPU seconds of the loop alone.
#include <fcntl.h>
#include <regex.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kPieceMax = 255;
constexpr off_t kRotateSize = 1048577;

double wall_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_s() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

[[noreturn]] void fail(const std::string& why) {
  fprintf(stderr, "kiv_records_floor: %s\n", why.c_str());
  exit(2);
}

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::string("cannot read ") + path);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct piece {
  std::string text;
  bool at_start, at_end;
  size_t line;  // the line it belongs to, from 1
};

// The pieces of the log as the daemon's line read gives them.
std::vector<piece> cut_pieces(const std::string& log) {
  std::vector<piece> out;
  size_t at = 0, line = 0;
  bool mid = false;
  while (at < log.size()) {
    const size_t limit = std::min(log.size() - at, kPieceMax);
    const char* nl = static_cast<const char*>(memchr(&log[at], '\n', limit));
    const size_t n = nl ? static_cast<size_t>(nl - &log[at]) : limit;
    const bool ends = nl != nullptr || at + n == log.size();
    if (!mid) ++line;
    out.push_back({log.substr(at, n), !mid, ends, line});
    mid = !ends;
    at += n + (nl ? 1 : 0);
  }
  return out;
}

struct rule {
  std::string keyword, pattern;
  regex_t re;
};

// The heads kiv gave its records, found in a log it wrote by the message's start; the records
// whose message starts alike ("pBuf=[", "gArraylen=[", "[re_pattern]::[", "[Match]::[") keep
// that start in their head.
struct heads {
  std::string pbuf, arraylen, reason, pattern, match, m_keyword, m_pattern, slot, front, rear,
      front_time, rear_time;
};

heads heads_from(const std::string& log, const std::string& no_match) {
  const std::vector<std::pair<std::string, std::string heads::*>> kinds = {
      {"pBuf=[", &heads::pbuf},
      {"gArraylen=[", &heads::arraylen},
      {no_match, &heads::reason},
      {"[re_pattern]::[", &heads::pattern},
      {"[Match]::[", &heads::match},
      {"MATCH::monitor_profile[", &heads::m_keyword},  // told apart below
      {"monitor_profile[", &heads::slot},              // timestamp, front and rear: below
      {"front[", &heads::front_time},
      {"rear[", &heads::rear_time},
  };
  heads h;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string record = log.substr(at, end - at);
    at = end + 1;
    if (record.rfind("[KIV][", 0) != 0) continue;
    const size_t close = record.find(")]");
    if (close == std::string::npos) continue;
    const std::string head = record.substr(0, close + 2), message = record.substr(close + 2);
    for (const auto& [start, field] : kinds) {
      if (message.rfind(start, 0) != 0) continue;
      std::string heads::*f = field;
      if (f == &heads::m_keyword && message.find("].re_pattern=[") != std::string::npos)
        f = &heads::m_pattern;
      if (f == &heads::slot && message.find("].front=[") != std::string::npos) f = &heads::front;
      if (f == &heads::slot && message.find("].rear=[") != std::string::npos) f = &heads::rear;
      // Where the message starts the same for every record of a kind, the head takes it along.
      const bool fixed_start =
          f == &heads::pbuf || f == &heads::arraylen || f == &heads::pattern || f == &heads::match;
      if ((h.*f).empty()) h.*f = fixed_start ? head + start : head;
      break;
    }
  }
  for (const auto& [start, field] : kinds)
    if ((h.*field).empty()) fail("the kiv log holds no \"" + start + "\" record");
  for (const std::string* f : {&h.m_pattern, &h.front, &h.rear})
    if (f->empty()) fail("the kiv log holds no record of a whole match");
  return h;
}

// A profile's ring as kiv keeps it: `front` the slot written last, 0.0 a free slot.
struct ring {
  std::vector<float> slots;
  int front = -1, rear = 0;
  void record(float now) {
    const int n = static_cast<int>(slots.size());
    if (n == 0) return;
    if (++front == n) front = 0;
    if (slots[static_cast<size_t>(front)] != 0.0f && ++rear == n) rear = 0;
    slots[static_cast<size_t>(front)] = now;
  }
};

// One walk's records, and where each ends.
struct batch {
  std::string data;
  std::vector<size_t> ends;
  void add(const char* text, size_t n) {
    data.append(text, n);
    ends.push_back(data.size());
  }
  void add(const std::string& s) { add(s.data(), s.size()); }
  void add3(const std::string& a, const std::string& b, const char* c) {
    data += a;
    data += b;
    data += c;
    ends.push_back(data.size());
  }
};

struct log_out {
  std::string path, rotated;
  int fd = -1;
  off_t size = 0;
  void open_log() {
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot open " + path);
    size = lseek(fd, 0, SEEK_END);
  }
  void put(const char* p, size_t n) {
    while (n > 0) {
      const ssize_t w = write(fd, p, n);
      if (w <= 0) fail("write failed");
      p += w;
      n -= static_cast<size_t>(w);
      size += w;
    }
  }
  // One write for the batch, split where a record would start past the size limit.
  void write_batch(const batch& b) {
    size_t from = 0;
    for (size_t r = 0, start = 0; r < b.ends.size(); start = b.ends[r++]) {
      if (size + static_cast<off_t>(start - from) < kRotateSize) continue;
      put(b.data.data() + from, start - from);
      from = start;
      close(fd);
      rename(path.c_str(), rotated.c_str());
      open_log();
    }
    put(b.data.data() + from, b.data.size() - from);
  }
};

std::string fixed(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%f", v);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: kiv_records_floor PROFILES LOG KIV_LOG OUT_DIR [FREQUENCY]\n");
    return 2;
  }
  const size_t frequency = argc > 5 ? static_cast<size_t>(atoi(argv[5])) : 3;
  std::vector<rule> rules;
  std::ifstream profiles(argv[1]);
  for (std::string l; std::getline(profiles, l);) {
    const size_t tab = l.find('\t');
    if (tab == std::string::npos) fail("a profile line without a tab");
    rule r{l.substr(0, tab), l.substr(tab + 1), {}};
    if (regcomp(&r.re, r.pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
      fail("pattern does not compile: " + r.pattern);
    rules.push_back(std::move(r));
  }
  char words[128];
  regerror(REG_NOMATCH, nullptr, words, sizeof words);
  const std::string no_match = std::string("[") + words + "]::[";
  const heads h = heads_from(slurp(argv[3]), no_match);
  const std::vector<piece> pieces = cut_pieces(slurp(argv[2]));

  // Untimed: which rules match which piece, and the records made once.
  std::vector<std::vector<size_t>> matching(pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i)
    for (size_t k = 0; k < rules.size(); ++k) {
      const int flags = (pieces[i].at_start ? 0 : REG_NOTBOL) | (pieces[i].at_end ? 0 : REG_NOTEOL);
      if (regexec(&rules[k].re, pieces[i].text.c_str(), 0, nullptr, flags) == 0)
        matching[i].push_back(k);
    }
  std::vector<std::string> pattern_records;
  for (const rule& r : rules) pattern_records.push_back(h.pattern + r.pattern + "]\n");
  const std::string arraylen = h.arraylen + std::to_string(rules.size()) + "]\n";
  std::vector<ring> rings(rules.size());
  for (ring& g : rings) g.slots.assign(frequency, 0.0f);
  std::vector<size_t> credited(rules.size(), 0);

  log_out out{std::string(argv[4]) + "/kiv.log", std::string(argv[4]) + "/kiv.log.1"};
  out.open_log();
  batch b;
  std::string reason;
  size_t records = 0, bytes = 0;
  const double wall0 = wall_s(), cpu0 = cpu_s();
  for (size_t i = 0; i < pieces.size(); ++i) {
    const piece& p = pieces[i];
    b.data.clear();
    b.ends.clear();
    b.add3(h.pbuf, p.text, "]\n");
    b.add(arraylen);
    reason.clear();
    const size_t* next = matching[i].data();
    const size_t* last = next + matching[i].size();
    for (size_t k = 0; k < rules.size(); ++k) {
      if (next != last && *next == k) {
        ++next;
        b.add3(h.match, p.text, "]\n");
        if (credited[k] == p.line) continue;  // one line counts once
        credited[k] = p.line;
        struct timespec ts;
        clock_gettime(CLOCK_BOOTTIME, &ts);
        const float now = static_cast<float>(ts.tv_sec) + static_cast<float>(ts.tv_nsec) * 1e-9f;
        const std::string at = std::to_string(k);
        b.add3(h.m_keyword, "MATCH::monitor_profile[" + at + "].kiv_keyword=[" + rules[k].keyword,
               "]\n");
        b.add3(h.m_pattern, "MATCH::monitor_profile[" + at + "].re_pattern=[" + rules[k].pattern,
               "]\n");
        ring& g = rings[k];
        g.record(now);
        for (size_t j = 0; j < g.slots.size(); ++j)
          b.add3(h.slot,
                 "monitor_profile[" + at + "].timestamp[" + std::to_string(j) + "]=[" +
                     fixed(g.slots[j]),
                 "]\n");
        b.add3(h.front, "monitor_profile[" + at + "].front=[" + std::to_string(g.front), "]\n");
        b.add3(h.rear, "monitor_profile[" + at + "].rear=[" + std::to_string(g.rear), "]\n");
        if (!g.slots.empty()) {
          b.add3(h.front_time,
                 "front[" + at + "] = [" + fixed(g.slots[static_cast<size_t>(g.front)]), "]\n");
          b.add3(h.rear_time, "rear[" + at + "] = [" + fixed(g.slots[static_cast<size_t>(g.rear)]),
                 "]\n");
        }
        continue;
      }
      if (reason.empty()) reason = h.reason + no_match + p.text + "]\n";
      b.add(reason);
      b.add(pattern_records[k]);
    }
    out.write_batch(b);
    records += b.ends.size();
    bytes += b.data.size();
  }
  const double wall = wall_s() - wall0, cpu = cpu_s() - cpu0;
  close(out.fd);
  printf("pieces=%zu records=%zu bytes=%zu seconds=%.6f cpu_seconds=%.6f\n", pieces.size(), records,
         bytes, wall, cpu);
  for (rule& r : rules) regfree(&r.re);
  return 0;
}
