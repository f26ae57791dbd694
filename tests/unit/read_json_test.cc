// The rule file reader's records: one line each, under the reader's own name.
#include "rules/read_json.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/kiv_main.h"
#include "rules/action_list.h"
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
