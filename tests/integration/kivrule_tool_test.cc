// The rule author's tool, run as built: pack and unpack round trips, what check reports for the
// example rule set and its exit statuses, and inputs that are not rule files at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "update/decrypt_file.h"

namespace {

using kivtest::run_result;

// Runs the built kivrule with args (no shell), for at most 30 seconds.
run_result kivrule(const kivtest::sandbox& sb, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kivtest::bin("kivrule")};
  argv.insert(argv.end(), args.begin(), args.end());
  return kivtest::run_program(sb, argv);
}

std::string examples() {
  return std::string(KIV_SOURCE_DIR) + "/examples/rules.json";
}

std::string read_host_file(const std::string& path) {
  std::string data;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return data;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

uint32_t le32_at(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

// Checks a file of rules for a router; rules is JSON text written to the sandbox.
run_result check_text(const kivtest::sandbox& sb, const std::string& rules,
                      const std::vector<std::string>& identity = {"--productid", "KV-1000"}) {
  sb.write("rules.json", rules);
  std::vector<std::string> args = {"check", sb.path("rules.json")};
  args.insert(args.end(), identity.begin(), identity.end());
  return kivrule(sb, args);
}

std::string rule(const std::string& extra) {
  return "{\"model\":\"KV-1000\",\"keyword\":\"k\",\"re_pattern\":\"x\",\"frequency\":\"1\","
         "\"period\":\"5\",\"action\":\"restart_wan\"" +
         extra + "}";
}

}  // namespace

TEST(KivruleTool, PackThenUnpackGivesTheInputBackByteForByte) {
  kivtest::sandbox sb;
  const std::string json = read_host_file(examples());
  ASSERT_FALSE(json.empty());
  std::string minus_one, max;
  for (const char* ran : {"", "0", "-1", "4294967295", "123456"}) {
    SCOPED_TRACE(ran);
    std::vector<std::string> args = {"pack", examples(), sb.path("rules.bin")};
    if (*ran) args.insert(args.end(), {"--ran", ran});
    run_result packed = kivrule(sb, args);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_TRUE(has(packed.out, "packed ")) << packed.out;
    const std::string container = sb.read("rules.bin");
    ASSERT_EQ(container.size(), json.size() + 40);
    EXPECT_EQ(container.substr(16, 15), std::string("TORVKIVENCRYPT\0", 15));
    EXPECT_EQ(le32_at(container, 32), json.size()) << "Len is the body length";
    if (*ran) {
      EXPECT_EQ(le32_at(container, 36), static_cast<uint32_t>(std::stoll(ran)));
    }
    if (std::string(ran) == "-1") minus_one = container;
    if (std::string(ran) == "4294967295") max = container;

    // The daemon's own reader restores it.
    sb.write("tmp/kivjson.json", container);
    std::unique_ptr<char[]> buffer;
    ASSERT_EQ(decryptFile("/tmp/kivjson.json", &buffer), 0);
    EXPECT_EQ(std::string(buffer.get() + 40), json);

    run_result to_file = kivrule(sb, {"unpack", sb.path("rules.bin"), sb.path("back.json")});
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    EXPECT_EQ(sb.read("back.json"), json);
    run_result to_stdout = kivrule(sb, {"unpack", sb.path("rules.bin")});
    ASSERT_EQ(to_stdout.status, 0) << to_stdout.err;
    EXPECT_EQ(to_stdout.out, json);
  }
  EXPECT_EQ(minus_one, max) << "-1 and 4294967295 are the same Ran";

  // Bytes of every value survive, not only text.
  std::string odd = "[\"\xff\xfe\x01\x7f\"]";
  sb.write("odd.json", odd);
  ASSERT_EQ(kivrule(sb, {"pack", sb.path("odd.json"), sb.path("odd.bin"), "--ran", "254"}).status,
            0);
  EXPECT_EQ(kivrule(sb, {"unpack", sb.path("odd.bin")}).out, odd);
}

TEST(KivruleTool, PackRefusesWhatTheDaemonCouldNotLoad) {
  kivtest::sandbox sb;
  sb.write("object.json", "{\"model\":\"KV-1000\"}");
  run_result object = kivrule(sb, {"pack", sb.path("object.json"), sb.path("out.bin")});
  EXPECT_EQ(object.status, 1);
  EXPECT_TRUE(has(object.err, "not an array")) << object.err;
  sb.write("broken.json", "[{\"model\":");
  run_result broken = kivrule(sb, {"pack", sb.path("broken.json"), sb.path("out.bin")});
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(has(broken.err, "not JSON")) << broken.err;
  EXPECT_EQ(access(sb.path("out.bin").c_str(), F_OK), -1) << "nothing written";

  EXPECT_EQ(kivrule(sb, {"pack", sb.path("missing.json"), sb.path("out.bin")}).status, 2);
  sb.write("ok.json", "[]");
  run_result bad_ran =
      kivrule(sb, {"pack", sb.path("ok.json"), sb.path("out.bin"), "--ran", "4294967296"});
  EXPECT_EQ(bad_ran.status, 2);
  EXPECT_TRUE(has(bad_ran.err, "--ran")) << bad_ran.err;
  EXPECT_EQ(kivrule(sb, {"pack", sb.path("ok.json")}).status, 2);
}

TEST(KivruleTool, UnpackRefusesAFileWithoutTheHeader) {
  kivtest::sandbox sb;
  sb.write("plain.json", "[{\"model\":\"KV-1000\",\"keyword\":\"not a container at all\"}]");
  run_result r = kivrule(sb, {"unpack", sb.path("plain.json")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "not a rule container")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(kivrule(sb, {"unpack", sb.path("missing.bin")}).status, 2);
  EXPECT_EQ(kivrule(sb, {"unpack"}).status, 2);
}

TEST(KivruleTool, CheckShowsWhichExampleRulesAreActiveForKV1000) {
  kivtest::sandbox sb;
  run_result full = kivrule(sb, {"check", examples(), "--productid", "KV-1000", "--fwver",
                                 "3.0.0.4_388", "--label-mac", "02:00:5E:10:00:02"});
  EXPECT_EQ(full.status, 0) << full.out << full.err;
  for (const char* line : {
           "\nrule 0 \"wan_down\": active\n",
           "  re_pattern \"WAN(\\([0-9]+\\))?: link down\": compiles\n",
           "  frequency 3, period 60 s\n",
           "    action 0: \"restart_wan\" (check: restart_wan)\n",
           "\nrule 1 \"wifi_stuck\": active\n",
           "    action 0: \"nop\" (check: nop)\n",
           "    action 1: \"restart_wireless\" (check: none)\n",
           "\nrule 2 \"dns_crash\": active\n",
           "\nrule 3 \"oom\": active\n",
           "\nrule 4 \"wan_down_kv2000\": inactive: model \"KV-2000\" is not productid "
           "\"KV-1000\"\n",
           "\nverdict: loads: 5 rules, 4 active\n",
       })
    EXPECT_TRUE(has(full.out, line)) << line << "\n" << full.out;

  // Another firmware and another label MAC: the rules that name them drop out, with the reason.
  run_result other = kivrule(sb, {"check", examples(), "--productid", "KV-1000", "--fwver",
                                  "3.0.0.4_386", "--label-mac", "02:00:5E:10:00:09"});
  EXPECT_EQ(other.status, 0) << other.out;
  EXPECT_TRUE(has(other.out, "rule 2 \"dns_crash\": inactive: target_fwver \"3.0.0.4_388\""))
      << other.out;
  EXPECT_TRUE(has(other.out, "rule 3 \"oom\": inactive: label_mac")) << other.out;
  EXPECT_TRUE(has(other.out, "verdict: loads: 5 rules, 2 active\n")) << other.out;

  // The same through the container.
  ASSERT_EQ(kivrule(sb, {"pack", examples(), sb.path("rules.bin")}).status, 0);
  run_result packed = kivrule(sb, {"check", sb.path("rules.bin"), "--productid", "KV-1000",
                                   "--fwver", "3.0.0.4_388", "--label-mac", "02:00:5E:10:00:02"});
  EXPECT_EQ(packed.status, 0);
  EXPECT_TRUE(has(packed.out, "rule container, body of ")) << packed.out;
  EXPECT_EQ(packed.out.substr(packed.out.find("\n5 rules\n")),
            full.out.substr(full.out.find("\n5 rules\n")));
}

TEST(KivruleTool, CheckShowsTheKV2000RuleAloneActiveForKV2000) {
  kivtest::sandbox sb;
  run_result r = kivrule(sb, {"check", examples(), "--productid", "KV-2000"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out,
                  "rule 0 \"wan_down\": inactive: model \"KV-1000\" is not productid "
                  "\"KV-2000\"\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "rule 4 \"wan_down_kv2000\": active\n")) << r.out;
  EXPECT_TRUE(has(r.out, "verdict: loads: 5 rules, 1 active\n")) << r.out;
  run_result nobody = kivrule(sb, {"check", examples()});
  EXPECT_EQ(nobody.status, 0);
  EXPECT_TRUE(has(nobody.out, "without --productid no rule can be active")) << nobody.out;
  EXPECT_TRUE(has(nobody.out, "5 rules, 0 active")) << nobody.out;
}

TEST(KivruleTool, CheckExitStatusSaysWhetherTheRulesWouldWork) {
  kivtest::sandbox sb;
  struct expectation {
    std::string rules;
    int status;
    const char* says;
  };
  const expectation cases[] = {
      {"[" + rule("") + "]", 0, "verdict: loads: 1 rule, 1 active"},
      {"[" + rule(",\"re_pattern\":\"(unclosed\"") + "]", 1,
       "verdict: rejected: rule 0: its re_pattern does not compile"},
      // Patterns the daemon refuses say why.
      {"[" + rule(",\"re_pattern\":\"(|)(\\\\1\\\\1)*\"") + "]", 1,
       "does not compile (a back-reference (\\1 to \\9) is not supported)"},
      {"[" + rule(",\"re_pattern\":\"(a{1000}){1000}\"") + "]", 1,
       "does not compile (counted repetitions copy more than 8192 atoms)"},
      {"[" + rule(",\"frequency\":\"-3\"") + "]", 1,
       "verdict: rejected: rule 0: its frequency asks for a ring that cannot be allocated"},
      {"[" + rule(",\"frequency\":\"999999999999\"") + "]", 1, "cannot be allocated"},
      {"[" + rule(",\"action\":\"restart_wan; reboot\"") + "]", 1,
       "error: action \" reboot\" has blanks in it"},
      {"[" + rule(",\"action\":\";;\"") + "]", 1, "error: the action list has no items"},
      {"[" + rule(",\"frequency\":\"0\"") + "]", 1, "converts to 0"},
      {"[{\"model\":\"KV-1000\",\"action\":\"nop\",\"frequency\":2}]", 1, "no \"re_pattern\""},
      {"{\"model\":\"KV-1000\"}", 1, "the top-level value is object, not an array"},
      {"[" + rule(""), 1, "error: not JSON"},
      {"", 1, "error: not JSON"},
      // A broken rule for another router does no harm.
      {"[{\"model\":\"KV-2000\",\"re_pattern\":\"(\",\"frequency\":\"-1\"}," + rule("") + "]", 0,
       "note (inactive): re_pattern does not compile"},
      // Warnings keep the status.
      {"[" + rule(",\"Frequency\":\"3\",\"re_pattern\":\".*\"") + "]", 0,
       "warning: unknown key \"Frequency\" is ignored"},
  };
  for (const expectation& c : cases) {
    run_result r = check_text(sb, c.rules);
    EXPECT_EQ(r.status, c.status) << c.rules << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.says)) << c.says << "\n" << r.out;
  }
  run_result twice =
      check_text(sb, "[" + rule(",\"frequency\":0") + "," + rule(",\"action\":\"x; y\"") + "]");
  EXPECT_EQ(twice.status, 1);
  EXPECT_TRUE(has(twice.out, "verdict: loads, but 2 active rules cannot work (rule 0, 1)"))
      << twice.out;

  // Bad command lines and unreadable files.
  EXPECT_EQ(kivrule(sb, {"check"}).status, 2);
  EXPECT_EQ(kivrule(sb, {"check", sb.path("missing.json")}).status, 2);
  EXPECT_EQ(kivrule(sb, {"check", sb.path("rules.json"), "--productid"}).status, 2);
  EXPECT_EQ(kivrule(sb, {"check", sb.path("rules.json"), "--colour"}).status, 2);
  EXPECT_EQ(kivrule(sb, {"check", sb.path("rules.json"), sb.path("rules.json")}).status, 2);
  EXPECT_EQ(kivrule(sb, {"frobnicate"}).status, 2);
}

TEST(KivruleTool, HelpDescribesEveryCommand) {
  kivtest::sandbox sb;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"check", "--help"}}) {
    run_result r = kivrule(sb, args);
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"usage: kivrule", "pack IN.json OUT", "unpack IN", "check FILE",
                             "--label-mac", "Exit status"})
      EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out;
  }
  run_result none = kivrule(sb, {});
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(has(none.err, "usage: kivrule"));
}

TEST(KivruleTool, GarbageIsRefusedWithoutACrash) {
  kivtest::sandbox sb;
  std::mt19937 gen(20261207);
  auto noise = [&gen](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
  };
  std::string header(40, '\0');
  header.replace(16, 14, "TORVKIVENCRYPT");
  const std::string inputs[] = {
      noise(4096),
      noise(17),
      header + noise(5000),                 // the magic, then noise
      header,                               // the magic alone
      std::string(100000, '[') + "]",       // nesting beyond any parser depth
      "[" + std::string(50000, '"') + "]",  // unbalanced quotes
      "[{\"model\":\"KV-1000\",\"re_pattern\":\"" + std::string(100000, '(') + "\"}]",
      "[{\"model\":\"KV-1000\",\"frequency\":1e999,\"period\":-1e999,\"action\":{\"a\":[1]}}]",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.size());
    sb.write("garbage", input);
    run_result c = kivrule(sb, {"check", sb.path("garbage"), "--productid", "KV-1000"});
    EXPECT_TRUE(c.status == 0 || c.status == 1) << c.status << "\n" << c.err;
    EXPECT_TRUE(has(c.out, "verdict: ")) << c.out << c.err;
    run_result u = kivrule(sb, {"unpack", sb.path("garbage"), sb.path("out")});
    EXPECT_TRUE(u.status == 0 || u.status == 1) << u.status;
    run_result p = kivrule(sb, {"pack", sb.path("garbage"), sb.path("out.bin")});
    EXPECT_TRUE(p.status == 0 || p.status == 1) << p.status;
  }
  sb.write("garbage", noise(4096));
  EXPECT_EQ(kivrule(sb, {"check", sb.path("garbage"), "--productid", "KV-1000"}).status, 1);
  EXPECT_EQ(kivrule(sb, {"pack", sb.path("garbage"), sb.path("out.bin")}).status, 1);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "") << "the tool never writes the daemon's log";
}

TEST(KivruleTool, CheckVerboseShowsTheReadersRecordsOnStandardError) {
  kivtest::sandbox sb;
  run_result r = kivrule(sb, {"check", examples(), "--productid", "KV-1000", "--verbose"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, "]arraylen_new=5\n")) << r.err;
  EXPECT_TRUE(has(r.err, "]Match::model=[KV-1000]\n")) << r.err;
  EXPECT_FALSE(has(r.out, "[KIV]")) << "records stay off the report";
  EXPECT_EQ(sb.read("tmp/kiv.log"), "");
  // A container whose Len is not its body length still loads (the daemon ignores Len).
  ASSERT_EQ(kivrule(sb, {"pack", examples(), sb.path("rules.bin")}).status, 0);
  std::string container = sb.read("rules.bin");
  container[32] = static_cast<char>(container[32] + 1);
  sb.write("rules.bin", container);
  run_result len = kivrule(sb, {"check", sb.path("rules.bin"), "--productid", "KV-1000"});
  EXPECT_EQ(len.status, 0);
  EXPECT_TRUE(has(len.out, "warning: Len is ")) << len.out;
}
