// The fleet report: its JSON, the counts where they are made and what settles them, and their
// flash file over a reboot.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "core/flash_files.h"
#include "detect/monitor_syslog.h"
#include "heal/self_healing.h"
#include "report/fleet_counts.h"
#include "rules/rule_reader.h"
#include "support/kivtest.h"
#include "update/curl_download_file.h"
#include "update/fleet_report.h"
#include "update/install_rules.h"

using namespace kivtest;

namespace {

fleet_counts some_counts() {
  fleet_counts c;
  c.seconds = 86400;
  c.walked = 12;
  c.lost = 2;
  c.reboots = 1;
  c.starts = 2;
  c.refused = {0, 1, 0, 3, 0};
  c.rules = {{"dns \"x\"\\", {1, 2, 3, 1, 0}}, {"wan_down", {5, 0, 0, 0, 4}}};
  return c;
}

json_object* parsed(const std::string& text) {
  return json_tokener_parse(text.c_str());
}

// The rules (each rule()'s fields) installed as the daemon installs a file's text.
int installed(const std::vector<std::string>& rules) {
  std::string json;
  for (const std::string& r : rules) json += (json.empty() ? "[" : ",") + rule(r);
  return install_rule_text((json + "]").c_str());
}

}  // namespace

TEST(FleetReport, TheJsonEscapedAndCutAtItsLimit) {
  EXPECT_EQ(fleet_report_json(some_counts(), 2026120901, 37),
            "{\"v\":1,\"serial\":2026120901,\"bucket\":37,\"seconds\":86400,\"walked\":12,"
            "\"lost\":2,\"reboots\":1,\"starts\":2,\"refused\":{\"stage\":1,\"rules\":3},"
            "\"rules\":{\"dns \\\"x\\\"\\\\\":{\"matches\":1,\"fires\":2,"
            "\"heals\":3,\"unconfirmed\":1,\"held\":0},\"wan_down\":{\"matches\":5,\"fires\":0,"
            "\"heals\":0,\"unconfirmed\":0,\"held\":4}}}");
  EXPECT_EQ(fleet_report_json(fleet_counts{}, 0, 0),
            "{\"v\":1,\"serial\":0,\"bucket\":0,\"seconds\":0,\"walked\":0,\"lost\":0,\"reboots\":"
            "0,\"starts\":0,\"refused\":{},\"rules\":{}}");
  EXPECT_EQ(json_string(std::string("a\"\\\x01\n\x7f/\xc3\xa9", 9)),
            "\"a\\\"\\\\\\u0001\\u000a\\u007f/\xc3\xa9\"");
  // Rules of 40-byte keywords, rule i with i fires: the most fires stay, in keyword order. Counts
  // read back from flash can hold 60,000 rules (256 KiB): cut in one pass (0.05 s here, 1 s under
  // ThreadSanitizer or a loaded qemu-mipsel), not by adding all members up again for each one that
  // goes (20 s here, minutes emulated).
  const double bound = 10;
  fleet_counts many;
  many.refused.fill(many.starts = UINT32_MAX);  // the largest head counts against the bound too
  for (uint32_t n : {60u, 60000u}) {
    SCOPED_TRACE(n);
    for (uint32_t i = static_cast<uint32_t>(many.rules.size()); i < n; ++i)
      many.rules.push_back(
          {"rule_" + std::string(32, 'k') + std::to_string(100 + i), {7, i, 0, 0, 0}});
    const auto start = std::chrono::steady_clock::now();
    const std::string cut = fleet_report_json(many, 1, 2);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              bound);
    EXPECT_LE(cut.size(), KIV_REPORT_MAX);
    EXPECT_GT(cut.size(), KIV_REPORT_MAX - 110) << "only as many rules go as must";
    EXPECT_TRUE(cut.ends_with("}},\"cut\":true}"));
    json_object* doc = parsed(cut);
    ASSERT_NE(doc, nullptr) << cut;
    json_object *rules = nullptr, *flag = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(doc, "rules", &rules));
    EXPECT_TRUE(json_object_object_get_ex(doc, "cut", &flag) && json_object_get_boolean(flag));
    const int kept = json_object_object_length(rules);
    EXPECT_GT(kept, 10);
    for (uint32_t i = 0; i < n; ++i)
      EXPECT_EQ(json_object_object_get_ex(rules, many.rules[i].first.c_str(), nullptr),
                i >= n - static_cast<uint32_t>(kept))
          << i;
    json_object_put(doc);
  }
  many.rules.resize(15);
  EXPECT_TRUE(fleet_report_json(many, 1, 2).ends_with("}}}")) << "within the limit, not cut";
  // Keywords as the counts keep them: bounded, one line, never cut inside a character.
  EXPECT_EQ(counts_keyword(nullptr), "(null)");
  EXPECT_EQ(counts_keyword(""), "(null)") << "never an empty keyword: no line or member without";
  EXPECT_EQ(counts_keyword("wan\tdown\n"), "wan?down?");
  EXPECT_EQ(counts_keyword((std::string(63, 'a') + "\xc3\xa9").c_str()), std::string(63, 'a'));
  EXPECT_EQ(counts_keyword(std::string(70, 'b').c_str()), std::string(64, 'b'));
}

// A keyword is whatever bytes the rule file held; the report is JSON, which is UTF-8: each byte
// outside a well-formed character is '?', so that a strict reader takes the whole report.
TEST(FleetReport, BytesOutsideUtf8AreQuestionMarksAndTheReportStaysJson) {
  for (const auto& r : cases("utf8.txt")) {
    SCOPED_TRACE(r.where);
    EXPECT_EQ(json_string(r[0]), r[1]);
    fleet_counts c;
    c.rules = {{counts_keyword(r[0].c_str()), {1, 1, 0, 0, 0}}};
    const std::string report = fleet_report_json(c, 1, 2);
    std::unique_ptr<json_tokener, void (*)(json_tokener*)> tok(json_tokener_new(),
                                                               json_tokener_free);
    json_tokener_set_flags(tok.get(), JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
    json_object* doc =
        json_tokener_parse_ex(tok.get(), report.c_str(), static_cast<int>(report.size()));
    EXPECT_NE(doc, nullptr) << report;
    json_object_put(doc);
  }
  // Two keywords that differ only in such bytes count as one: never two members of one name.
  EXPECT_EQ(counts_keyword("dns\xfe"), counts_keyword("dns\xff"));
  EXPECT_EQ(counts_keyword((std::string(63, 'a') + "\xff\xff").c_str()),
            std::string(63, 'a') + "?");
}

// Lines walked and matched in the walk, heals, unconfirmed and held heals in the executor; a
// report settles what it carried and nothing counted after it.
TEST(FleetCounts, CountedInTheWalkAndTheExecutorAndSettledByWhatWasReported) {
  sandbox sb;
  sb.settings("productid=KV-1000;kiv_heal_limit=1");
  sb.clock(10);
  ASSERT_EQ(
      installed({R"("keyword":"wan","re_pattern":"WAN","frequency":1,"action":"restart_wireless")",
                 R"("keyword":"dns","re_pattern":"DNS","frequency":9,"action":"nop")"}),
      RULES_OK);
  int pause = 0;
  for (const char* line : {"WAN down", "DNS and WAN", "nothing"})
    ASSERT_TRUE(walk_log_line(log_piece{line, {}, static_cast<uint64_t>(line[0])}, &pause));
  // A line read in two pieces is walked once.
  ASSERT_TRUE(walk_log_line(log_piece{"WAN again", {true, false}, 9}, &pause));
  ASSERT_TRUE(walk_log_line(log_piece{"and WAN", {false, true}, 9}, &pause));
  {
    rule_set_hold hold = hold_rule_set();
    self_healing(hold.set, 0);  // restart_wireless: no check, unconfirmed
    self_healing(hold.set, 0);  // over kiv_heal_limit 1: held
  }
  fleet_counts now = take_counts();
  EXPECT_EQ(now.walked, 4u);
  ASSERT_EQ(now.rules.size(), 2u);
  EXPECT_EQ(now.rules[0].first, "dns");
  EXPECT_EQ(now.rules[0].second.matches, 1u);
  EXPECT_EQ(now.rules[1].first, "wan");
  const rule_counts wan = now.rules[1].second;
  EXPECT_EQ(wan.matches, 3u);
  EXPECT_EQ(wan.heals, 1u);
  EXPECT_EQ(wan.unconfirmed, 1u);
  EXPECT_EQ(wan.held, 1u);
  EXPECT_EQ(wan.fires, 0u) << "the trigger thread counts fires";
  count_fire(live_profile(0).tally);
  add_lost_lines(5);
  settle_counts(now);
  now = take_counts();
  EXPECT_EQ(now.walked, 0u);
  EXPECT_EQ(now.lost, 5u);
  ASSERT_EQ(now.rules.size(), 1u);
  EXPECT_EQ(now.rules[0].second.fires, 1u) << "counted after the report: in the next";
  EXPECT_EQ(now.rules[0].second.matches, 0u);
  // A new set: a keyword with counts stays until reported, one without goes.
  ASSERT_EQ(installed({R"("keyword":"other","re_pattern":"X","frequency":1,"action":"nop")"}),
            RULES_OK);
  count_match(live_profile(0).tally);
  now = take_counts();
  ASSERT_EQ(now.rules.size(), 2u);
  EXPECT_EQ(now.rules[0].first, "other");
  EXPECT_EQ(now.rules[1].first, "wan");
  EXPECT_EQ(now.seconds, 0u) << "from the last report on";
  sb.clock(250);
  EXPECT_EQ(take_counts().seconds, 240u);
  settle_counts(take_counts());
  sb.clock(300);
  EXPECT_EQ(take_counts().seconds, 50u);
}

TEST(FleetCounts, KeptOverARebootReadWholeOrSetAside) {
  sandbox sb;
  sb.settings("productid=KV-1000");
  const auto reboot = [&] { unlink(sb.path("tmp/kiv_report_counts").c_str()); };  // /tmp goes
  ASSERT_EQ(installed({R"("keyword":"wan","re_pattern":"WAN","frequency":1,"action":"reboot")"}),
            RULES_OK);
  sb.clock(100);
  count_match(live_profile(0).tally);
  count_heal(live_profile(0).tally);
  count_walked_line();
  count_reboot();
  count_refusal(refusal::serial);
  keep_counts_for_reboot();
  EXPECT_EQ(sb.read("jffs/kiv/report_counts") + sb.read("tmp/kiv_report_counts"), "");  // off
  sb.settings("kiv_fleet_report=1");
  keep_counts_for_reboot();
  EXPECT_EQ(sb.read("jffs/kiv/report_counts"), "") << "only where kiv keeps flash files";
  const std::string kept =
      "kiv report 2\nseconds 100\nwalked 1\nlost 0\nreboots 1\nstarts 0\nrefused 0 0 1 0 0\n"
      "rule 1 0 1 0 0 wan\nend\n";
  EXPECT_EQ(sb.read("tmp/kiv_report_counts"), kept) << "in RAM wherever the report is on";
  sb.settings("kiv_reboot_limit=3");
  keep_counts_for_reboot();
  EXPECT_EQ(sb.read("jffs/kiv/report_counts"), kept);
  settle_counts(take_counts());
  EXPECT_EQ(access(sb.path("jffs/kiv/report_counts").c_str(), F_OK), -1)
      << "reported: never read back (the reboot did not come)";
  EXPECT_TRUE(sb.read("tmp/kiv_report_counts").ends_with("\nstarts 0\nrefused 0 0 0 0 0\nend\n"))
      << "reported: a restart reports none again";
  // The next start: the counts go on from those kept, and the file goes.
  sb.write("jffs/kiv/report_counts", kept);
  reboot();
  sb.clock(20);
  load_kept_counts();
  EXPECT_EQ(access(sb.path("jffs/kiv/report_counts").c_str(), F_OK), -1);
  sb.clock(50);
  fleet_counts back = take_counts();
  EXPECT_EQ(back.seconds, 130u);
  EXPECT_EQ(back.walked, 1u);
  EXPECT_EQ(back.reboots, 1u);
  EXPECT_EQ(back.starts, 1u);
  ASSERT_EQ(back.rules.size(), 1u);
  EXPECT_EQ(back.rules[0].second.heals, 1u);
  settle_counts(back);
  // A file that a kiv before keywords lost their bytes outside UTF-8 wrote reads, those as '?'; so
  // does one of version 1, without starts and refusals.
  sb.write("jffs/kiv/report_counts",
           "kiv report 1\nseconds 1\nwalked 1\nlost 0\nreboots 0\n"
           "rule 1 0 1 0 0 wan\xff\nend\n");
  reboot();
  load_kept_counts();
  back = take_counts();
  ASSERT_EQ(back.rules.size(), 1u);
  EXPECT_EQ(back.rules[0].first, "wan?");
  settle_counts(back);
  // A whole file in /tmp that kiv did not make (here: others may read it) is planted: set aside.
  reboot();
  sb.write("tmp/kiv_report_counts", kept);
  load_kept_counts();
  EXPECT_EQ(sb.read("tmp/kiv_report_counts.bad"), kept);
  // In flash or in RAM, anything but a whole file as kiv writes it is set aside and adds nothing.
  std::vector<std::string> strange{""};
  for (const auto& r : cases("report_counts.txt")) strange.push_back(r[0]);
  for (const std::string file : {"jffs/kiv/report_counts", "tmp/kiv_report_counts"})
    for (const std::string& text : strange) {
      SCOPED_TRACE(file + ": " + text.substr(0, 80));
      reboot();
      sb.write(file, text);
      sb.write("tmp/kiv.log", "");
      load_kept_counts();
      EXPECT_TRUE(sb.read(file + ".bad") == text) << "set aside as it was";
      EXPECT_NE(sb.read("tmp/kiv.log").find(")]Cannot read [/" + file + "], it is set aside\n"),
                std::string::npos);
      const fleet_counts none = take_counts();
      EXPECT_EQ(none.walked + none.reboots + none.rules.size(), 0u);
    }
  // No link, FIFO (which must not hold the start) or folder is read: each is set aside, nothing
  // added; no link, there or at the temporary name, is written through.
  for (const std::string dir : {"jffs/kiv/", "tmp/"}) {
    const std::string file = dir + (dir == "tmp/" ? "kiv_report_counts" : "report_counts");
    sb.write(dir + "good", kept);
    const std::function<void()> plant[] = {
        [&] { ASSERT_EQ(symlink("good", sb.path(file).c_str()), 0); },
        [&] { ASSERT_EQ(mkfifo(sb.path(file).c_str(), 0600), 0); },
        [&] { ASSERT_EQ(mkdir(sb.path(file).c_str(), 0700), 0); }};
    for (const auto& planted : plant) {
      SCOPED_TRACE(file);
      reboot();
      std::filesystem::remove_all(sb.path(file + ".bad"));
      planted();
      symlink("good", sb.path(file + ".tmp").c_str());
      load_kept_counts();
      EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(sb.path(file + ".bad"))));
      const fleet_counts none = take_counts();
      EXPECT_EQ(none.walked + none.reboots + none.rules.size(), 0u);
    }
    EXPECT_EQ(sb.read(dir + "good"), kept) << "never written through the link";
  }
}

// A rule with an empty keyword ("keyword":"" loads) is counted as "(null)": its counts are kept
// for a reboot in a line that reads back as any other (KeptOverARebootReadWholeOrSetAside), and
// the report holds no member without a name.
TEST(FleetCounts, AnEmptyKeywordKeepsTheFileReadableAndTheReportNamed) {
  sandbox sb;
  sb.settings("productid=KV-1000;kiv_fleet_report=1;kiv_reboot_limit=3");
  ASSERT_EQ(installed({R"("keyword":"","re_pattern":"WAN","frequency":1,"action":"reboot")"}),
            RULES_OK);
  sb.clock(100);
  load_kept_counts();
  count_match(live_profile(0).tally);
  EXPECT_EQ(fleet_report_json(take_counts(), 1, 2).find("\"\":"), std::string::npos);
  keep_counts_for_reboot();
  EXPECT_NE(sb.read("jffs/kiv/report_counts").find("\nrule 1 0 0 0 0 (null)\n"), std::string::npos);
}
