// A router in a fleet: what it does when the rule server sheds load, and the fleet report it
// sends. (Staged sets: signed_sets_test.cc.)
#include <gtest/gtest.h>
#include <signal.h>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

size_t asked(const router& r) {
  return occurrences(r.requests(), "\"method\": \"POST\"");
}

bool wait_until(const std::function<bool()>& done, double seconds) {
  for (const double end = now_s() + seconds; !done(); pause_s(0.02))
    if (now_s() > end) return false;
  return true;
}

}  // namespace

// A 503 with Retry-After ends the check at once and holds every later check back, the owed one
// made once the time has passed; the command channel's forced download still goes. A 503 without
// Retry-After is a failed try as ever.
TEST(Fleet, AShedAnswerEndsTheCheckAndHoldsTheNextOneBack) {
  router r;
  ASSERT_TRUE(r.start());
  r.shed(503, "100");
  r.settings("kiv_quick_period=1;link_internet=2");
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")]No check for "));
  EXPECT_TRUE(r.wait_for("tmp/kiv.log",
                         ")]The rule server sheds load: status 503, Retry-After 100 s; no further "
                         "try\n"));
  EXPECT_EQ(asked(r), 1u);
  EXPECT_EQ(r.count("tmp/kiv.log", "retry=["), 0u);
  EXPECT_TRUE(r.wait_for("tmp/kiv.log", ")]No update for kiv JSON file.\n"));
  // 100 s and a random part of at most 100 s more (2 to 4 s at this time scale).
  const std::string log = r.read("tmp/kiv.log");
  const int hold = std::stoi(log.substr(log.find(")]No check for ") + 15));
  EXPECT_GE(hold, 100);
  EXPECT_LE(hold, 200);

  r.set("kiv_quick_period", "1");
  EXPECT_TRUE(r.wait_for("tmp/kiv.log", ")]Check held back: no check for "));
  EXPECT_EQ(asked(r), 1u) << "a quick check waits too";
  r.set("kiv_service", "force_download_json");
  kill(r.pid, SIGUSR1);
  EXPECT_TRUE(wait_until([&] { return asked(r) == 2; }, 20)) << "the forced download goes";
  EXPECT_TRUE(r.wait_for("tmp/kiv.log", ")][handle_kiv_event]End of handle_kiv_event() thread.\n"));

  r.answer(200, packed("[" + rule("\"keyword\":\"after\"") + "]"));
  EXPECT_TRUE(r.wait_for("tmp/kiv.log", ")]New arraylen=1\n", 1, 30)) << "the owed check";
  EXPECT_EQ(asked(r), 3u);
  r.set("link_internet", "1");

  r.answer(503, "");
  const size_t failed = r.count("tmp/kiv.log", ")]No update for kiv JSON file.\n");
  r.settings("kiv_quick_period=1;link_internet=2");
  EXPECT_TRUE(r.wait_for("tmp/kiv.log", ")]No update for kiv JSON file.\n", failed + 1, 60));
  r.set("link_internet", "1");
  EXPECT_EQ(r.count("tmp/kiv.log", "retry=["), 5u) << "six tries, as for any failed answer";
  EXPECT_EQ(r.count("tmp/kiv.log", "sheds load"), 2u);
  EXPECT_EQ(r.stop(), 0);
}
