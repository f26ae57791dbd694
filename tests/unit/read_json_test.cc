// The rule file reader's records: one line each, under the reader's own name.
#include "rules/read_json.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <sstream>
#include <string>

#include "core/kiv_main.h"
#include "detect/freq_window.h"
#include "rules/action_list.h"
#include "rules/dump_mp.h"
#include "support/profiles.h"
#include "support/rule_file.h"
#include "support/sandbox.h"

namespace {

// Every line of the log is a record of its own (no record ran on into the next).
void expect_one_record_per_line(const std::string& log) {
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line))
    EXPECT_EQ(line.rfind("[KIV][", 0), 0u) << "[" << line << "]\n" << log;
}

// A router "KV-1000" that has been told of a new rule file holding `json`, read as the daemon
// reads it.
void announce_and_read(const kivtest::sandbox& sb, const std::string& json) {
  sb.set("productid", "KV-1000");
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", kivtest::pack_rules(json));
  read_json(KIV_JSON_PATH);
}

}  // namespace

TEST(ReadJson, LoadsTheAnnouncedFileWithOneRecordPerLine) {
  kivtest::sandbox sb;
  kivtest::installed_set set(0);
  announce_and_read(sb,
                    "[{\"model\":\"KV-1000\",\"keyword\":\"wan\",\"re_pattern\":\"link down\","
                    "\"frequency\":\"2\",\"period\":\"60\",\"action\":\"restart_wan\"}]");
  ASSERT_EQ(gArraylen, 1);
  EXPECT_EQ(mp[0].isActive, 1);
  std::string log = sb.read("tmp/kiv.log");
  expect_one_record_per_line(log);
  for (const char* text :
       {")]start of read_json\n", ")]model=[KV-1000]\n", ")]Match::model=[KV-1000]\n",
        ")]isActive=[1]\n", ")]New arraylen=1\n", ")]end of read_json\n"})
    EXPECT_EQ(sb.count("tmp/kiv.log", text), 1u) << text << "\n" << log;
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][read_json:("),
            sb.count("tmp/kiv.log", "[KIV]") - sb.count("tmp/kiv.log", "[KIV][decryptFile:("))
      << "records of the reader's steps carry its name\n"
      << log;
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][decryptFile:("), 2u) << log;
}

TEST(ReadJson, RejectedFileKeepsTheSetAndItsRecordsEndTheirLines) {
  kivtest::sandbox sb;
  kivtest::installed_set set(0);
  announce_and_read(sb, "[{\"model\":\"KV-1000\",\"re_pattern\":\"(unclosed\"}]");
  EXPECT_EQ(gArraylen, 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Could not compile regex\n"), 1u);
  expect_one_record_per_line(sb.read("tmp/kiv.log"));
}

TEST(ActionList, MissingActionTextIsLoggedOnALineOfItsOwn) {
  kivtest::sandbox sb;
  EXPECT_EQ(get_num_of_action(nullptr, 0), -1);
  EXPECT_EQ(parse_action(nullptr, "nop", 4), -1);
  std::string log = sb.read("tmp/kiv.log");
  EXPECT_NE(log.find(")][get_num_of_action]action is NULL!!\n[KIV][parse_action:("),
            std::string::npos)
      << log;
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]mp or action is NULL!!\n"), 1u);
  expect_one_record_per_line(log);
}

// ---- Loading, filters, the swap and what a failed load leaves -------------------------------

namespace {

// Starts and ends with no rule set at all, as before the daemon's first load.
struct no_rule_set {
  no_rule_set() { kivtest::clear_rule_set(); }
  ~no_rule_set() { kivtest::clear_rule_set(); }
};

// Installs `json` as a freshly fetched rule file and runs the reader on it, for the router
// whose identity the sandbox's settings hold.
void install_and_read(const kivtest::sandbox& sb, const std::string& json) {
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", kivtest::pack_rules(json));
  read_json(KIV_JSON_PATH);
}

// An active rule for KV-1000 with the given extra members (JSON text after the model).
std::string rule(const std::string& extra = "") {
  return "{\"model\":\"KV-1000\"" + (extra.empty() ? "" : "," + extra) + "}";
}

std::string doc_text() {
  return gJsonObj ? json_object_to_json_string_ext(gJsonObj, JSON_C_TO_STRING_PLAIN) : "";
}

void expect_owns_nothing(const monitor_profile& p, int index) {
  SCOPED_TRACE("profile " + std::to_string(index));
  EXPECT_EQ(p.isActive, 0);
  EXPECT_FALSE(p.kiv_keyword);
  EXPECT_FALSE(p.re_pattern);
  EXPECT_FALSE(p.regex_compiled);
  EXPECT_TRUE(p.action.empty());
  EXPECT_TRUE(p.checkFuncIndex.empty());
  EXPECT_TRUE(p.actionResult.empty());
  EXPECT_TRUE(p.actionRetry.empty());
  EXPECT_TRUE(p.timestamp.empty());
  EXPECT_EQ(p.frequency, 0u);
  EXPECT_EQ(p.period, 0u);
  EXPECT_EQ(p.action_num, 0);
  EXPECT_EQ(p.front, -1);
  EXPECT_EQ(p.rear, 0);
  EXPECT_EQ(p.isHealing, 0);
  EXPECT_EQ(p.actionIndex, 0);
}

}  // namespace

TEST(ReadJson, ActiveRuleHoldsCopiesACompiledPatternAndFreshState) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  // Numbers as strings and as JSON numbers load alike.
  for (const char* window :
       {"\"frequency\":\"3\",\"period\":\"60\"", "\"frequency\":3,\"period\":60"}) {
    SCOPED_TRACE(window);
    install_and_read(sb,
                     "[" +
                         rule("\"keyword\":\"wan_down\",\"re_pattern\":\"WAN: link (down|lost)\"," +
                              std::string(window) + ",\"action\":\"restart_wan\"") +
                         "]");
    ASSERT_EQ(gArraylen, 1);
    const monitor_profile& p = mp[0];
    EXPECT_EQ(p.isActive, 1);
    EXPECT_EQ(p.kiv_keyword, "wan_down");
    EXPECT_EQ(p.re_pattern, "WAN: link (down|lost)");
    ASSERT_TRUE(p.regex_compiled);
    EXPECT_EQ(regexec(&p.regex, "kernel: WAN: link lost", 0, nullptr, 0), 0);
    EXPECT_NE(regexec(&p.regex, "WAN: link up", 0, nullptr, 0), 0);
    EXPECT_EQ(p.frequency, 3u);
    EXPECT_EQ(p.timestamp, std::vector<float>({0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(p.period, 60u);
    EXPECT_EQ(p.action_num, 1);
    EXPECT_EQ(p.action, std::vector<std::string>({"restart_wan"}));
    EXPECT_EQ(p.checkFuncIndex, std::vector<int32_t>({1}));
    EXPECT_EQ(p.actionResult, std::vector<int32_t>({-1}));
    EXPECT_EQ(p.actionRetry, std::vector<int32_t>({0}));
    EXPECT_EQ(p.front, -1);
    EXPECT_EQ(p.rear, 0);
    EXPECT_EQ(p.isHealing, 0);
    EXPECT_EQ(p.actionIndex, 0);
  }
  // The texts are the record's own: nothing points into the document it came from.
  json_object_put(gJsonObj);
  gJsonObj = nullptr;
  EXPECT_EQ(mp[0].kiv_keyword, "wan_down");
  EXPECT_EQ(mp[0].action[0], "restart_wan");
}

TEST(ReadJson, InactiveRecordsOwnNothingAndEveryFrontIsMinusOne) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  const std::string everything =
      "\"keyword\":\"k\",\"re_pattern\":\"(unclosed\",\"frequency\":\"-1\",\"period\":\"9\","
      "\"action\":\"nop\",\"Global_Pause\":\"1\"";
  // An inactive rule is never compiled or sized, so its broken pattern and ring do no harm.
  install_and_read(sb, "[{" + everything + "},{\"model\":\"KV-2000\"," + everything +
                           "},5,null,\"text\",[1],{\"model\":null}," + rule("\"keyword\":\"on\"") +
                           "]");
  ASSERT_EQ(gArraylen, 8);
  for (int i = 0; i < 7; ++i) expect_owns_nothing(mp[i], i);
  EXPECT_EQ(mp[7].isActive, 1);
  EXPECT_EQ(mp[7].kiv_keyword, "on");
  EXPECT_EQ(mp[7].front, -1);
  EXPECT_EQ(global_pause.load(), 0) << "Global_Pause of an inactive rule is not taken";
  // Every present key is logged, active or not.
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]re_pattern=[(unclosed]\n"), 2u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "Could not compile regex"), 0u);
}

TEST(ReadJson, NullMembersCountAsAbsentAndOtherValuesAsTheirText) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  install_and_read(sb, "[" +
                           rule("\"keyword\":null,\"re_pattern\":\"x\",\"frequency\":\"2\","
                                "\"period\":null,\"action\":null") +
                           "," + rule("\"keyword\":12.50,\"frequency\":true,\"period\":\" +7s\"") +
                           "]");
  ASSERT_EQ(gArraylen, 2);
  EXPECT_FALSE(mp[0].kiv_keyword);
  EXPECT_EQ(mp[0].period, 0u);
  EXPECT_EQ(mp[0].action_num, 0);
  EXPECT_TRUE(mp[0].action.empty());
  EXPECT_EQ(mp[1].kiv_keyword, "12.50");
  EXPECT_EQ(mp[1].frequency, 0u) << "\"true\" has no digits";
  EXPECT_EQ(mp[1].period, 7u) << "leading blanks and a sign, then digits up to the first other";
}

TEST(ReadJson, ModelMustEqualProductid) {
  kivtest::sandbox sb;
  no_rule_set clean;
  const std::string json = "[" + rule() + ",{\"model\":\"KV-1000 \"},{\"model\":\"kv-1000\"},{}]";
  install_and_read(sb, json);  // productid unset: nothing is active
  ASSERT_EQ(gArraylen, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(mp[i].isActive, 0) << i;
  sb.set("productid", "KV-1000");
  install_and_read(sb, json);
  ASSERT_EQ(gArraylen, 4);
  EXPECT_EQ(mp[0].isActive, 1);
  EXPECT_EQ(mp[1].isActive, 0);
  EXPECT_EQ(mp[2].isActive, 0);
  EXPECT_EQ(mp[3].isActive, 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Match::model=[KV-1000]\n"), 1u);
}

TEST(ReadJson, OdmpidWhenPresentMustEqualTheSetting) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  const std::string json = "[" + rule("\"odmpid\":\"ODM-7\"") + "," + rule() + "]";
  install_and_read(sb, json);
  EXPECT_EQ(mp[0].isActive, 0) << "the setting is unset";
  EXPECT_EQ(mp[1].isActive, 1);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Not match::odmpid=[ODM-7]\n"), 1u);
  sb.set("odmpid", "ODM-7");
  install_and_read(sb, json);
  EXPECT_EQ(mp[0].isActive, 1);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Match::odmpid=[ODM-7]\n"), 1u);
  sb.set("odmpid", "ODM-77");
  install_and_read(sb, json);
  EXPECT_EQ(mp[0].isActive, 0);
}

TEST(ReadJson, TargetFwverMustEqualTheDeviceForm) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  EXPECT_EQ(device_fwver(), "._") << "every key unset";
  sb.set("firmver", "1.2");
  sb.set("buildno", "3");
  EXPECT_EQ(device_fwver(), "1.2.3_");
  install_and_read(sb, "[" + rule("\"target_fwver\":\"1.2.3_\"") + "," +
                           rule("\"target_fwver\":\"1.2.3\"") + "," +
                           rule("\"target_fwver\":\"\"") + "]");
  EXPECT_EQ(mp[0].isActive, 1);
  EXPECT_EQ(mp[1].isActive, 0);
  EXPECT_EQ(mp[2].isActive, 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]device_fwver=[1.2.3_]\n"), 3u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Not match::target_fwver=[1.2.3]\n"), 1u);
  sb.set("extendno", "51234-gabc");
  EXPECT_EQ(device_fwver(), "1.2.3_51234-gabc");
  // At most 63 characters.
  sb.set("firmver", std::string(70, '9'));
  EXPECT_EQ(device_fwver(), std::string(63, '9'));
}

TEST(ReadJson, LabelMacSettingMustOccurInTheRuleValue) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  const std::string json = "[" + rule("\"label_mac\":\"00:11;AA:BB\"") + "," +
                           rule("\"label_mac\":\"aa:bb\"") + "," + rule("\"label_mac\":\"\"") +
                           "," + rule("\"label_mac\":\"AA:B\"") + "," +
                           rule("\"label_mac\":\"AA:BB\"") + "," + rule() + "]";
  install_and_read(sb, json);  // setting unset: every rule with "label_mac" is inactive
  ASSERT_EQ(gArraylen, 6);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(mp[i].isActive, 0) << i;
  EXPECT_EQ(mp[5].isActive, 1);
  sb.set("label_mac", "AA:BB");
  install_and_read(sb, json);
  ASSERT_EQ(gArraylen, 6);
  EXPECT_EQ(mp[0].isActive, 1);
  EXPECT_EQ(mp[1].isActive, 0) << "case-sensitive";
  EXPECT_EQ(mp[2].isActive, 0) << "empty rule value";
  EXPECT_EQ(mp[3].isActive, 0) << "the rule value must hold the whole setting";
  EXPECT_EQ(mp[4].isActive, 1);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Match::label_mac=[00:11;AA:BB]\n"), 1u);
  sb.set("label_mac", "");
  install_and_read(sb, json);
  EXPECT_EQ(mp[2].isActive, 0) << "an empty setting matches nothing, not even an empty value";
}

TEST(ReadJson, FirstFailingFilterIsTheReasonGiven) {
  kivtest::sandbox sb;
  router_identity id;
  id.productid = "KV-1000";
  id.device_fwver = "1.0._";
  rule_load load;
  ASSERT_EQ(build_rule_set(("[{\"model\":\"KV-2000\",\"odmpid\":\"X\"}," +
                            rule("\"odmpid\":\"X\",\"target_fwver\":\"2\"") + "," +
                            rule("\"target_fwver\":\"2\",\"label_mac\":\"M\"") + "," +
                            rule("\"label_mac\":\"M\"") + "," + rule() + "]")
                               .c_str(),
                           id, nullptr, &load),
            RULES_OK);
  ASSERT_EQ(load.notes.size(), 5u);
  EXPECT_NE(load.notes[0].inactive_reason.find("model"), std::string::npos);
  EXPECT_NE(load.notes[1].inactive_reason.find("odmpid"), std::string::npos);
  EXPECT_NE(load.notes[2].inactive_reason.find("target_fwver"), std::string::npos);
  EXPECT_NE(load.notes[3].inactive_reason.find("label_mac"), std::string::npos);
  EXPECT_TRUE(load.notes[4].active);
  EXPECT_EQ(load.notes[4].inactive_reason, "");
  release_rule_load(&load);
  EXPECT_EQ(load.array, nullptr);
}

TEST(ReadJson, GlobalPauseComesFromActiveRulesInOrderAndStays) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  install_and_read(sb, "[" + rule("\"Global_Pause\":\"1\"") + "," + rule("\"Global_Pause\":0") +
                           ",{\"model\":\"KV-2000\",\"Global_Pause\":\"1\"}]");
  EXPECT_EQ(global_pause.load(), 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Global_Pause[0]=[1]\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Global_Pause[1]=[0]\n"), 1u);
  install_and_read(sb, "[" + rule("\"Global_Pause\":1") + "]");
  EXPECT_EQ(global_pause.load(), 1);
  install_and_read(sb, "[" + rule() + "]");
  EXPECT_EQ(global_pause.load(), 1) << "a file without the key leaves it";
  EXPECT_EQ(gArraylen, 1);
}

TEST(ReadJson, SwapReplacesTheWholeSetWithFreshState) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  const std::string r0 =
      rule("\"keyword\":\"a\",\"re_pattern\":\"a\",\"frequency\":2,\"action\":\"nop\"");
  install_and_read(sb, "[" + r0 + "," + rule("\"keyword\":\"b\"") + "]");
  ASSERT_EQ(gArraylen, 2);
  mp[0].timestamp[0] = 12.5f;
  mp[0].front = 0;
  mp[0].actionResult[0] = 0;
  mp[0].actionRetry[0] = 3;
  mp[0].actionIndex = 1;
  install_and_read(sb, "[" + r0 + "]");
  ASSERT_EQ(gArraylen, 1);
  EXPECT_EQ(doc_text(), "[" + r0 + "]");
  EXPECT_EQ(mp[0].timestamp, std::vector<float>({0.0f, 0.0f})) << "nothing carries over";
  EXPECT_EQ(mp[0].front, -1);
  EXPECT_EQ(mp[0].actionResult, std::vector<int32_t>({-1}));
  EXPECT_EQ(mp[0].actionRetry, std::vector<int32_t>({0}));
  EXPECT_EQ(mp[0].actionIndex, 0);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]free monitor_profile\n"), 1u)
      << "the first load had nothing to release";
  EXPECT_EQ(sb.count("tmp/syslog.log", "kiv: [read_json]Update kiv JSON file."), 2u);
}

TEST(ReadJson, FailedLoadsLeaveTheSetTheDocumentAndTheProcessInPlace) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  install_and_read(sb, "[" + rule("\"keyword\":\"kept\"") + "]");
  monitor_profile* const set = mp;
  json_object* const doc = gJsonObj;
  struct bad {
    std::string json;
    const char* message;
  };
  const bad cases[] = {
      {"[" + rule("\"re_pattern\":\"(unclosed\"") + "]", "Could not compile regex"},
      {"[" + rule("\"re_pattern\":\"a{2,1}\"") + "]", "Could not compile regex"},
      {"[" + rule("\"frequency\":\"-1\"") + "]", "Cannot malloc for timestamp!!!"},
      {"[" + rule("\"frequency\":-2147483648") + "]", "Cannot malloc for timestamp!!!"},
      {"[" + rule("\"frequency\":\"99999999999999999999\"") + "]",
       "Cannot malloc for timestamp!!!"},
      {"[" + rule() + "," + rule("\"frequency\":4000000000") + "]",
       "Cannot malloc for timestamp!!!"},
      {"[" + rule(), "json_tokener_parse error"},
      {"{\"model\":\"KV-1000\"}", "json_tokener_parse error"},
      {"\"[]\"", "json_tokener_parse error"},
      {"12345678901234567890123456789012345678901", "json_tokener_parse error"},
  };
  for (const bad& c : cases) {
    SCOPED_TRACE(c.json);
    const size_t before = sb.count("tmp/kiv.log", c.message);
    install_and_read(sb, c.json);
    EXPECT_EQ(sb.count("tmp/kiv.log", c.message), before + 1);
    EXPECT_EQ(mp, set);
    EXPECT_EQ(gArraylen, 1);
    EXPECT_EQ(gJsonObj, doc);
    EXPECT_EQ(mp[0].kiv_keyword, "kept");
    EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0") << "each installed file is read once";
    EXPECT_EQ(sb.read("tmp/kivjson.json"), "") << "the file is removed whatever the outcome";
  }
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]New arraylen="), 1u);
}

TEST(ReadJson, FailedLoadKeepsAPauseTakenBeforeTheFailure) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  install_and_read(sb,
                   "[" + rule("\"Global_Pause\":\"1\"") + "," + rule("\"re_pattern\":\"[\"") + "]");
  EXPECT_EQ(mp, nullptr) << "no set before, none after";
  EXPECT_EQ(gArraylen, 0);
  EXPECT_EQ(gJsonObj, nullptr);
  EXPECT_EQ(global_pause.load(), 1);
}

TEST(ReadJson, ActiveRuleWithoutARingLoadsButNeverFires) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  mkdir(sb.path("proc").c_str(), 0755);
  sb.write("proc/uptime", "100.00 50.00\n");
  install_and_read(sb, "[" + rule("\"re_pattern\":\"x\",\"action\":\"nop\"") + "," +
                           rule("\"re_pattern\":\"x\",\"frequency\":\"0\",\"action\":\"nop\"") +
                           "," + rule("\"re_pattern\":\"x\",\"frequency\":\"abc\"") + "]");
  ASSERT_EQ(gArraylen, 3);
  std::lock_guard<std::mutex> lock(mp_mutex);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mp[i].isActive, 1);
    EXPECT_EQ(mp[i].frequency, 0u);
    EXPECT_TRUE(mp[i].timestamp.empty());
    for (int k = 0; k < 5; ++k) record_timestamp(&mp[i]);
    EXPECT_EQ(mp[i].front, -1);
    EXPECT_EQ(is_match_condition(&mp[i]), 0);
  }
}

TEST(ReadJson, FilesThatAreNotReadOrNotLoaded) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  const std::string packed = kivtest::pack_rules("[" + rule() + "]");
  // Not announced: nothing happens, the file stays.
  sb.write("tmp/kivjson.json", packed);
  read_json(KIV_JSON_PATH);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]JSON is not updated yet\n"), 1u);
  EXPECT_EQ(sb.read("tmp/kivjson.json"), packed);
  EXPECT_EQ(mp, nullptr);
  // The header alone is an empty file: reported, kept, and the announcement consumed.
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", packed.substr(0, 40));
  read_json(KIV_JSON_PATH);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]flen=[40]\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Empty JSON file!!!\n"), 1u);
  EXPECT_EQ(sb.read("tmp/kivjson.json"), packed.substr(0, 40));
  EXPECT_EQ(sb.get("kiv_is_JSON_updated"), "0");
  // Plain JSON is not a container: refused and removed.
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", "[" + rule() + "," + rule() + "]");
  read_json(KIV_JSON_PATH);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Cannot decrypt JSON file, ret=[-6]\n"), 1u);
  EXPECT_EQ(sb.read("tmp/kivjson.json"), "");
  // No file at all: its size reads as -1, and the descrambler reports it.
  sb.set("kiv_is_JSON_updated", "1");
  read_json(KIV_JSON_PATH);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]flen=[-1]\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Cannot decrypt JSON file, ret=[-2]\n"), 1u);
  EXPECT_EQ(mp, nullptr);
  EXPECT_EQ(gJsonObj, nullptr);
}

TEST(ReadJson, DebugKeepsTheFileAndWritesTheDocumentNeverThroughALink) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  sb.set("kiv_debug_flag", "1");
  sb.write("dev/console", "");  // the console copies of the records go there
  const std::string json = "[ " + rule("\"keyword\" : \"wan\"") + " ]";
  const std::string packed = kivtest::pack_rules(json);
  sb.set("kiv_is_JSON_updated", "1");
  sb.write("tmp/kivjson.json", packed);
  read_json(KIV_JSON_PATH);
  ASSERT_EQ(gArraylen, 1);
  EXPECT_EQ(sb.read("tmp/kivjson.json"), packed);
  EXPECT_EQ(sb.read("tmp/decjsonobj.txt"), "[" + rule("\"keyword\":\"wan\"") + "]");
  EXPECT_EQ(sb.read("tmp/decjsonfile.txt"), json);

  sb.write("tmp/elsewhere", "keep");
  ASSERT_EQ(unlink(sb.path("tmp/decjsonobj.txt").c_str()), 0);
  ASSERT_EQ(symlink(sb.path("tmp/elsewhere").c_str(), sb.path("tmp/decjsonobj.txt").c_str()), 0);
  install_and_read(sb, "[" + rule() + "," + rule() + "]");
  EXPECT_EQ(gArraylen, 2) << "a debug copy that cannot be written does not stop the load";
  EXPECT_EQ(sb.read("tmp/elsewhere"), "keep");
}

TEST(ReadJson, EmptyArrayInstallsAnEmptySet) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  install_and_read(sb, "[" + rule() + "," + rule() + "]");
  ASSERT_EQ(gArraylen, 2);
  install_and_read(sb, "[ ]");
  EXPECT_NE(mp, nullptr) << "an empty set is a set";
  EXPECT_EQ(gArraylen, 0);
  EXPECT_EQ(doc_text(), "[]");
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]New arraylen=0\n"), 1u);
  dump_mp(mp);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"),
            "[]\n=====checkActionList=====\nglobal_pause=[0]\ngArraylen=[0]\n"
            "Action list[0]=[nop]\nAction list[1]=[restart_wan]\n");
}

TEST(ReadJson, DumpOfALoadedSetListsEveryRecordAndAction) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  const std::string json =
      "[" +
      rule(
          "\"keyword\":\"wan\",\"re_pattern\":\"link down\",\"frequency\":\"2\","
          "\"action\":\"restart_wan;nop;reboot\",\"Global_Pause\":\"0\"") +
      ",{\"model\":\"KV-2000\",\"keyword\":\"other\"}," + rule("\"action\":\";;\"") + "]";
  install_and_read(sb, json);
  ASSERT_EQ(gArraylen, 3);
  mp[0].actionResult[1] = 0;
  mp[0].actionRetry[1] = 3;
  dump_mp(mp);
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), doc_text() +
                                             "\n=====checkActionList=====\n"
                                             "global_pause=[0]\n"
                                             "gArraylen=[3]\n"
                                             "Action list[0]=[nop]\n"
                                             "Action list[1]=[restart_wan]\n"
                                             "=====monitor_profile[0]=====\n"
                                             "isActive=[1]\n"
                                             "kiv_keyword=[wan]\n"
                                             "re_pattern=[link down]\n"
                                             "action_num=[3]\n"
                                             "=>action[0]=[restart_wan]\n"
                                             "=>checkFuncIndex[0]=[1](for restart_wan)\n"
                                             "==>actionResult[0]=[-1]\n"
                                             "==>actionRetry[0]=[0]\n"
                                             "=>action[1]=[nop]\n"
                                             "=>checkFuncIndex[1]=[0](for nop)\n"
                                             "==>actionResult[1]=[0]\n"
                                             "==>actionRetry[1]=[3]\n"
                                             "=>action[2]=[reboot]\n"
                                             "=>checkFuncIndex[2]=[2](for (null))\n"
                                             "==>actionResult[2]=[-1]\n"
                                             "==>actionRetry[2]=[0]\n"
                                             "=====monitor_profile[1]=====\n"
                                             "isActive=[0]\n"
                                             "kiv_keyword=[(null)]\n"
                                             "re_pattern=[(null)]\n"
                                             "action_num=[0]\n"
                                             "=====monitor_profile[2]=====\n"
                                             "isActive=[1]\n"
                                             "kiv_keyword=[(null)]\n"
                                             "re_pattern=[(null)]\n"
                                             "action_num=[0]\n");
}

namespace {
std::string repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}
}  // namespace

TEST(ReadJson, PatternNestedTooDeepIsRefusedLikeOneThatDoesNotCompile) {
  kivtest::sandbox sb;
  no_rule_set clean;
  sb.set("productid", "KV-1000");
  install_and_read(sb, "[" + rule("\"keyword\":\"kept\"") + "]");
  monitor_profile* const set = mp;
  // Deep enough to overflow the stack inside regcomp if it were ever compiled.
  const std::string too_deep[] = {std::string(100000, '('), "a" + std::string(100000, '*'),
                                  std::string(KIV_MAX_PATTERN_NESTING + 1, '(') + "a" +
                                      std::string(KIV_MAX_PATTERN_NESTING + 1, ')')};
  for (const std::string& pattern : too_deep) {
    install_and_read(sb, "[" + rule("\"re_pattern\":\"" + pattern + "\"") + "]");
    EXPECT_EQ(mp, set);
    EXPECT_EQ(mp[0].kiv_keyword, "kept");
  }
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Could not compile regex\n"), 3u);

  // Nesting up to the limit compiles; escaped parentheses, bracket members and long flat
  // patterns are not nesting at all.
  const std::string fine[] = {
      std::string(KIV_MAX_PATTERN_NESTING, '(') + "a" + std::string(KIV_MAX_PATTERN_NESTING, ')'),
      repeat("\\(", 50000),
      "[(]" + std::string(20000, 'x'),
      std::string(3000, '[') + "]",
      "[[:alpha:](]+x",
      "(a)*(b)+(c)?(d){2}"};
  for (const std::string& pattern : fine) {
    std::string escaped;
    for (char c : pattern) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const size_t loads = sb.count("tmp/kiv.log", ")]New arraylen=1\n");
    install_and_read(sb, "[" + rule("\"re_pattern\":\"" + escaped + "\"") + "]");
    EXPECT_EQ(sb.count("tmp/kiv.log", ")]New arraylen=1\n"), loads + 1) << pattern.substr(0, 40);
    EXPECT_TRUE(gArraylen == 1 && mp[0].regex_compiled) << pattern.substr(0, 40);
  }
}
