// A fatal signal that reaches the real daemon in the middle of a walk: the records the walk
// has made so far are in the log, whole and in order, and the signal's default action ends it.
//
// The walk is held in its middle deterministically: the test clock (proc/uptime) becomes a FIFO
// that nobody writes, so the matching profile's clock reading waits there with the records of
// every profile before it made and not yet written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

constexpr int kProfiles = 40;
constexpr int kMatching = 30;  // the profile the crash line matches
const std::string kLine = "Dec  7 08:00:00 kernel: watchdog: crash line";

// Patterns with literals and without (the prefilter and regexec both take part in the walk).
std::string pattern(int i) {
  if (i == kMatching) return "watchdog: crash";
  return i % 2 ? "[f]ault " + std::to_string(i) : "fault " + std::to_string(i) + ": (down|up)";
}

// The messages of the records in text, each without its "[KIV][func:(line)]" head.
std::vector<std::string> messages(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = text.find("[KIV]["); at != std::string::npos;) {
    size_t next = text.find("[KIV][", at + 1);
    std::string record = text.substr(at, next == std::string::npos ? next : next - at);
    out.push_back(record.substr(record.find(")]") + 2));
    at = next;
  }
  return out;
}

}  // namespace

TEST(CrashFlush, FatalSignalDuringAWalkLeavesItsRecords) {
  kivtest::sandbox box;
  kivtest::rule_server server(box.root);
  kivtest::router_settings(box, server);
  kivtest::set_uptime(box, 100);
  std::string rules = "[";
  for (int i = 0; i < kProfiles; ++i)
    rules += (i ? "," : "") + kivtest::kv1000_rule("\"keyword\":\"k" + std::to_string(i) +
                                                   "\",\"re_pattern\":\"" + pattern(i) +
                                                   "\",\"frequency\":\"3\",\"period\":\"60\","
                                                   "\"action\":\"nop\"");
  rules += "]";
  ASSERT_GT(server.port, 0);
  ASSERT_GT(box.start_kiv(), 0);
  ASSERT_TRUE(box.wait_for("tmp/kiv.log", ")]End\n", 20) && box.wait_ready(20));
  ASSERT_TRUE(kivtest::install_rules(box, server, rules, 0, 60));
  ASSERT_TRUE(kivtest::append_until_walked(box, "following", 20, 0.5));

  unlink(box.path("proc/uptime").c_str());
  ASSERT_EQ(mkfifo(box.path("proc/uptime").c_str(), 0644), 0);
  box.append("tmp/syslog.log", kLine + "\n");
  // A writer can open the FIFO once the walk waits to read it; the walk then waits for bytes.
  int clock = -1;
  for (double deadline = kivtest::now_s() + 30; clock < 0 && kivtest::now_s() < deadline;) {
    clock = open(box.path("proc/uptime").c_str(), O_WRONLY | O_NONBLOCK);
    if (clock < 0) usleep(20000);
  }
  ASSERT_GE(clock, 0) << "the walk never read the clock";
  int status = box.signal_and_wait(SIGSEGV, 30);
  close(clock);
  EXPECT_EQ(status, 128 + SIGSEGV);

  // The walk's records, every one whole, from its "pBuf" to the last made before the signal.
  std::string log = box.read("tmp/kiv.log");
  size_t walk = log.rfind(")]pBuf=[" + kLine + "]\n");
  ASSERT_NE(walk, std::string::npos);
  std::vector<std::string> expected = {"pBuf=[" + kLine + "]\n",
                                       "gArraylen=[" + std::to_string(kProfiles) + "]\n"};
  for (int i = 0; i < kMatching; ++i) {
    expected.push_back("[No match]::[" + kLine + "]\n");
    expected.push_back("[re_pattern]::[" + pattern(i) + "]\n");
  }
  expected.push_back("[Match]::[" + kLine + "]\n");
  expected.push_back("MATCH::monitor_profile[30].kiv_keyword=[k30]\n");
  expected.push_back("MATCH::monitor_profile[30].re_pattern=[" + pattern(kMatching) + "]\n");
  EXPECT_EQ(messages(log.substr(log.rfind("[KIV][", walk))), expected);
}
