// The system log rotated rapidly while lines keep coming, on the real daemon: every line is
// counted through the daemon's "pBuf=[...]" records, one per line walked.
//
// What the follower (tail -F, following the file by name) can miss, and so what is asserted:
// - It reads one file at a time and turns to the file under the name only once it has seen the
//   old one go. A file moved away or cut before the follower read its end loses that unread end
//   (a file moved away before the follower even opened it is missed whole).
// - A file cut and regrown beyond the follower's read position before the follower saw the cut
//   looks to it as if it had only grown, so the start of the regrown part is skipped.
// - After a move the new file is read from its first byte; nothing is ever read twice.
// So with rotations faster than the follower, lines may be missing only from the end of a
// generation that was rotated away and from the start of one begun by a cut, never from the
// middle of a generation, and none may be doubled. With each rotation made once the follower has
// caught up (its read position, seen in /proc, at the file's end, and a cut seen), none may be
// missing at all.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/router.h"
#include "support/sandbox.h"

namespace {

using kivtest::now_s;

const std::string kLog = "tmp/kiv.log";
const std::string kSyslog = "tmp/syslog.log";

std::string line_text(const std::string& tag, int n) {
  return "Dec  6 12:00:00 app: " + tag + "-" + std::to_string(n);
}

bool start_following(kivtest::sandbox& box) {
  box.write(kSyslog, "");
  if (box.start_kiv() <= 0 || !box.wait_ready(20)) return false;
  // The follower may not have reached the end of the file yet: append until a line is walked.
  return kivtest::append_until_walked(box, "Dec  6 12:00:00 app: ready", 20, 0.5);
}

enum class rotation { move, cut };

// The follower's read position in the file now under the log's name; -1 when it has no such file
// open (it has not yet turned to a new one).
long long follower_position(const kivtest::sandbox& box) {
  std::istringstream ids(box.read("var/run/kiv.pid"));
  long id = -1, last = -1;
  while (ids >> id) last = id;
  struct stat log_st;
  if (last <= 0 || stat(box.path(kSyslog).c_str(), &log_st) != 0) return -1;
  std::string fds = "/proc/" + std::to_string(last) + "/fd";
  DIR* dir = opendir(fds.c_str());
  if (!dir) return -1;
  long long pos = -1;
  while (struct dirent* e = readdir(dir)) {
    struct stat st;
    if (e->d_name[0] == '.' || stat((fds + "/" + e->d_name).c_str(), &st) != 0) continue;
    if (st.st_ino != log_st.st_ino || st.st_dev != log_st.st_dev) continue;
    std::ifstream info("/proc/" + std::to_string(last) + "/fdinfo/" + e->d_name);
    std::string key;
    while (info >> key)
      if (key == "pos:" && (info >> pos)) break;
  }
  closedir(dir);
  return pos;
}

// Waits (at most 2 s) until `done` holds for the follower's position.
template <typename Pred>
bool wait_follower(const kivtest::sandbox& box, Pred done) {
  double deadline = now_s() + 2;
  while (!done(follower_position(box))) {
    if (now_s() >= deadline) return false;
    usleep(500);
  }
  return true;
}

long long log_size(const kivtest::sandbox& box) {
  struct stat st;
  return stat(box.path(kSyslog).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Writes generations.size() + 1 files of `per_generation` lines, each line opened and appended by
// name as a log daemon does, a line every ~200 us; after generation g the log is rotated as
// generations[g] says (moved to syslog.log.1 and created afresh, or cut to zero length in
// place). The last generation is never rotated; an end marker the test waits for follows it.
// With `paced`, each rotation waits until the follower has read the file to its end, and a cut
// until the follower has seen it; returns the number of waits that timed out.
int write_rotating(kivtest::sandbox& box, const std::string& tag,
                   const std::vector<rotation>& generations, int per_generation, bool paced) {
  int late = 0;
  int n = 0;
  for (size_t g = 0; g <= generations.size(); ++g) {
    for (int k = 0; k < per_generation; ++k, ++n) {
      box.append(kSyslog, line_text(tag, n) + "\n");
      if (paced) usleep(200);
    }
    if (g == generations.size()) break;
    if (paced) {
      long long size = log_size(box);
      if (!wait_follower(box, [&](long long pos) { return pos == size; })) ++late;
    }
    if (generations[g] == rotation::move) {
      rename(box.path(kSyslog).c_str(), box.path("tmp/syslog.log.1").c_str());
      box.write(kSyslog, "");
    } else {
      truncate(box.path(kSyslog).c_str(), 0);
      if (paced && !wait_follower(box, [](long long pos) { return pos == 0; })) ++late;
    }
  }
  box.append(kSyslog, line_text(tag + "-end", 0) + "\n");
  return late;
}

// Per generation, which of its lines were walked (true) and how many were walked twice.
struct tally {
  std::vector<std::vector<bool>> walked_lines;
  int lost = 0, doubled = 0;
};

tally count_lines(const kivtest::sandbox& box, const std::string& tag, size_t generations,
                  int per_generation) {
  std::map<std::string, int> seen = kivtest::walked_lines(box);
  tally t;
  t.walked_lines.assign(generations, std::vector<bool>(static_cast<size_t>(per_generation)));
  int n = 0;
  for (auto& gen : t.walked_lines) {
    for (size_t k = 0; k < gen.size(); ++k, ++n) {
      auto it = seen.find(line_text(tag, n));
      gen[k] = it != seen.end();
      if (!gen[k]) ++t.lost;
      if (gen[k] && it->second != 1) ++t.doubled;
    }
  }
  return t;
}

constexpr int kPerGeneration = 40;

std::string pbuf(const std::string& line) {
  return ")]pBuf=[" + line + "]\n";
}

// Move, move, cut, over and over.
std::vector<rotation> mixed_plan() {
  std::vector<rotation> plan;
  for (int i = 0; i < 15; ++i)
    plan.insert(plan.end(), {rotation::move, rotation::move, rotation::cut});
  return plan;
}

}  // namespace

TEST(FaultRotation, RotationsOnceTheFollowerCaughtUpLoseAndDoubleNoLine) {
  kivtest::sandbox box;
  ASSERT_TRUE(start_following(box));
  std::vector<rotation> plan = mixed_plan();
  int late = write_rotating(box, "paced", plan, kPerGeneration, true);
  ASSERT_EQ(late, 0) << "the follower did not catch up within 2 s";
  ASSERT_TRUE(box.wait_for(kLog, pbuf(line_text("paced-end", 0)), 30));
  tally t = count_lines(box, "paced", plan.size() + 1, kPerGeneration);
  // Lines counted: 46 generations of 40, every one walked exactly once.
  int total = static_cast<int>(plan.size() + 1) * kPerGeneration;
  EXPECT_EQ(t.lost, 0) << "of " << total;
  EXPECT_EQ(t.doubled, 0);
  std::cout << "[ figures  ] moved 30 and cut 15 times, follower caught up: " << total
            << " lines, lost " << t.lost << ", doubled " << t.doubled << "\n";
  EXPECT_EQ(box.signal_and_wait(SIGTERM, 20), 0) << box.read("kiv.out");
}

TEST(FaultRotation, RotationsFasterThanTheFollowerLoseOnlyUnreadEndsAndSkippedStarts) {
  kivtest::sandbox box;
  ASSERT_TRUE(start_following(box));
  std::vector<rotation> plan = mixed_plan();
  write_rotating(box, "fast", plan, kPerGeneration, false);
  ASSERT_TRUE(box.wait_for(kLog, pbuf(line_text("fast-end", 0)), 30));
  tally t = count_lines(box, "fast", plan.size() + 1, kPerGeneration);
  EXPECT_EQ(t.doubled, 0);
  int whole = 0;
  for (size_t g = 0; g < t.walked_lines.size(); ++g) {
    bool rotated_away = g < plan.size();
    bool begun_by_cut = g > 0 && plan[g - 1] == rotation::cut;
    const std::vector<bool>& gen = t.walked_lines[g];
    // The walked lines of a generation are one unbroken run: a skipped start only after a cut,
    // an unread end only when the generation was rotated away.
    size_t k = 0;
    while (k < gen.size() && !gen[k]) ++k;
    size_t first = k;
    while (k < gen.size() && gen[k]) ++k;
    size_t end = k;
    while (k < gen.size() && !gen[k]) ++k;
    if (first == gen.size()) {  // missed whole: rotated away before it was read
      EXPECT_TRUE(rotated_away) << "generation " << g;
      continue;
    }
    EXPECT_EQ(k, gen.size()) << "generation " << g << " lost lines in its middle";
    EXPECT_TRUE(first == 0 || begun_by_cut) << "generation " << g << " lost its start";
    EXPECT_TRUE(end == gen.size() || rotated_away) << "generation " << g << " lost its end";
    if (first == 0 && end == gen.size()) ++whole;
  }
  int total = static_cast<int>(plan.size() + 1) * kPerGeneration;
  std::cout << "[ figures  ] moved 30 and cut 15 times at full speed: " << total << " lines, lost "
            << t.lost << ", doubled " << t.doubled << ", generations whole " << whole << " of "
            << t.walked_lines.size() << "\n";
  EXPECT_EQ(box.signal_and_wait(SIGTERM, 20), 0) << box.read("kiv.out");
}

// The follower killed while lines come: the daemon starts a new one at the end of the log, so
// lines appended between the old follower's end and the new one's start are not seen. What may
// be missing is therefore one unbroken run of lines; nothing is doubled and every line appended
// once the new follower is running is walked.
TEST(FaultRotation, FollowerKilledMidBurstLosesOneRunAtMostAndDoublesNothing) {
  kivtest::sandbox box;
  ASSERT_TRUE(start_following(box));
  std::istringstream ids(box.read("var/run/kiv.pid"));
  long id = -1, follower = -1;
  while (ids >> id) follower = id;
  ASSERT_GT(follower, 0);
  constexpr int kLines = 600;
  for (int n = 0; n < kLines; ++n) {
    if (n == kLines / 3) {
      ASSERT_EQ(kill(static_cast<pid_t>(follower), SIGKILL), 0);
    }
    box.append(kSyslog, line_text("kill", n) + "\n");
    usleep(1000);
  }
  // The new follower is running once a line appended now is walked.
  ASSERT_TRUE(kivtest::append_until_walked(box, "Dec  6 12:00:00 app: kill-after", 20, 0.3))
      << "no new follower";
  tally t = count_lines(box, "kill", 1, kLines);
  const std::vector<bool>& got = t.walked_lines[0];
  size_t k = 0;
  while (k < got.size() && got[k]) ++k;
  size_t gap = k;
  while (k < got.size() && !got[k]) ++k;
  size_t resumed = k;
  while (k < got.size() && got[k]) ++k;
  EXPECT_EQ(k, got.size()) << "lines missing in more than one run";
  EXPECT_GE(gap, static_cast<size_t>(kLines / 3) - 1) << "lines lost before the kill";
  EXPECT_EQ(t.doubled, 0);
  EXPECT_EQ(box.count(kLog, ")]Log follower output ended, restart it.\n"), 1u);
  std::cout << "[ figures  ] follower killed after line " << kLines / 3 << " of " << kLines
            << ": lost " << t.lost << " (lines " << gap << ".." << resumed
            << ", appended while no follower ran), doubled " << t.doubled << "\n";
  EXPECT_EQ(box.signal_and_wait(SIGTERM, 20), 0) << box.read("kiv.out");
}
