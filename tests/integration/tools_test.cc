// The tools as built: their commands' transcript (kivrule's reports and exit statuses, the host
// nvram tool) and pack and unpack round trips. (Replay agreeing with the real daemon:
// tests/scenarios/tools_*.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "fleet/verdict/fleet_log.h"
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

// The file of a row's transcript in tests/golden/tools/: the program's name, kivrule_COMMAND for
// kivrule's commands; "" for another program (cp, dd, ...), whose row prepares the next one.
std::string transcript_of(const std::vector<std::string>& words) {
  static const std::set<std::string> commands = {"check", "replay", "pack",   "unpack", "keygen",
                                                 "sign",  "verify", "bucket", "fleet"};
  const auto program = std::find_if(words.begin(), words.end(), [](const std::string& w) {
    return w.find('=') == std::string::npos;  // past the environment's NAME=value words
  });
  if (program == words.end() || (*program != "kiv" && *program != "kivrule" && *program != "nvram"))
    return "";
  const bool command =
      *program == "kivrule" && program + 1 != words.end() && commands.count(program[1]);
  return *program + (command ? "_" + program[1] : "");
}

}  // namespace

// The tools' commands of tests/cases/tools.txt, kivrule's reports on the examples among them:
// what each printed on its two streams and its exit status, against tests/golden/tools/, a file
// for each program and each kivrule command.
TEST(Tools, EveryCommandPrintsAndEndsAsItsTranscriptSays) {
  sandbox sb;
  const std::map<std::string, std::string> names = {
      {"kiv", bin("kiv")},
      {"kivrule", bin("kivrule")},
      {"nvram", bin("nvram")},
      {"RULES", sb.path("rules")},
      {"SAME", sb.path("./rules")},
      {"EMPTY", sb.path("empty")},
      {"MISSING", sb.path("missing")},
      {"OUT", sb.path("out")},
      {"EXAMPLES", source("examples/rules.json")},
      {"ROUTERLOG", source("examples/router.log")},
      {"ODDLOG", source("tests/cases/replay_odd.log")},
      {"LONGLOG", source("tests/cases/replay_long.log")},
      {"FLEETLOG", source("tests/cases/fleet_rollout.jsonl")},
      {"SIGNER", sb.path("signer")},
      {"OTHER", sb.path("other")},
      {"SIGNED", sb.path("signed.bin")},
      {"COPY", sb.path("copy.bin")}};
  std::map<std::string, std::string> transcripts;
  std::string prepared;  // rows of other programs, for the next row's transcript
  for (const auto& c : cases("tools.txt")) {
    SCOPED_TRACE(c.where);
    const std::string input = c.size() > 1 ? c[1] : "";
    sb.write("rules", input);
    sb.write("empty", "");
    std::vector<std::string> args = words(c[0]);
    for (std::string& a : args) {  // NAME, NAME.ext and key=NAME
      const size_t at = a.find('=') + 1, dot = a.find('.', at);
      if (const std::string stem = a.substr(at, dot - at); names.count(stem))
        a = a.substr(0, at) + names.at(stem) + a.substr(dot == std::string::npos ? a.size() : dot);
    }
    if (args[0].find('=') != std::string::npos) args.insert(args.begin(), "env");
    const run_result r = run(args, input);
    prepared += "$ " + c[0] + "\n" + r.out + (r.err.empty() ? "" : "[stderr]\n" + r.err) +
                "[status " + std::to_string(r.status) + "]\n";
    if (const std::string file = transcript_of(words(c[0])); !file.empty())
      transcripts[file] += std::exchange(prepared, "");
    EXPECT_TRUE(r.status == 0 || sb.read("rules") == input) << c[0] << ": the input was changed";
  }
  EXPECT_EQ(prepared, "") << "the last rows prepare no command";
  for (auto& [file, report] : transcripts) {
    // The root's and the source tree's paths left out, also as JSON writes them (slashes escaped).
    for (const std::string& top : {sb.path(""), source("")})
      report = replaced(replaced(report, replaced(top, "/", "\\/"), ""), top, "");
    // Source line numbers in the reader's records (--verbose) change with any edit of the reader.
    static const std::regex line(R"((\[[A-Za-z_]\w*):\(-?\d+\)\])");
    expect_golden("tools/" + file + ".txt", std::regex_replace(report, line, "$1:(N)]"));
  }
  for (const auto& golden : std::filesystem::directory_iterator(source("tests/golden/tools")))
    EXPECT_TRUE(transcripts.count(golden.path().stem())) << golden.path() << " has no rows";
  EXPECT_EQ(sb.read("tmp/kiv.log"), "") << "the tools never write the daemon's log";
  EXPECT_EQ(nvram_safe_get("productid"), "KV-1000") << "the daemon's store";
}

// Its Ran aside, a container packed without --ran has the header of any other (the pack and
// unpack round trips: tests/cases/tools.txt).
TEST(Kivrule, PackWithoutRanWritesTheSameHeader) {
  sandbox sb;
  sb.write("in.json", "[]");
  ASSERT_EQ(kivrule({"pack", sb.path("in.json"), sb.path("out.bin")}).status, 0);
  EXPECT_EQ(sb.read("out.bin").substr(0, 36), packed("[]").substr(0, 36));
}

// A hostile log makes up keywords: 20 routers, each with 1,024 of its own. What kivrule fleet
// keeps (and prints) is bounded, the rest gathered as one.
TEST(Kivrule, FleetKeepsABoundedNumberOfMeasures) {
  sandbox sb;
  std::string log = "{\"time\":1,\"status\":200,\"stage\":100,\"published\":5}\n";
  for (int router = 1; router <= 20; ++router) {
    log += "{\"time\":100000,\"IDENT\":\"" + std::string(30, '0') + std::to_string(router + 10) +
           "\",\"RuleSerial\":\"5\",\"stage\":100,\"published\":5,\"KivReport\":{\"v\":1,"
           "\"serial\":5,\"seconds\":86400,\"rules\":{";
    for (int k = 0; k < 1024; ++k)
      log += std::string(k ? "," : "") + "\"z" + std::to_string(router * 1024 + k) +
             "\":{\"fires\":1}";
    log += "}}}\n";
  }
  sb.write("requests.jsonl", log);
  // 21 routers needed: only the whole stage is shown, not each model
  const run_result r = kivrule({"fleet", sb.path("requests.jsonl"), "--min-routers", "21"});
  EXPECT_EQ(r.status, 0) << r.err;
  size_t rows = 0;
  for (size_t at = r.out.find("\n  fires of z"); at != std::string::npos;
       at = r.out.find("\n  fires of z", at + 1))
    ++rows;
  EXPECT_EQ(rows, FLEET_MEASURES_MAX - 1) << "of 20 x 1024";
  EXPECT_NE(r.out.find("\n  \"(more measures)\" "), std::string::npos) << "the rest, gathered";
}

// A MAC is whatever the caller gives: one with a line end or far too long still makes one line
// of its own, quoted and cut, with the bucket of the bytes as given.
TEST(Kivrule, BucketShowsAnOddMacOnOneLine) {
  const std::string forged = "aa\nAA:BB:CC:00:11:22: bucket 99 (IDENT x)";
  const run_result r = kivrule({"bucket", forged, std::string(100000, 'A'), "AA:BB:CC:00:11:22"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
  EXPECT_EQ(r.out.find("\nAA:BB:CC:00:11:22: bucket 99"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind("\"aa\\x0aAA:BB:CC:00:11:22: bucket 99 (IDENT x)\": bucket ", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\"" + std::string(64, 'A') + "\"... (100000 bytes): bucket "),
            std::string::npos);
  EXPECT_NE(r.out.find("\nAA:BB:CC:00:11:22: bucket 52 (IDENT 83d82b57d56eadd6051909d1bc422839)\n"),
            std::string::npos)
      << "a plain MAC as given";
}
