// Rule update decisions without a network or real ticks: form fields, URL choice, the scheduler's
// phases and gates, and the command grammar.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/kiv_log.h"
#include "heal/handle_kiv_event.h"
#include "platform/platform.h"
#include "rules/monitor_profile.h"
#include "support/sandbox.h"
#include "update/curl_download_file.h"
#include "update/download_json.h"
#include "update/process_json.h"

namespace {

TEST(FormFields, UnsetKeysGiveTheDocumentedValuesInOrder) {
  kivtest::sandbox box;
  auto f = download_form_fields();
  ASSERT_EQ(f.size(), 6u);
  const char* names[] = {"Model", "TCode", "FWVER", "IDENT", "AlgoVersion", "kiv_user_approval"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(f[i].first, names[i]);
  EXPECT_EQ(f[0].second, "#");
  EXPECT_EQ(f[1].second, "");
  EXPECT_EQ(f[2].second, "._");
  EXPECT_EQ(f[3].second, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(f[4].second, "Ver0001");
  EXPECT_EQ(f[5].second, "0");
}

TEST(FormFields, SetKeysAndCuts) {
  kivtest::sandbox box;
  box.set("productid", "KV-1000");
  box.set("odmpid", "ODM7");
  box.set("territory_code", "EU/01");
  box.set("firmver", "3.0.0.4");
  box.set("buildno", "388");
  box.set("extendno", "2-g1");
  box.set("label_mac", "AA:BB:CC:00:11:22");
  box.set("kiv_user_approval", "12");
  auto f = download_form_fields();
  EXPECT_EQ(f[0].second, "KV-1000#ODM7");
  EXPECT_EQ(f[1].second, "EU/01");
  EXPECT_EQ(f[2].second, "3.0.0.4.388_2-g1");
  EXPECT_EQ(f[3].second, md5_hex("AA:BB:CC:00:11:22"));
  EXPECT_EQ(f[5].second, "12");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  box.set("productid", std::string(100, 'p'));
  box.set("odmpid", std::string(100, 'o'));
  box.set("firmver", std::string(200, 'f'));
  f = download_form_fields();
  EXPECT_EQ(f[0].second, std::string(100, 'p') + "#" + std::string(26, 'o'));
  EXPECT_EQ(f[2].second, std::string(127, 'f'));
}

TEST(TargetUrl, ServerOverrideAndScriptChoice) {
  kivtest::sandbox box;
  EXPECT_EQ(download_target_url(), std::string(KIV_DEFAULT_SERVER) + "/dljson.php");
  box.set("kiv_debug_server", "");
  EXPECT_EQ(download_target_url(), std::string(KIV_DEFAULT_SERVER) + "/dljson.php");
  box.set("kiv_debug_server", "https://127.0.0.1:8443");
  EXPECT_EQ(download_target_url(), "https://127.0.0.1:8443/dljson.php");
  box.set("apps_sq", "1");
  EXPECT_EQ(download_target_url(), "https://127.0.0.1:8443/SQ_dljson.php");
  box.set("apps_sq", "2");
  EXPECT_EQ(download_target_url(), "https://127.0.0.1:8443/dljson.php");
}

TEST(Download, PlainHttpIsRefusedAndLeavesNoFile) {
  kivtest::sandbox box;
  EXPECT_EQ(curl_download_file("http://127.0.0.1:9/dljson.php", "/tmp/kivjson.json"), 0);
  EXPECT_EQ(get_file_size("/tmp/kivjson.json"), -1);
}

TEST(Download, NeverWritesThroughAPlantedLink) {
  kivtest::sandbox box;
  box.write("victim", "keep me");
  ASSERT_EQ(symlink(box.path("victim").c_str(), box.path("tmp/kivjson.json").c_str()), 0);
  EXPECT_EQ(curl_download_file("https://127.0.0.1:9/dljson.php", "/tmp/kivjson.json"), 0);
  EXPECT_EQ(box.read("victim"), "keep me");
}

// A scheduler driven tick by tick with a fixed clock and counted checks.
struct sched_rig {
  json_schedule s;
  int64_t now = 0;
  int downloads = 0, reads = 0, draws = 0;
  json_schedule_deps deps{[this] { return now; }, [this](const char*) { ++downloads; },
                          [this](const char*) { ++reads; }, [this] { return 7 + 60 * draws++; }};
  void tick() { process_json_tick(s, "/tmp/kivjson.json", deps); }
};

int64_t local_at(int hour, int minute) {
  struct tm t {};
  t.tm_year = 126;
  t.tm_mon = 5;
  t.tm_mday = 1;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&t));
}

TEST(Scheduler, GatesBootupDailyMinuteAndCycles) {
  kivtest::sandbox box;
  healing_index = -1;
  sched_rig r;
  r.now = local_at(12, 0);
  r.tick();  // no Internet link: nothing happens
  box.set("link_internet", "2");
  r.tick();  // clock not synchronised
  EXPECT_EQ(r.s.period, 2876);
  box.set("ntp_ready", "1");
  for (int i = 0; i < 3; ++i) r.tick();
  // No line end: the next record continues the same line.
  EXPECT_NE(box.read("tmp/kiv.log").find("ntp_ready false[KIV][process_json"), std::string::npos);
  EXPECT_EQ(r.downloads, 0);
  r.tick();  // fourth tick: the boot-up check
  EXPECT_EQ(r.downloads, 1);
  EXPECT_EQ(r.reads, 1);
  EXPECT_EQ(r.s.bootup_check, 0);
  EXPECT_EQ(r.s.period, 0);
  EXPECT_EQ(r.s.period_retry, 0);
  EXPECT_EQ(r.s.rand_hr, 7 % 4);
  EXPECT_EQ(r.s.rand_min, 67 % 60);
  EXPECT_NE(box.read("tmp/kiv.log").find("period = 0, period_retry = -1, bootup_check = 1"),
            std::string::npos);
  // Daily wait: no check until the drawn minute (05:07).
  for (int i = 0; i < 5; ++i) r.tick();
  EXPECT_EQ(r.downloads, 1);
  r.now = local_at(2 + r.s.rand_hr, r.s.rand_min);
  r.tick();
  r.tick();
  r.tick();
  EXPECT_EQ(r.s.periodic_check, 1);
  EXPECT_EQ(r.downloads, 3);  // the first cycle holds two checks
  // Short check period: cycles of three checks.
  box.set("kiv_json_check_period", "5");
  int before = r.downloads;
  for (int i = 0; i < 10; ++i) r.tick();
  EXPECT_EQ(r.downloads - before, 6);
}

TEST(Scheduler, CheckPeriodBelowTwoMeansADay) {
  kivtest::sandbox box;
  box.set("link_internet", "2");
  box.set("ntp_ready", "1");
  healing_index = -1;
  for (const char* v : {"", "0", "1", "-4"}) {
    box.set("kiv_json_check_period", v);
    sched_rig r;
    for (int i = 0; i < 4; ++i) r.tick();
    EXPECT_EQ(r.downloads, 1) << v;
  }
  box.set("kiv_json_check_period", "2");
  sched_rig r;
  r.tick();  // (2876 + 1) % 2 == 1
  r.tick();  // 0: boot-up check
  EXPECT_EQ(r.downloads, 1);
}

TEST(Scheduler, QuickPeriodAndHealingDeferral) {
  kivtest::sandbox box;
  box.set("link_internet", "2");
  box.set("ntp_ready", "1");
  healing_index = -1;
  sched_rig r;
  box.set("kiv_quick_period", "1");
  r.tick();  // boot-up check at once
  EXPECT_EQ(r.downloads, 1);
  EXPECT_EQ(r.s.bootup_check, 0);
  EXPECT_EQ(box.get("kiv_quick_period"), "0");
  r.tick();
  r.tick();
  EXPECT_EQ(r.downloads, 3);
  r.tick();
  EXPECT_EQ(r.downloads, 3);  // period_retry at 2: wait for the next cycle
  box.set("kiv_quick_period", "1");
  for (int i = 0; i < 5; ++i) r.tick();
  EXPECT_EQ(r.downloads, 6);
  healing_index = 0;
  int32_t period = r.s.period, retry = r.s.period_retry;
  r.tick();
  EXPECT_EQ(r.s.download_deferred, 1);
  healing_index = -1;
  r.tick();
  EXPECT_EQ(r.downloads, 7);
  EXPECT_EQ(r.s.period, period);
  EXPECT_EQ(r.s.period_retry, retry);
  EXPECT_EQ(r.s.download_deferred, 0);
}

TEST(CommandGrammar, WordsAndPrefixes) {
  EXPECT_EQ(kiv_command_words("  test   extra words "),
            (std::vector<std::string>{"test", "extra", "words"}));
  EXPECT_TRUE(kiv_command_words("   ").empty());
  EXPECT_EQ(kiv_command_words("a\tb c"), (std::vector<std::string>{"a\tb", "c"}));
  EXPECT_EQ(kiv_command_words("1 2 3 4 5 6 7 8 9 10").size(), 8u);
  std::string w = "start_test";
  EXPECT_STREQ(kiv_command_kind(w), "start");
  EXPECT_EQ(w, "test");
  w = "restart_wan";
  EXPECT_STREQ(kiv_command_kind(w), "restart");
  EXPECT_EQ(w, "wan");
  w = "stop_x";
  EXPECT_STREQ(kiv_command_kind(w), "stop");
  w = "recreate_skip";
  EXPECT_STREQ(kiv_command_kind(w), "specific");
  EXPECT_EQ(w, "skip");
  w = "Test";
  EXPECT_STREQ(kiv_command_kind(w), "specific");
  EXPECT_EQ(w, "Test");
}

TEST(CommandThread, SegmentsKeysAndExitValue) {
  kivtest::sandbox box;
  box.write("dev/console", "");
  box.set("kiv_service", "test;skip");
  box.set("kiv_service_pid", "42");
  auto* v = static_cast<const char*>(_handle_kiv_event(nullptr));
  EXPECT_STREQ(v, "End of handle_kiv_event() thread.");
  std::string log = box.read("tmp/kiv.log");
  EXPECT_NE(log.find("goto again("), std::string::npos);
  EXPECT_NE(log.find("this is skip"), std::string::npos);
  EXPECT_NE(box.read("dev/console").find("[handle_event_test]end"), std::string::npos);
  EXPECT_EQ(box.get("kiv_service"), "");
  EXPECT_EQ(box.get("kiv_service_pid"), "");

  box.set("kiv_service", "test;;test2");
  box.set("kiv_service_pid", "42");
  v = static_cast<const char*>(_handle_kiv_event(nullptr));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(box.get("kiv_service_pid"), "42");  // the empty segment ends the run
  EXPECT_EQ(box.read("dev/console").find("handle_event_test2"), std::string::npos);
  EXPECT_NE(box.read("tmp/kiv.log").find("End due to empty event"), std::string::npos);

  box.set("kiv_service", std::string(300, 'x'));
  _handle_kiv_event(nullptr);
  EXPECT_NE(box.read("tmp/kiv.log").find("nv=[" + std::string(255, 'x') + "]"), std::string::npos);
}

}  // namespace
