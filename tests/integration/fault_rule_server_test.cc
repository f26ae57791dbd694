// A rule server that fails in every way a network and a server can, against the real daemon
// holding a rule set: a closed port, a reset connection, bytes that are no TLS, no HTTP inside
// TLS, a body far beyond any rule file, a certificate from a CA the router does not trust, a
// certificate for another host name, and a body that stops halfway.
//
// Each check is asserted the same way: the daemon is still running, every attempt failed (five
// retry records and "No update"), nothing was announced (no "Update kiv JSON file.", the key 0,
// no rule file left in tmp/), the reader swapped nothing in, and the dump taken after all the
// faults is byte for byte the dump taken before them. SIGTERM then ends it promptly, status 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "support/router.h"
#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

using kivtest::now_s;

const std::string kLog = "tmp/kiv.log";
const std::string kDump = "tmp/kiv_dump.txt";

std::string one_rule() {
  return "[{\"model\":\"KV-1000\",\"keyword\":\"wan\",\"re_pattern\":\"WAN: link down\","
         "\"frequency\":\"3\",\"period\":\"60\",\"action\":\"restart_wan\"}]";
}

// A KV-1000 that stays offline (no check by itself) until a test asks for one check.
struct router {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};

  router() { kivtest::router_settings(box, server); }

  bool start() {
    return server.port > 0 && box.start_kiv() > 0 && box.wait_for(kLog, ")]End\n", 20) &&
           box.wait_ready(20);
  }

  // One check of the scheduler against `url`; true once its outcome `text` has been logged
  // `count` times.
  bool check(const std::string& url, const std::string& text, int count) {
    box.set("kiv_debug_server", url);
    box.set("kiv_quick_period", "1");
    box.set("link_internet", "2");
    bool done = box.wait_for_count(kLog, text, count, 90);
    box.set("link_internet", "1");
    return done;
  }

  bool running() const { return waitpid(box.pid, nullptr, WNOHANG) == 0; }

  std::string dump() {
    unlink(box.path(kDump).c_str());
    kill(box.pid, SIGUSR2);
    if (!box.wait_for(kDump, "gArraylen=[", 20)) return "";
    usleep(200000);  // the dump is written in one walk under the lock; let it close
    return box.read(kDump);
  }
};

struct fault {
  const char* name;
  std::string mode;  // the server's faulty answer, or "" for the address alone
  std::string url;
  // What the transfer trace on standard error says for each failed attempt, so that the test
  // knows it met the fault it meant (two wordings for a reset, by where the transfer stood).
  std::vector<std::string> reasons;
};

}  // namespace

TEST(FaultRuleServer, EveryServerFaultLeavesTheRuleSetAndTheDaemonAsTheyWere) {
  router r;
  ASSERT_TRUE(r.start());
  r.server.answer(200, kivtest::pack_rules(one_rule()));
  ASSERT_TRUE(r.check(r.server.url(), ")]New arraylen=1\n", 1));
  std::string before = r.dump();
  ASSERT_NE(before.find("gArraylen=[1]"), std::string::npos) << before;

  const fault faults[] = {
      {"refused", "", kivtest::rule_server::refused_url(), {"Couldn't connect to server"}},
      {"reset", "reset", r.server.url(), {"reset by peer", "Broken pipe"}},
      {"no TLS", "", r.server.garbage_url(), {"wrong version number"}},
      {"no HTTP inside TLS", "garbage", r.server.url(), {"Received HTTP/0.9"}},
      {"huge body", "huge", r.server.url(), {"Failure writing output"}},
      {"untrusted CA", "", r.server.untrusted_url(), {"unable to get local issuer certificate"}},
      {"wrong host name", "", r.server.wrong_name_url(), {"no alternative certificate subject"}},
  };
  int round = 0;
  for (const fault& f : faults) {
    ++round;
    if (!f.mode.empty())
      r.server.answer_fault(f.mode, 64ll << 20);
    else
      r.server.answer(200, kivtest::pack_rules(one_rule()));  // a plain answer, no fault
    auto reason_count = [&] {
      size_t n = 0;
      for (const auto& reason : f.reasons) n += r.box.count("kiv.out", reason);
      return n;
    };
    size_t reasons_before = reason_count();
    double begin = now_s();
    ASSERT_TRUE(r.check(f.url, ")]No update for kiv JSON file.\n", round)) << f.name;
    EXPECT_TRUE(r.running()) << f.name;
    EXPECT_GE(reason_count() - reasons_before, 6u) << f.name << ": not the fault meant";
    // Six attempts: retry records 4..0 after the first, five per check.
    EXPECT_EQ(r.box.count(kLog, "retry=["), static_cast<size_t>(5 * round)) << f.name;
    EXPECT_EQ(r.box.count(kLog, ")]Update kiv JSON file.\n"), 1u) << f.name;
    EXPECT_EQ(r.box.get("kiv_is_JSON_updated"), "0") << f.name;
    EXPECT_EQ(r.box.read("tmp/kivjson.json"), "") << f.name << ": a partial body was kept";
    EXPECT_EQ(r.box.count(kLog, ")]New arraylen="), 1u) << f.name;
    std::cout << "[ figures  ] " << f.name << ": 6 attempts failed in " << now_s() - begin
              << " s\n";
  }
  // Files compared: the rule set in force is the one loaded before the faults.
  EXPECT_EQ(r.dump(), before);

  double begin = now_s();
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0) << r.box.read("kiv.out");
  EXPECT_LT(now_s() - begin, 10.0);
}

TEST(FaultRuleServer, BodyThatStopsHalfwayHoldsOffNeitherSigtermNorLeavesAFile) {
  router r;
  ASSERT_TRUE(r.start());
  r.server.answer(200, kivtest::pack_rules(one_rule()));
  ASSERT_TRUE(r.check(r.server.url(), ")]New arraylen=1\n", 1));

  r.server.answer_fault("stall_body");
  r.box.set("kiv_quick_period", "1");
  r.box.set("link_internet", "2");
  ASSERT_TRUE(r.box.wait_for_count(kLog, ")]target_url=[", 2, 30));
  // The transfer is under way once the server has recorded the second request.
  auto transfer_begun = [&] {
    const std::string requests = r.server.requests();
    return std::count(requests.begin(), requests.end(), '\n') >= 2;
  };
  double deadline = now_s() + 20;
  while (!transfer_begun() && now_s() < deadline) usleep(50000);
  ASSERT_TRUE(transfer_begun()) << "the stalled transfer never began";
  usleep(500000);  // half the body is in
  EXPECT_TRUE(r.running());

  double begin = now_s();
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 20), 0) << r.box.read("kiv.out");
  EXPECT_LT(now_s() - begin, 10.0);
  EXPECT_EQ(r.box.count(kLog, ")]Update kiv JSON file.\n"), 1u);
  EXPECT_EQ(r.box.read("tmp/kivjson.json"), "") << "the half body was kept";
  EXPECT_EQ(r.box.count(kLog, ")]New arraylen="), 1u);
}
