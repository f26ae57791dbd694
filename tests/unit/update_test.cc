// Rule updates: the scrambled container, the download request's fields and URL, and the update
// scheduler's phases, tick by tick.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "rules/rule_set.h"
#include "support/kivtest.h"
#include "update/container.h"
#include "update/curl_download_file.h"
#include "update/download_json.h"
#include "update/process_json.h"

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
  // The debug copy: the plain body alone, never written through a link.
  sb.set("kiv_debug_flag", "1");
  sb.write("dev/console", "");
  EXPECT_EQ(decrypt(sb, packed("[1,2]", 77)), 0);
  EXPECT_EQ(sb.read("tmp/decjsonfile.txt"), "[1,2]");
  symlink(sb.path("elsewhere").c_str(), sb.path("tmp/decjsonfile.txt").c_str());
  EXPECT_EQ(decrypt(sb, packed("[3]", 1)), 0);
  EXPECT_EQ(access(sb.path("elsewhere").c_str(), F_OK), -1);
}

TEST(DownloadRequest, FieldsInWireOrderAndTheUrlAsked) {
  for (const auto& c : cases("form.txt")) {
    SCOPED_TRACE(c.where);
    sandbox sb;
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
  json_schedule_deps deps{
      [&] { return static_cast<int64_t>(mktime(&at)); },
      [&](const char* path) { checks += std::string(path) == "/tmp/kivjson.json"; },
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
