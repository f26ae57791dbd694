// Rules over the wire, on the real daemon and the loopback HTTPS rule server: the boot-up check's
// request and the handshake with the reader, failed and short answers, and the forced download
// of the command channel.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/kivtest.h"

using namespace kivtest;

TEST(Wire, BootUpCheckAsksWithTheRoutersIdentityAndInstallsTheAnswer) {
  router r;
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"odmpid", "ODM7"},
           {"label_mac", "AA:BB:CC:00:11:22"},
           {"territory_code", "EU"},
           {"firmver", "3.0.0"},
           {"buildno", "4"},
           {"extendno", "388"},
           {"kiv_user_approval", "1"},
           {"link_internet", "2"},
           {"kiv_json_check_period", "7"}})  // (2876 + 1) % 7 == 0: the check on the first tick
    r.set(key, value);
  const std::string rules = slurp(source("examples/rules.json"));
  r.answer(200, packed(rules));
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")]end of read_json\n", 1, 30));
  r.set("link_internet", "1");
  expect_golden("request.jsonl", r.requests());
  EXPECT_TRUE(
      in_order(r.read("tmp/kiv.log"),
               {")]period = 0, period_retry = -1, bootup_check = 1\n", ")]period_retry = 0\n",
                "[KIV][download_json:(", ")]start\n", ")]json_file_path=[/tmp/kivjson.json]\n",
                ")]target_url=[" + r.url() + "/dljson.php]\n", ")]kiv_user_approval=1\n",
                ")]flen=[" + std::to_string(rules.size() + 40) + "]\n", ")]Update kiv JSON file.\n",
                ")]end\n", ")]start of read_json\n", ")]New arraylen=5\n"}));
  EXPECT_EQ(r.count("tmp/kiv.log", "retry=["), 0u);
  EXPECT_EQ(r.get("kiv_is_JSON_updated"), "0");
  EXPECT_EQ(access(r.path("tmp/kivjson.json").c_str(), F_OK), -1);
  EXPECT_EQ(r.stop(), 0);
}

TEST(Wire, FailedAndShortAnswersAnnounceNothingAndAForcedDownloadAnnounces) {
  router r;
  r.set("kiv_debug_flag", "1");  // a short answer is kept for inspection, a failed one never
  r.write("dev/console", "");
  ASSERT_TRUE(r.start());
  auto check = [&r](int status, const std::string& body) {
    r.answer(status, body);
    const size_t before = r.count("tmp/kiv.log", ")]No update for kiv JSON file.\n");
    r.set("kiv_quick_period", "1");
    r.set("link_internet", "2");
    const bool done = r.wait_for("tmp/kiv.log", ")]No update for kiv JSON file.\n", before + 1, 30);
    r.set("link_internet", "1");
    return done;
  };
  ASSERT_TRUE(check(500, std::string(300, 'x')));
  EXPECT_TRUE(in_order(r.read("tmp/kiv.log"),
                       {")][download_json]retry=[4]\n", ")][download_json]retry=[0]\n",
                        ")]flen=[-1]\n", ")]No update for kiv JSON file.\n"}));
  EXPECT_EQ(r.count("tmp/kiv.log", "retry=["), 5u);
  EXPECT_EQ(access(r.path("tmp/kivjson.json").c_str(), F_OK), -1);
  ASSERT_TRUE(check(200, std::string(40, 'x')));
  EXPECT_EQ(r.count("tmp/kiv.log", "retry=["), 5u);
  EXPECT_EQ(r.read("tmp/kivjson.json"), std::string(40, 'x'));
  EXPECT_EQ(r.get("kiv_is_JSON_updated"), "0");
  // The command channel's forced download: announced, and left for the next check to read.
  r.answer(200, packed("[]"));
  r.set("kiv_service", "force_download_json");
  kill(r.pid, SIGUSR1);
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")][handle_kiv_event]End of handle_kiv_event() thread.\n"));
  EXPECT_TRUE(in_order(r.read("tmp/kiv.log"),
                       {"[KIV][_handle_kiv_event:(", ")]this is force_download_json\n",
                        ")]Update kiv JSON file.\n"}));
  EXPECT_EQ(r.get("kiv_is_JSON_updated"), "1");
  EXPECT_EQ(r.read("tmp/kivjson.json"), packed("[]"));
  EXPECT_EQ(r.count("tmp/kiv.log", "New arraylen="), 0u);
  EXPECT_EQ(occurrences(r.requests(), "\"method\": \"POST\""), 8u) << "six attempts, one, one";
  EXPECT_EQ(r.stop(), 0);
}
