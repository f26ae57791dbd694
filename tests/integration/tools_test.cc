// The tools as built: kivrule's reports on the examples, its exit statuses, pack and unpack round
// trips, replay agreeing with the real daemon, and the host nvram tool.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <regex>

#include "platform/platform.h"
#include "support/kivtest.h"

using namespace kivtest;

namespace {

run_result kivrule(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), bin("kivrule"));
  return run(args, input);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Fires per profile of a replay's JSON report.
std::vector<long long> fires(const std::string& report) {
  std::vector<long long> out;
  json_object *doc = json_tokener_parse(report.c_str()), *profiles = nullptr, *n = nullptr;
  if (json_object_object_get_ex(doc, "profiles", &profiles))
    for (size_t i = 0; i < json_object_array_length(profiles); ++i)
      out.push_back(json_object_object_get_ex(json_object_array_get_idx(profiles, i), "fires", &n)
                        ? json_object_get_int64(n)
                        : -1);
  json_object_put(doc);
  return out;
}

}  // namespace

TEST(Kivrule, ReportsOnTheExamples) {
  sandbox sb;
  const std::string id = "--productid KV-1000 --fwver 3.0.0.4_388 --label-mac 02:00:5E:10:00:02";
  std::string report;
  for (const std::string& args : std::vector<std::string>{
           "--help", "check EXAMPLES " + id, "check EXAMPLES --productid KV-2000", "check EXAMPLES",
           "replay EXAMPLES ROUTERLOG " + id,
           "replay EXAMPLES ROUTERLOG --json --clock rate=2 " + id,
           "replay EXAMPLES ODDLOG --productid KV-1000"}) {
    std::string line =
        std::regex_replace(args, std::regex("EXAMPLES"), source("examples/rules.json"));
    line = std::regex_replace(line, std::regex("ROUTERLOG"), source("examples/router.log"));
    line = std::regex_replace(line, std::regex("ODDLOG"), source("tests/cases/replay_odd.log"));
    const run_result r = kivrule(words(line));
    report +=
        "$ kivrule " + args + "\n" + r.out + r.err + "[status " + std::to_string(r.status) + "]\n";
  }
  // The source tree's path, also as JSON writes it (with escaped slashes).
  report = replaced(report, replaced(source(""), "/", "\\/"), "");
  expect_golden("kivrule.txt", replaced(report, source(""), ""));
}

TEST(Kivrule, ExitStatusesAndWhatTheySay) {
  sandbox sb;
  for (const auto& c : cases("kivrule.txt")) {
    sb.write("rules", c[1]);
    sb.write("empty", "");
    std::vector<std::string> args = words(c[0]);
    for (std::string& a : args) {
      if (a == "RULES") a = sb.path("rules");
      if (a == "SAME") a = sb.path("./rules");
      if (a == "EMPTY") a = sb.path("empty");
      if (a == "MISSING") a = sb.path("missing");
      if (a == "OUT") a = sb.path("out");
      if (a == "ROUTERLOG") a = source("examples/router.log");
    }
    const run_result r = kivrule(args, c[1]);
    const std::string says = replaced(
        replaced(replaced(r.out + r.err, sb.path("./rules"), "SAME"), sb.path("rules"), "RULES"),
        sb.path(""), "");
    EXPECT_EQ(std::to_string(r.status), c[2]) << c[0] << " " << c[1] << "\n" << says;
    EXPECT_NE(says.find(c[3]), std::string::npos) << c[0] << " " << c[1] << "\n" << says;
    EXPECT_TRUE(r.status == 0 || sb.read("rules") == c[1]) << c[0] << ": the input was changed";
  }
  EXPECT_EQ(sb.read("tmp/kiv.log"), "") << "the tool never writes the daemon's log";
}

TEST(Kivrule, PackAndUnpackGiveTheTextBackByteForByte) {
  sandbox sb;
  const std::string json = slurp(source("examples/rules.json")) + "[\"\xff\xfe\x01\x7f\"]";
  sb.write("in.json", "[" + json.substr(1));
  for (const char* ran : {"0", "-1", "4294967295", "123456"}) {
    ASSERT_EQ(kivrule({"pack", sb.path("in.json"), sb.path("out.bin"), "--ran", ran}).status, 0);
    EXPECT_EQ(sb.read("out.bin"),
              packed(sb.read("in.json"), static_cast<unsigned>(std::stoll(ran))));
    EXPECT_EQ(kivrule({"unpack", sb.path("out.bin")}).out, sb.read("in.json"));
    ASSERT_EQ(kivrule({"unpack", sb.path("out.bin"), sb.path("back.json")}).status, 0);
    EXPECT_EQ(sb.read("back.json"), sb.read("in.json"));
  }
  ASSERT_EQ(kivrule({"pack", sb.path("in.json"), sb.path("random.bin")}).status, 0);
  EXPECT_EQ(sb.read("random.bin").substr(0, 32), sb.read("out.bin").substr(0, 32))
      << "Len is the body length";
}

// Replay and the daemon, fed the same rules and the same lines at the same times, fire alike.
TEST(Kivrule, ReplayFiresWhereTheDaemonHeals) {
  router r;
  r.settings("firmver=3.0.0;buildno=4;extendno=388;label_mac=02:00:5E:10:00:02");
  ASSERT_TRUE(r.start());
  const std::string rules = slurp(source("examples/rules.json"));
  ASSERT_TRUE(r.load(rules));
  std::string written;
  for (const auto& c : cases("replay.txt")) {
    const int at = std::stoi(c[0]);
    const std::string& text = c[1];
    r.clock(at);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "Dec  7 08:%02d:%02d ", at / 60, at % 60);
    const std::string line = stamp + text + "\n";
    written += line + "-- marker " + std::to_string(r.markers + 1) + " --\n";
    ASSERT_TRUE(r.lines(line));
    pause_s(0.02 * 2 * 6);  // a round of the trigger over every profile
    for (const double deadline = now_s() + 10; r.count("tmp/kiv.log", "self_healing start") !=
                                                   r.count("tmp/kiv.log", "self_healing end") &&
                                               now_s() < deadline;)
      pause_s(0.02);
  }
  r.write("replayed.log", written);
  r.write("rules.json", rules);
  const std::vector<long long> replayed = fires(
      kivrule({"replay", r.path("rules.json"), r.path("replayed.log"), "--json", "--productid",
               "KV-1000", "--fwver", "3.0.0.4_388", "--label-mac", "02:00:5E:10:00:02"})
          .out);
  ASSERT_EQ(replayed.size(), 5u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(replayed[i],
              static_cast<long long>(
                  r.count("tmp/kiv.log", ")]monitor_profile index=" + std::to_string(i) + "\n")))
        << i;
  EXPECT_EQ(replayed, (std::vector<long long>{2, 0, 2, 1, 0}));
  EXPECT_EQ(r.stop(), 0);
}

TEST(Nvram, ToolCommands) {
  sandbox sb;
  for (const auto& c : cases("nvram.txt")) {
    std::vector<std::string> args = words(c[0]);
    const bool env = !args.empty() && args[0].find('=') != std::string::npos;
    args.insert(args.begin() + env, bin("nvram"));
    if (env) args.insert(args.begin(), "env");
    const run_result r = run(args);
    EXPECT_EQ(std::to_string(r.status) + " " + r.out, c[1] + " " + c[2]) << c[0];
    EXPECT_TRUE(c.size() < 4 || r.err.find(c[3]) != std::string::npos) << c[0] << ": " << r.err;
  }
  EXPECT_EQ(nvram_safe_get("productid"), "KV-1000") << "the daemon's store";
}
