// The walk buffer of the log facility: the records of one walk reach the file together, with the
// very bytes and rotation boundaries that writing record by record gives, before the walk ends,
// before the walker releases mp_mutex, and before it waits for the lock.
#include <gtest/gtest.h>
#include <regex.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "core/kiv_log.h"
#include "detect/monitor_syslog.h"
#include "rules/monitor_profile.h"
#include "rules/pattern_literals.h"
#include "support/profiles.h"
#include "support/sandbox.h"

namespace {

constexpr size_t kRotateSize = 1048577;

// The log as record-by-record writing leaves it: a record that starts when the file holds
// kRotateSize bytes or more goes to a fresh file, the full one to kiv.log.1.
struct reference_log {
  std::string live, rotated;
  void add(const std::string& record) {
    if (live.size() >= kRotateSize) {
      rotated = live;
      live.clear();
    }
    live += record;
  }
};

// Record k of the sequence, written through one of the facility's entries; its expected text.
std::string write_record(int k) {
  const std::string text = "line " + std::to_string(k) + " of a router log";
  switch (k % 5) {
    case 0:
      kiv_log("_monitor_syslog", 251, "pBuf=[%s]\n", text.c_str());
      return "[KIV][_monitor_syslog:(251)]pBuf=[" + text + "]\n";
    case 1:
      kiv_log("_monitor_syslog", 188, "rear[%d] = [%f]\n", k, 1.5);
      return "[KIV][_monitor_syslog:(188)]rear[" + std::to_string(k) + "] = [1.500000]\n";
    case 2: {
      static const std::string head = kiv_log_head("match_func", 40) + "[No match]::[";
      kiv_log_pieces({head, text, "]\n"});
      return head + text + "]\n";
    }
    case 3:  // no line end: the next record continues the line
      kiv_log("process_json", 10, "ntp_ready %d", k);
      return "[KIV][process_json:(10)]ntp_ready " + std::to_string(k);
    default: {  // longer than a record may be: cut, keeping its line end
      std::string long_text(1200, static_cast<char>('a' + k % 26));
      kiv_log("f", 1, "%s\n", long_text.c_str());
      std::string record = "[KIV][f:(1)]" + long_text.substr(0, 997 - 12);
      record.back() = '\n';
      return record;
    }
  }
}

enum class mode { record_by_record, walks, walks_with_console };

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The console copy of records: each without its "[KIV]" tag.
std::string console_copy(const std::string& records) {
  std::string copy;
  size_t from = 0;
  for (size_t at = records.find("[KIV]["); at != std::string::npos;
       at = records.find("[KIV][", at + 1)) {
    copy.append(records, from, at - from);
    from = at + 5;
  }
  return copy + records.substr(from);
}

}  // namespace

// Across two rotations, one of them inside a walk, the files and the console copy are the bytes
// of the reference.
TEST(LogWalk, SameBytesAndRotationsAsRecordByRecord) {
  for (mode m : {mode::record_by_record, mode::walks, mode::walks_with_console}) {
    kivtest::sandbox sb;
    sb.write("dev/console", "");
    sb.set("kiv_debug_flag", m == mode::walks_with_console ? "1" : "0");
    reference_log ref;
    ref.rotated = "old generation\n";
    ref.live = std::string(kRotateSize - 5000, 'x');  // the first rotation falls inside walk 0
    sb.write("tmp/kiv.log.1", ref.rotated);
    sb.write("tmp/kiv.log", ref.live);
    std::string console;
    int k = 0;
    for (int walk = 0; walk < 120; ++walk) {
      if (m == mode::record_by_record) {
        for (int r = 0; r < 101; ++r) ref.add(write_record(k++));
      } else {
        kiv_log_walk held;
        for (int r = 0; r < 100; ++r) ref.add(write_record(k++));
        {
          kiv_log_walk nested;  // an inner walk writes what is held when it ends
          ref.add(write_record(k++));
        }
      }
      ref.add(write_record(k++));  // a record of no walk
    }
    SCOPED_TRACE(static_cast<int>(m));
    std::string live = sb.read("tmp/kiv.log"), rotated = sb.read("tmp/kiv.log.1");
    ASSERT_EQ(live.size(), ref.live.size());
    EXPECT_TRUE(live == ref.live);
    ASSERT_EQ(rotated.size(), ref.rotated.size());
    EXPECT_TRUE(rotated == ref.rotated);
    if (m == mode::walks_with_console) {
      // Every record of the second generation, less its "[KIV]" tag, went to the console too.
      std::string copy = sb.read("dev/console");
      std::string tail = console_copy(ref.live);
      ASSERT_GE(copy.size(), tail.size());
      EXPECT_TRUE(copy.compare(copy.size() - tail.size(), tail.size(), tail) == 0);
    }
  }
}

namespace {

// n active profiles; even ones with a prefilter, odd ones matched by regexec alone.
void compile_profiles(int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    monitor_profile& p = mp[i];
    p.isActive = 1;
    p.re_pattern = "fault " + std::to_string(i) + ": (down|stuck)";
    ASSERT_EQ(regcomp(&p.regex, p.re_pattern->c_str(), REG_EXTENDED), 0);
    p.regex_compiled = true;
    if (i % 2 == 0) p.literals = required_literals(p.re_pattern->c_str());
  }
}

// One line as the syslog monitor takes it: its "pBuf" record, then the walk.
void walk_as_the_daemon(const std::string& line, int* pause_logged) {
  kiv_log_walk walk;
  kiv_log("_monitor_syslog", 251, "pBuf=[%s]\n", line.c_str());
  walk_log_line(line.c_str(), pause_logged);
}

}  // namespace

// A walk's records are in the file when the walk returns and whenever another thread holds
// mp_mutex; a walker that finds the lock taken writes its "pBuf" record before it waits.
TEST(LogWalk, RecordsInTheFileBeforeTheNextLineAndBeforeTheLockIsFree) {
  kivtest::sandbox sb;
  constexpr int32_t kProfiles = 30;
  kivtest::installed_set set(kProfiles);
  compile_profiles(kProfiles);
  // Every line matches no profile: a walk is "pBuf", "gArraylen" and two records per profile.
  // A walker that waits for the lock may have written its "pBuf" alone, as the last record.
  auto whole_walks = [](std::string log) {
    size_t last = log.rfind("[KIV][");
    if (last != std::string::npos && log.find(")]pBuf=[", last) != std::string::npos)
      log.resize(last);
    size_t lines = occurrences(log, ")]pBuf=[");
    return occurrences(log, ")]gArraylen=[") == lines &&
           occurrences(log, ")]gArraylen=[30]\n") == lines &&
           occurrences(log, ")][re_pattern]::[") == kProfiles * lines &&
           occurrences(log, ")][No match]::[") == kProfiles * lines;
  };

  std::atomic<bool> done{false};
  std::atomic<int> broken_after_walk{0};
  std::thread walker([&] {
    int pause_logged = 0;
    for (int k = 0; k < 60; ++k) {
      walk_as_the_daemon("Dec  7 08:00:00 kernel: line " + std::to_string(k), &pause_logged);
      std::string log = sb.read("tmp/kiv.log");
      if (!whole_walks(log) || occurrences(log, ")]pBuf=[") != static_cast<size_t>(k + 1))
        broken_after_walk.fetch_add(1);
    }
    done.store(true);
  });
  int looks = 0, broken_under_lock = 0;
  while (!done.load()) {
    std::lock_guard<std::mutex> lock(mp_mutex);
    if (!whole_walks(sb.read("tmp/kiv.log"))) ++broken_under_lock;
    ++looks;
  }
  walker.join();
  EXPECT_EQ(broken_after_walk.load(), 0);
  EXPECT_EQ(broken_under_lock, 0) << "of " << looks;

  // The lock taken by another thread (a heal): the waiting walker's "pBuf" is in the file.
  std::unique_lock<std::mutex> heal(mp_mutex);
  std::thread waiting([] {
    int pause_logged = 0;
    walk_as_the_daemon("Dec  7 08:00:01 while healing", &pause_logged);
  });
  bool written = sb.wait_for("tmp/kiv.log", ")]pBuf=[Dec  7 08:00:01 while healing]\n", 30);
  heal.unlock();
  waiting.join();
  EXPECT_TRUE(written);
  EXPECT_TRUE(whole_walks(sb.read("tmp/kiv.log")));
}
