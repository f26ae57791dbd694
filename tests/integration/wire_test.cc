// Rules over the wire, on the real daemon and the loopback HTTPS rule server: the boot-up check's
// request and the handshake with the reader, failed and short answers, the forced download of
// the command channel, and the rule set kept in flash for the next start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "support/kivtest.h"

using namespace kivtest;

TEST(Wire, BootUpCheckAsksWithTheRoutersIdentityAndInstallsTheAnswer) {
  router r;
  // A check period of 7: (2876 + 1) % 7 == 0, the check on the first tick.
  r.settings(
      "odmpid=ODM7;label_mac=AA:BB:CC:00:11:22;territory_code=EU;firmver=3.0.0;buildno=4;"
      "extendno=388;kiv_user_approval=1;link_internet=2;kiv_json_check_period=7");
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

TEST(Wire, TheLastGoodRuleSetIsKeptInFlashAndServesTheNextStart) {
  router r;
  const std::string wan = "[" +
                          rule(
                              "\"re_pattern\":\"WAN: link down\",\"frequency\":1,"
                              "\"action\":\"restart_wan\"") +
                          "]";
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.load(wan));
  EXPECT_EQ(run({"ls", "-A", r.path("jffs")}).out, "") << "the key unset writes nothing";
  r.set("kiv_rule_cache", "1");
  struct stat first {
  }, again{};
  ASSERT_TRUE(r.load(wan));
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")]Rule file kept in [/jffs/kiv/kivjson.cache]\n"));
  EXPECT_EQ(r.read("jffs/kiv/kivjson.cache"), packed(wan));
  stat(r.path("jffs/kiv/kivjson.cache").c_str(), &first);
  ASSERT_TRUE(r.load(wan));
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")]Rule cache [/jffs/kiv/kivjson.cache] holds this"));
  stat(r.path("jffs/kiv/kivjson.cache").c_str(), &again);
  EXPECT_EQ(std::make_tuple(again.st_ino, again.st_mtim.tv_sec, again.st_mtim.tv_nsec),
            std::make_tuple(first.st_ino, first.st_mtim.tv_sec, first.st_mtim.tv_nsec));
  EXPECT_EQ(r.stop(), 0);
  // Restarted offline, with no rule server: the kept set heals from the first lines.
  r.set("link_internet", "0");
  r.set("kiv_debug_server", "https://127.0.0.1:1");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.lines("Dec  6 12:00:00 WAN: link down\n"));
  EXPECT_TRUE(r.wait_for("tmp/service_events.log", "restart_wan\n"));
  EXPECT_TRUE(
      in_order(r.read("tmp/kiv.log"),
               {")]Load the cached rule set [/jffs/kiv/kivjson.cache]\n", ")]New arraylen=1\n",
                ")]Cached rule set loaded, arraylen=1\n", ")]START\n"}));
  EXPECT_EQ(r.stop(), 0);
  // A cache that does not load is set aside; the daemon runs without rules and caches "[]".
  r.write("jffs/kiv/kivjson.cache", packed("[{"));
  r.set("kiv_debug_server", r.url());
  ASSERT_TRUE(r.start());
  EXPECT_EQ(r.read("jffs/kiv/kivjson.cache.bad"), packed("[{"));
  EXPECT_EQ(r.count("tmp/kiv.log", ")]Rule cache [/jffs/kiv/kivjson.cache] set aside as ["), 1u);
  ASSERT_TRUE(r.lines("Dec  6 12:00:01 WAN: link down\n"));
  EXPECT_EQ(r.count("tmp/service_events.log", "restart_wan\n"), 1u);
  r.loads = static_cast<int>(r.count("tmp/kiv.log", ")]New arraylen="));
  ASSERT_TRUE(r.load("[]"));
  ASSERT_TRUE(r.wait_for("tmp/kiv.log", ")]Rule file kept in [", 2));
  EXPECT_EQ(r.read("jffs/kiv/kivjson.cache"), packed("[]"));
  EXPECT_EQ(r.stop(), 0);
}
