// Rule updates: the scrambled container, the download request's fields and URL, and the update
// scheduler's phases, tick by tick.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "rules/rule_set.h"
#include "support/kivtest.h"
#include "update/container.h"
#include "update/curl_download_file.h"
#include "update/download_json.h"
#include "update/process_json.h"
#include "update/retry_after.h"
#include "update/rule_signature.h"
#include "update/rule_stage.h"

using namespace kivtest;

namespace {

int decrypt(const sandbox& sb, const std::string& content, std::string* body = nullptr) {
  sb.write("tmp/kivjson.json", content);
  std::unique_ptr<char[]> buffer;
  size_t len = 0;
  int rc = read_rule_file("/tmp/kivjson.json", &buffer, &len);
  if (rc == 0) rc = decrypt_container(buffer.get(), len);
  if (rc == 0 && body)
    *body = std::string(buffer.get() + KIV_HEADER_LEN, len - KIV_HEADER_LEN) +
            (buffer[len] == 0 ? "" : "?");
  return rc;
}

}  // namespace

TEST(DecryptFile, KeySchedulesResultsAndRecords) {
  sandbox sb;
  // The key byte at body position i is ((i + Ran) mod 2^32) mod 255, Ran taken unsigned.
  for (uint32_t ran : {0u, 0xffffffffu, 254u, 0x7fffffffu}) {
    const std::string plain(600, '\0'), container = packed(plain, ran);
    ASSERT_EQ(container.size(), 640u);
    EXPECT_EQ(container.substr(16, 15), std::string("TORVKIVENCRYPT\0", 15));
    for (size_t i = 0; i < plain.size(); ++i)
      ASSERT_EQ(static_cast<unsigned char>(container[40 + i]),
                (static_cast<uint32_t>(i) + ran) % 255u)
          << ran << " " << i;
    EXPECT_EQ(container.substr(32, 8),
              std::string("\x58\x02\0\0", 4) + std::string(reinterpret_cast<const char*>(&ran), 4));
    std::string body;
    EXPECT_EQ(decrypt(sb, container, &body), 0);
    EXPECT_EQ(body, plain) << "restored, with a zero byte behind";
  }
  std::string magic_only = packed("");
  EXPECT_EQ(decrypt(sb, magic_only), 0);
  magic_only[30] = 'x';
  EXPECT_EQ(decrypt(sb, magic_only), -6);
  EXPECT_EQ(decrypt(sb, "[{\"model\":\"KV-1000\"}]"), -6);
  std::unique_ptr<char[]> buffer;
  size_t len = 0;
  EXPECT_EQ(read_rule_file(nullptr, &buffer, &len), -1);
  EXPECT_EQ(read_rule_file("/tmp/missing", &buffer, &len), -2);
  EXPECT_EQ(decrypt(sb, std::string(32, 'x') + "\xff\xff\xff\xff\x01\0\0\0"), -6);
  EXPECT_TRUE(in_order(sb.read("tmp/kiv.log"), {")]Len=-1\n", ")]Ran=1\n", ")]needDecrypt=0\n"}));
  // The debug copy is never written through a link (that it holds the plain body alone:
  // ReadJson.DebugFlagKeepsTheFileAndWritesCopiesNeverThroughALink).
  sb.set("kiv_debug_flag", "1");
  sb.write("dev/console", "");
  ASSERT_EQ(symlink(sb.path("elsewhere").c_str(), sb.path("tmp/decjsonfile.txt").c_str()), 0);
  EXPECT_EQ(decrypt(sb, packed("[3]", 1)), 0);
  EXPECT_EQ(access(sb.path("elsewhere").c_str(), F_OK), -1);
}

TEST(DownloadRequest, FieldsInWireOrderAndTheUrlAsked) {
  for (const auto& c : cases("form.txt")) {
    SCOPED_TRACE(c.where);
    sandbox sb;
    sb.clock(60);
    sb.settings(c[0]);
    std::string fields;
    for (const auto& [name, value] : download_form_fields())
      fields += (fields.empty() ? "" : " ; ") + name + "=" + value;
    EXPECT_EQ(fields, c[1]);
  }
  for (const auto& c : cases("urls.txt")) {
    SCOPED_TRACE(c.where);
    sandbox sb;
    sb.settings("kiv_debug_server=" + c[0] + ";apps_sq=" + c[1]);
    EXPECT_EQ(download_target_url(), c[2]);
  }
  sandbox sb;
  EXPECT_EQ(curl_download_file("http://127.0.0.1:1/dljson.php", "/tmp/kivjson.json"), 0);
  EXPECT_EQ(access(sb.path("tmp/kivjson.json").c_str(), F_OK), -1)
      << "only HTTPS, and no file left";
  EXPECT_EQ(in_child([] { process_json(nullptr); }), 1);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")][process_json]No JSON file path!\n"), 1u);
}

TEST(Scheduler, GatesBootUpCheckDailyStartCyclesAndDeferral) {
  sandbox sb;
  json_schedule state;
  int checks = 0, draws = 0;
  struct tm at {};
  at.tm_year = 126;
  at.tm_mday = 1;
  json_schedule_deps deps{[&] { return static_cast<int64_t>(mktime(&at)); },
                          [&](const char* path) {
                            checks += std::string(path) == "/tmp/kivjson.json";
                            return std::optional<int64_t>();
                          },
                          [&](const char*) { sb.write("tmp/kiv.log", "-- read --\n", true); },
                          [&] { return 7 + 60 * draws++; }};
  std::string log;
  for (const auto& c : cases("schedule.txt")) {
    SCOPED_TRACE(c.where);
    sb.settings(c[0]);
    if (!c[1].empty()) {
      at.tm_hour = std::stoi(c[1]);
      at.tm_min = std::stoi(c[1].substr(3));
      at.tm_isdst = -1;
    }
    healing_index.store(std::stoi(c[2]));
    sb.write("tmp/kiv.log", "");
    process_json_tick(state, "/tmp/kivjson.json", deps);
    EXPECT_EQ(std::to_string(checks), c[3]) << "tick " << c[0] << " " << c[1];
    log += "== " + c[0] + " " + c[1] + " " + c[2] + "\n" + normalized_log(sb.read("tmp/kiv.log")) +
           "\n";
  }
  EXPECT_EQ(sb.get("kiv_quick_period"), "0");
  expect_golden("schedule.log", log);
}

TEST(Scheduler, RoutersDrawingInOneSecondDrawApartAndOneRouterAlike) {
  sandbox sb;  // no $KIV_ROOT/dev/urandom: the label MAC's digest alone, reproducible
  auto start = [](const std::string& mac) {  // the daily start, minutes after 02:00
    uint32_t count = 0;
    const uint32_t salt = random_seed_salt(mac, true);
    const int hr = draw_random_number(1767571200, salt, count) % 4;
    return hr * 60 + draw_random_number(1767571200, salt, count) % 60;
  };
  EXPECT_NE(start("02:4B:56:00:00:01"), start("02:4B:56:00:00:02"));
  EXPECT_EQ(start("02:4B:56:00:00:01"), start("02:4B:56:00:00:01"));
  std::set<int> starts;  // the time and count alone gave all of them one start
  for (char c = 'a'; c < 'q'; ++c) starts.insert(start(std::string("02:4B:56:00:00:0") + c));
  EXPECT_GE(starts.size(), 12u);
  // The salt: MD5("") begins d41d8cd9; four kernel bytes, little-endian, when there are four.
  EXPECT_EQ(random_seed_salt("", true), 0xd41d8cd9u);
  sb.write("dev/urandom", std::string("\x01\0\0\x80", 4));
  EXPECT_EQ(random_seed_salt("", true), 0xd41d8cd9u ^ 0x80000001u);
  EXPECT_EQ(random_seed_salt("", false), 0xd41d8cd9u);
  sb.write("dev/urandom", "abc");
  EXPECT_EQ(random_seed_salt("", true), 0xd41d8cd9u);
}

namespace {

std::string le32_bytes(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

}  // namespace

// Both kinds of trailer as a router reads them: the split, and the verdict under the signer's key.
TEST(SignedTrailer, EveryKindSplitAndVerified) {
  std::string private_pem, public_pem;
  rule_key signer, verifier;
  ASSERT_EQ(generate_key_pair(&private_pem, &public_pem), rule_sig::ok);
  ASSERT_EQ(private_key_from_pem(private_pem, &signer), rule_sig::ok);
  ASSERT_EQ(public_key_from_pem(public_pem, &verifier), rule_sig::ok);
  const std::string box = packed("[" + rule("\"keyword\":\"k\"") + "]");
  auto sign = [&](uint32_t stage) {
    std::string out;
    EXPECT_EQ(sign_container(box, 42, signer.get(), &out, stage), rule_sig::ok);
    return out;
  };
  const std::string whole = sign(100), staged = sign(5);
  const size_t at = box.size();  // the trailer's offset 0
  for (const auto& c : cases("trailers.txt")) {
    SCOPED_TRACE(c.where);
    std::istringstream words(c[1]);
    std::string file;
    for (std::string w; words >> w;) {
      if (w == "box" || w == "whole") {
        file = w == "box" ? box : whole;
        continue;
      }
      std::string n;  // every other word has one argument
      words >> n;
      if (w == "then") {
        file += n == "SIG"      ? std::string(KIV_SIG_MAGIC)
                : n == "STAGED" ? std::string(KIV_STAGED_MAGIC)
                                : staged.substr(at + 72);
      } else {
        const uint32_t v = static_cast<uint32_t>(std::stoul(n));
        if (w == "staged") file = sign(v);
        if (w == "cut" || w == "keep") file.resize(w == "cut" ? file.size() - v : at + v);
        if (w == "stage") file.replace(at + 72, 4, le32_bytes(v));
        if (w.starts_with("flip")) file.at((w == "flip" ? at : KIV_HEADER_LEN) + v) ^= 1;
      }
    }
    const signed_parts p = split_signed(file);
    EXPECT_EQ(rule_sig_text(p.trailer), c[2]);
    EXPECT_EQ(std::to_string(p.stage), c[4]);
    EXPECT_EQ(p.container_len, p.trailer == rule_sig::ok ? box.size() : file.size());
    if (p.trailer == rule_sig::ok) {
      EXPECT_EQ(p.serial, 42u ^ (file[at] != whole[at]));
    }
    EXPECT_EQ(rule_sig_text(verify_signed(file, verifier.get())), c[3]);
  }
  EXPECT_EQ(whole.size(), box.size() + KIV_SIG_TRAILER_LEN);
  EXPECT_EQ(staged.size(), box.size() + KIV_STAGED_TRAILER_LEN);
  EXPECT_EQ(sign(60).substr(0, at + 72), staged.substr(0, at + 72))
      << "the same set signature at every stage of 1..99";
  EXPECT_NE(whole.substr(at + 8, 64), staged.substr(at + 8, 64))
      << "a staged set never signs what a set for every router signs";
  for (const std::string& recorded : {whole.substr(at + 8, 64), staged.substr(at + 8, 64)}) {
    EXPECT_TRUE(signs_the_same_set(whole, split_signed(whole), recorded, verifier.get()));
    EXPECT_TRUE(signs_the_same_set(sign(60), split_signed(sign(60)), recorded, verifier.get()));
  }
  std::string other_set;
  ASSERT_EQ(sign_container(packed("[" + rule("\"keyword\":\"j\"") + "]"), 42, signer.get(),
                           &other_set, 5),
            rule_sig::ok);
  EXPECT_FALSE(signs_the_same_set(other_set, split_signed(other_set), staged.substr(at + 8, 64),
                                  verifier.get()));
  EXPECT_EQ(staged.substr(at + 72, 4), le32_bytes(5));
  std::string out;
  for (uint32_t bad : {0u, 101u})
    EXPECT_EQ(sign_container(box, 1, signer.get(), &out, bad), rule_sig::malformed) << bad;
}

// A result as the table writes it: a number, a text, or "-" for none.
static std::string shown(int64_t v) {
  return std::to_string(v);
}
template <class T>
static std::string shown(const std::optional<T>& v) {
  if (!v) return "-";
  if constexpr (std::is_arithmetic_v<T>)
    return std::to_string(*v);
  else
    return std::string(*v);
}

// The shed answer's header, value and hold-back, and the stage's buckets and verdict, a call a
// row named by its first cell (tests/cases/shed_and_stage.txt).
TEST(Stage, ShedAnswersBucketsAndTheVerdict) {
  const std::map<std::string, std::function<std::string(const table_row&)>> calls = {
      {"header", [](const table_row& c) { return shown(header_value(c[1], "Retry-After")); }},
      {"seconds", [](const table_row& c) { return shown(retry_after_seconds(c[1])); }},
      {"shed",
       [](const table_row& c) {
         const auto retry_after = c[2] == "-" ? std::nullopt : std::optional(c[2]);
         return shown(shed_seconds(std::stol(c[1]), retry_after));
       }},
      {"hold",
       [](const table_row& c) { return shown(shed_hold_back(std::stoll(c[1]), std::stoi(c[2]))); }},
      {"ident", [](const table_row& c) { return shown(bucket_of_ident(c[1])); }},
      {"mac", [](const table_row& c) { return shown(bucket_of_label_mac(c[1])); }},
      {"refusal", [](const table_row& c) {
         return shown(stage_refusal(static_cast<uint32_t>(std::stoul(c[1])), std::stoi(c[2])));
       }}};
  for (const auto& c : cases("shed_and_stage.txt")) {
    SCOPED_TRACE(c.where);
    ASSERT_TRUE(calls.count(c[0])) << "no call named " << c[0];
    EXPECT_EQ(calls.at(c[0])(c), c.back()) << c[0] << " " << c[1];
  }
  sandbox sb;
  sb.set("label_mac", "AA:BB:CC:00:11:22");
  EXPECT_EQ(router_bucket(), 52);
}

// The scheduler after shed answers and with kiv_boot_splay, a tick a row
// (tests/cases/hold_back.txt).
TEST(Scheduler, ShedAnswersHoldChecksBackAndTheBootSplayWaits) {
  sandbox sb;
  json_schedule state;
  std::string story;
  double clock = 0;
  int checks = 0;
  std::optional<int64_t> next_answer;
  json_schedule_deps deps{[] { return int64_t{1767614400}; },  // 12:00 UTC: never the daily minute
                          [&](const char*) {
                            ++checks;
                            return std::exchange(next_answer, std::nullopt);
                          },
                          [](const char*) {}, [] { return 30; }};
  deps.clock = [&] { return clock; };
  for (const auto& c : cases("hold_back.txt")) {
    SCOPED_TRACE(c.where);
    if (c[0] != story) {
      state = json_schedule{};
      checks = 0;
      story = c[0];
    }
    clock = std::stod(c[1]);
    sb.settings(c[2]);
    if (!c[3].empty()) next_answer = std::stoll(c[3]);
    sb.write("tmp/kiv.log", "");
    process_json_tick(state, "/tmp/kivjson.json", deps);
    EXPECT_EQ(std::to_string(checks), c[4]);
    EXPECT_EQ(std::to_string(state.check_owed), c[5]);
    if (c.size() > 6) {
      EXPECT_NE(sb.read("tmp/kiv.log").find(c[6]), std::string::npos) << c[6];
    }
    sb.settings("kiv_quick_period=0");
  }
}

// The boot phase holds the daily check too: a splay set far too large (a typo, the largest int)
// with the largest draw still checks within 6 h, not in 68 years.
TEST(Scheduler, AHugeBootSplayWaitsAtMostSixHours) {
  sandbox sb;
  sb.settings("link_internet=2;ntp_ready=1;kiv_json_check_period=959");
  for (const char* splay : {"kiv_boot_splay=2147483647", "kiv_boot_splay=18000000"}) {
    SCOPED_TRACE(splay);
    sb.settings(splay);
    json_schedule state;
    double clock = 0;
    int checks = 0;
    json_schedule_deps deps{[] { return int64_t{1767614400}; },
                            [&](const char*) {
                              ++checks;
                              return std::optional<int64_t>();
                            },
                            [](const char*) {}, [] { return 2147483647; }};
    deps.clock = [&] { return clock; };
    for (; clock <= 2 * 21600 && checks == 0; clock += 30) process_json_tick(state, "/x", deps);
    EXPECT_EQ(checks, 1);
    EXPECT_LE(clock, 21600 + 30);
  }
}
