// The README and the pages under docs/ against what they describe: the settings table against
// the keys the daemon's code reads and writes, the bounds table against the code's constants,
// kivrule's commands against its usage, every transcript of a command the tool tests run against
// that command's golden, a quoted file against the file, and every link and named source path
// against the tree. A page that drifts from the code fails here, not in a reader's hands.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "detect/line_queue.h"
#include "detect/monitor_syslog.h"
#include "rules/pattern_automaton.h"
#include "rules/pattern_guard.h"
#include "rules/rule_reader.h"
#include "rules/shared_prefilter.h"
#include "support/kivtest.h"
#include "update/curl_download_file.h"
#include "update/download_json.h"
#include "update/fleet_report.h"
#include "update/retry_after.h"
#include "update/rule_signature.h"

using namespace kivtest;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The pages, as paths relative to the source tree: the README and every docs/*.md.
std::vector<std::string> pages() {
  std::vector<std::string> names{"README.md"};
  for (const auto& e : fs::directory_iterator(source("docs")))
    if (e.path().extension() == ".md") names.push_back("docs/" + e.path().filename().string());
  std::sort(names.begin() + 1, names.end());
  return names;
}

std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> out{""};
  for (size_t i = 1; i < row.size(); ++i)
    if (row[i] == '|')
      out.emplace_back();
    else
      out.back() += row[i];
  out.pop_back();  // what follows the last bar
  return out;
}

// The rows of the first Markdown table of a page whose header starts with `first`.
std::vector<std::vector<std::string>> table(const std::string& page, const std::string& first) {
  std::vector<std::vector<std::string>> rows;
  bool in = false;
  for (const auto& line : lines_of(slurp(source(page)))) {
    if (!in) {
      in = line.rfind("| " + first + " |", 0) == 0;
      continue;
    }
    if (line.empty() || line[0] != '|') break;
    if (line.rfind("|---", 0) != 0) rows.push_back(cells(line));
  }
  return rows;
}

// The text between the first pair of backquotes in a cell.
std::string quoted(const std::string& cell) {
  const size_t a = cell.find('`');
  const size_t b = a == std::string::npos ? a : cell.find('`', a + 1);
  return b == std::string::npos ? "" : cell.substr(a + 1, b - a - 1);
}

// The settings keys the daemon's code names in a call to the settings store (nvram_get,
// nvram_safe_get, nvram_match, nvram_set_int, ...) or to the scheduler's store (deps.get_int).
std::set<std::string> keys_in_code() {
  static const std::regex call(
      R"re((?:\bnvram_[a-z_]+|[.>](?:get|set|get_int|set_int))\("([A-Za-z_][A-Za-z0-9_.]*)")re");
  std::set<std::string> keys;
  for (const char* dir : {"commands", "core", "daemon", "detect", "heal", "platform", "report",
                          "rules", "storage", "trigger", "update"})
    for (const auto& e : fs::recursive_directory_iterator(source(dir))) {
      const auto ext = e.path().extension();
      if (ext != ".cc" && ext != ".h") continue;
      for (const auto& line : lines_of(slurp(e.path().string())))
        for (std::sregex_iterator m(line.begin(), line.end(), call), end; m != end; ++m)
          keys.insert((*m)[1]);
    }
  return keys;
}

TEST(Docs, TheSettingsTableHoldsEveryKeyTheCodeUsesAndNoOther) {
  std::set<std::string> documented;
  for (const auto& row : table("docs/settings.md", "Key")) {
    ASSERT_EQ(row.size(), 5u) << "a row of five columns: " << row[0];
    const std::string key = quoted(row[0]);
    EXPECT_TRUE(documented.insert(key).second) << key << " has two rows";
    for (const auto& cell : row) EXPECT_NE(cell.find_first_not_of(' '), std::string::npos) << key;
  }
  const std::set<std::string> used = keys_in_code();
  ASSERT_GE(used.size(), 20u) << "the scan of the code found too few keys to be right";
  for (const auto& key : used)
    EXPECT_TRUE(documented.count(key)) << key << " is not in docs/settings.md";
  for (const auto& key : documented)
    EXPECT_TRUE(used.count(key)) << key << " is read nowhere in the code";
}

// Every bound docs/limits.md names, with the constant the code holds it in.
// clang-format off
#define BOUND(c) {#c, static_cast<uint64_t>(c)}
const std::pair<const char*, uint64_t> kBounds[] = {
    BOUND(KIV_MAX_BODY), BOUND(KIV_PIECE_MAX), BOUND(KIV_MAX_FREQUENCY), BOUND(KIV_MAX_RING_SLOTS),
    BOUND(KIV_LINE_QUEUE_MAX), BOUND(KIV_MAX_PATTERN_NESTING), BOUND(KIV_MAX_PATTERN_COPIES),
    BOUND(KIV_MAX_PATTERN_ATOMS), BOUND(KIV_MAX_PATTERN_EMPTY_PAIRS),
    BOUND(KIV_MAX_PATTERN_REPEAT_DEPTH), BOUND(KIV_MAX_PATTERN_EMPTY_LOOPS),
    BOUND(KIV_MAX_PATTERN_EMPTY_WAYS), BOUND(KIV_MAX_PATTERN_ANCHOR_RUN),
    BOUND(KIV_MAX_PATTERN_LOOPED_ANCHORS), BOUND(kAutomatonPositions), BOUND(KIV_MAX_REGEXEC_ATOMS),
    BOUND(kSharedPrefilterStates), BOUND(KIV_REPORT_MAX), BOUND(KIV_SHED_HOLD_MAX_S),
    BOUND(KIV_SHED_HOLD_MIN_S), BOUND(KIV_DOWNLOAD_RETRIES), BOUND(KIV_SIG_KEY_FILE_MAX)};
#undef BOUND
// clang-format on

// The first number of a cell, its thousands separators dropped ("1,048,576 (8 MiB)": 1048576).
std::optional<uint64_t> first_number(const std::string& cell) {
  std::string digits;
  for (size_t i = cell.find_first_of("0123456789"); i < cell.size(); ++i)
    if (isdigit(static_cast<unsigned char>(cell[i])))
      digits += cell[i];
    else if (cell[i] != ',' || i + 1 == cell.size() ||
             !isdigit(static_cast<unsigned char>(cell[i + 1])))
      break;
  return digits.empty() ? std::nullopt : std::optional<uint64_t>(std::stoull(digits));
}

TEST(Docs, TheBoundsTableStatesTheCodesConstants) {
  std::map<std::string, std::string> stated;  // constant -> the value cell
  for (const auto& row : table("docs/limits.md", "Bound")) {
    ASSERT_EQ(row.size(), 4u) << row[0];
    stated[quoted(row[2])] = row[1];
  }
  for (const auto& [name, value] : kBounds) {
    ASSERT_TRUE(stated.count(name)) << name << ": no row in docs/limits.md";
    EXPECT_EQ(first_number(stated[name]), std::optional<uint64_t>(value)) << name << stated[name];
    stated.erase(name);
  }
  for (const auto& [name, value] : stated) ADD_FAILURE() << name << " is checked against nothing";
}

// Each command's synopsis in a text, by command name: a line `head` matches (the command its
// first group) and the continuation lines `more` takes under it; a command twice fails.
std::map<std::string, std::string> synopses(const std::string& file, const std::regex& head,
                                            bool (*more)(const std::string&)) {
  std::map<std::string, std::string> out;
  std::string command;
  for (const auto& whole : lines_of(slurp(source(file)))) {
    const std::string line = whole.substr(0, whole.find('#'));  // a comment dropped
    std::smatch m;
    if (whole.rfind("[status", 0) == 0) break;  // a golden's usage ends at its status
    if (std::regex_match(line, m, head)) {
      command = m[1];
      EXPECT_FALSE(out.count(command)) << command << " twice in " << file;
      out[command] = line;
    } else if (!command.empty() && more(line)) {
      out[command] += line;
    } else {
      command.clear();
    }
  }
  return out;
}

std::set<std::string> options_of(const std::string& synopsis) {
  static const std::regex option(R"(--[a-z-]+)");
  std::set<std::string> out;
  for (std::sregex_iterator m(synopsis.begin(), synopsis.end(), option), end; m != end; ++m)
    out.insert(m->str());
  return out;
}

TEST(Docs, TheRuleToolsSynopsisListsEveryCommandWithItsOptions) {
  // kivrule's usage as its golden holds it, and the synopsis block of docs/rule_authors.md.
  const auto usage =
      synopses("tests/golden/tools/kivrule.txt", std::regex(R"(^  ([a-z]+|--version)( .*)?$)"),
               [](const std::string& l) {
                 return l.rfind("        ", 0) == 0 && l[l.find_first_not_of(' ')] == '[';
               });
  auto documented =
      synopses("docs/rule_authors.md", std::regex(R"(^    kivrule ([a-z]+|--version)( .*)?$)"),
               [](const std::string& l) {
                 return l.rfind("                 ", 0) == 0 &&
                        l.find_first_not_of(' ') != std::string::npos;
               });
  ASSERT_GE(usage.size(), 9u) << "kivrule's usage was not found in its golden";
  for (const auto& [name, synopsis] : usage) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(documented.count(name)) << "not in the synopsis of docs/rule_authors.md";
    std::set<std::string> options = options_of(synopsis);
    if (name == "--version") options.clear();
    std::set<std::string> written = options_of(documented[name]);
    written.erase("--version");
    EXPECT_EQ(written, options) << documented[name] << "\n against the usage: " << synopsis;
  }
  for (const auto& [name, text] : documented)
    EXPECT_TRUE(usage.count(name)) << name << " is no command of kivrule";
}

struct transcript {
  size_t line;                      // of the command, 1-based
  std::string command;              // continuation lines joined
  std::vector<std::string> output;  // "..." stands for lines left out
};

// Every "$ COMMAND" in an indented block of a page and the lines below it, to the next "$ " or
// the end of the block.
std::vector<transcript> transcripts(const std::string& page) {
  std::vector<transcript> out;
  const auto lines = lines_of(slurp(source(page)));
  bool open = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const bool indented = line.rfind("    ", 0) == 0;
    if (!indented && !line.empty()) open = false;
    if (indented && line.rfind("    $ ", 0) == 0) {
      transcript t{i + 1, line.substr(6), {}};
      while (!t.command.empty() && t.command.back() == '\\' && i + 1 < lines.size()) {
        t.command.pop_back();
        const std::string& next = lines[++i];
        t.command += next.substr(next.find_first_not_of(' '));
      }
      out.push_back(t);
      open = true;
    } else if (open) {
      out.back().output.push_back(indented ? line.substr(4) : line);
    }
  }
  for (auto& t : out)
    while (!t.output.empty() && t.output.back().empty()) t.output.pop_back();
  return out;
}

// Whether the shown lines are the real ones: the runs between "..." lines appear in order, each
// as consecutive lines, the first at the start unless "..." comes first.
bool shows(const std::vector<std::string>& shown, const std::vector<std::string>& real) {
  size_t at = 0;
  bool anywhere = false;
  std::vector<std::string> run;
  auto place = [&]() {
    if (run.empty()) return true;
    for (size_t s = at; s + run.size() <= real.size(); ++s) {
      if (std::equal(run.begin(), run.end(), real.begin() + static_cast<long>(s))) {
        at = s + run.size();
        run.clear();
        return true;
      }
      if (!anywhere) return false;
    }
    return false;
  };
  for (const auto& line : shown) {
    if (line == "...") {
      if (!place()) return false;
      anywhere = true;
    } else {
      run.push_back(line);
    }
  }
  return place();
}

// The golden transcripts of the tool tests, by command as tests/cases/tools.txt writes it; their
// markers of the stream and the exit status are left out.
std::map<std::string, std::vector<std::string>> golden_outputs() {
  std::map<std::string, std::vector<std::string>> out;
  for (const auto& e : fs::directory_iterator(source("tests/golden/tools"))) {
    std::vector<std::string>* current = nullptr;
    for (const auto& line : lines_of(slurp(e.path().string()))) {
      if (line.rfind("$ ", 0) == 0) {
        // A command run twice keeps its first transcript: the one on the examples as shipped.
        auto [it, fresh] = out.try_emplace(line.substr(2));
        current = fresh ? &it->second : nullptr;
      } else if (current && line != "[stderr]" && line.rfind("[status ", 0) != 0) {
        current->push_back(line);
      }
    }
  }
  return out;
}

// A page's command as the tool tests spell it: the tool by name, the examples by their words.
std::string as_the_tests_spell_it(std::string command) {
  static const std::pair<std::regex, const char*> words[] = {
      {std::regex(R"(^build/)"), ""},
      {std::regex(R"(\bexamples/rules\.json\b)"), "EXAMPLES"},
      {std::regex(R"(\bexamples/router\.log\b)"), "ROUTERLOG"},
      {std::regex(R"( +)"), " "},
  };
  for (const auto& [from, to] : words) command = std::regex_replace(command, from, to);
  return command;
}

TEST(Docs, EveryTranscriptOfAToolTestsCommandShowsItsGolden) {
  const auto goldens = golden_outputs();
  ASSERT_GT(goldens.size(), 100u);
  size_t held = 0, held_in_readme = 0;
  for (const auto& page : pages())
    for (const auto& t : transcripts(page)) {
      SCOPED_TRACE(page + ":" + std::to_string(t.line) + ": $ " + t.command);
      if (t.command.rfind("cat ", 0) == 0) {
        // A file of the tree, shown as it is.
        const std::string file = t.command.substr(4);
        ASSERT_TRUE(fs::exists(source(file)));
        EXPECT_TRUE(shows(t.output, lines_of(slurp(source(file)))));
        continue;
      }
      const auto golden = goldens.find(as_the_tests_spell_it(t.command));
      if (golden == goldens.end()) {
        // Only the rule tool's runs on the shipped examples are in the README: those must be
        // held. Elsewhere a transcript on files of the reader's own is an illustration.
        EXPECT_NE(page, "README.md") << "a README transcript with no golden behind it";
        continue;
      }
      EXPECT_TRUE(shows(t.output, golden->second)) << "not what tests/golden/tools/ holds";
      ++held;
      if (page == "README.md") ++held_in_readme;
    }
  EXPECT_GE(held_in_readme, 2u) << "the README's check and replay on the examples";
  EXPECT_GE(held, 4u) << "the README's and the rule authors' guide's";
}

TEST(Docs, ShowsTellsLeftOutLinesFromWrongOnes) {
  const std::vector<std::string> real{"a", "b", "c", "d"};
  EXPECT_TRUE(shows({"a", "b"}, real));
  EXPECT_TRUE(shows({"a", "...", "d"}, real));
  EXPECT_TRUE(shows({"...", "c"}, real));
  EXPECT_FALSE(shows({"b"}, real)) << "the first run starts at the start";
  EXPECT_FALSE(shows({"a", "c"}, real)) << "a run is consecutive lines";
  EXPECT_FALSE(shows({"...", "c", "...", "b"}, real)) << "runs in order";
  EXPECT_FALSE(shows({"a", "...", "x"}, real));
}

// GitHub's anchor of a heading: lower case, blanks as '-', other punctuation dropped.
std::string anchor_of(const std::string& heading) {
  std::string out;
  for (unsigned char c : heading)
    if (isalnum(c) || c == '-' || c == '_' || c == ' ')
      out += c == ' ' ? '-' : static_cast<char>(tolower(c));
  return out;
}

std::set<std::string> anchors(const std::string& page) {
  std::set<std::string> out;
  bool fenced = false;
  for (const auto& line : lines_of(slurp(source(page)))) {
    if (line.rfind("```", 0) == 0) fenced = !fenced;
    if (fenced || line.empty() || line[0] != '#') continue;
    out.insert(anchor_of(line.substr(line.find_first_not_of('#') + 1)));
  }
  return out;
}

TEST(Docs, EveryLinkAndEverySourcePathNamedLeadsToWhatIsThere) {
  static const std::regex link(R"(\]\(([^)\s]+)\))");
  static const std::regex path(R"(`([A-Za-z0-9_.-]+/[A-Za-z0-9_./-]*)`)");
  std::set<std::string> top;  // the tree's folders: a path in another is a build's or router's
  for (const auto& e : fs::directory_iterator(source("")))
    if (e.is_directory()) top.insert(e.path().filename().string());
  size_t links = 0;
  for (const auto& page : pages()) {
    const std::string text = slurp(source(page));
    const fs::path dir = fs::path(page).parent_path();
    for (std::sregex_iterator m(text.begin(), text.end(), link), end; m != end; ++m) {
      const std::string target = (*m)[1];
      if (std::regex_search(target, std::regex("^[a-z]+:"))) continue;
      SCOPED_TRACE(page + ": (" + target + ")");
      const std::string file = target.substr(0, target.find('#'));
      const std::string to = file.empty() ? page : (dir / file).lexically_normal().string();
      ASSERT_TRUE(fs::exists(source(to))) << to;
      ++links;
      if (target.find('#') != std::string::npos && !fs::is_directory(source(to))) {
        EXPECT_TRUE(anchors(to).count(target.substr(target.find('#') + 1))) << "no such heading";
      }
    }
    for (std::sregex_iterator m(text.begin(), text.end(), path), end; m != end; ++m) {
      const std::string p = (*m)[1];
      const std::string first = p.substr(0, p.find('/'));
      if (!top.count(first) || first.rfind("build", 0) == 0) continue;
      // A part named without its ending, as `rules/pattern_automaton`, is its .cc or .h.
      EXPECT_TRUE(fs::exists(source(p)) || fs::exists(source(p + ".cc")) ||
                  fs::exists(source(p + ".h")))
          << page << " names " << p;
    }
  }
  EXPECT_GE(links, 20u) << "the README links every page";
}

}  // namespace
