// kiv's rule server on nginx (fleet/nginx), started by its own start script on loopback with the
// tests' throw-away CA: asked as routers ask, here through libcurl and by the real kiv; what it
// answers, what it sheds, and the request log kivrule fleet reads.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/kivtest.h"

using namespace kivtest;

namespace {

std::string certs() {
  return std::string(KIV_BIN_DIR) + "/test-certs";
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// A port nothing listens on now (the kernel's choice for a socket bound to port 0).
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = loopback(port);
  const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return up;
}

// One instance of the deployment in dir, stopped (SIGTERM, bounded) when the test ends.
struct nginx_server {
  std::string dir;
  int port = 0;
  pid_t pid = -1;

  nginx_server(const std::string& d, const std::vector<std::string>& options = {}) : dir(d) {
    // Started as root, the workers run as www-data: they must reach the published set.
    chmod(std::filesystem::path(dir).parent_path().c_str(), 0711);
    EXPECT_EQ(
        run({"python3", source("tests/support/rule_server.py"), "--certs", certs(), "--certs-only"})
            .status,
        0);
    for (int attempt = 0; attempt < 3 && pid < 0; ++attempt) start(options);
  }
  ~nginx_server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      reap(pid, 20);
    }
  }
  void start(const std::vector<std::string>& options) {
    port = free_port();
    std::vector<std::string> argv = {
        "bash",     source("fleet/nginx/start.sh"),      "--dir",     dir,
        "--listen", "127.0.0.1:" + std::to_string(port), "--workers", "2"};
    if (std::find(options.begin(), options.end(), "--self-signed") == options.end())
      argv.insert(argv.end(),
                  {"--cert", certs() + "/server.pem", "--key", certs() + "/server.key"});
    argv.insert(argv.end(), options.begin(), options.end());
    const pid_t child = spawn(argv, dir + ".out");
    for (const double deadline = now_s() + 20; now_s() < deadline; pause_s(0.05)) {
      if (waitpid(child, nullptr, WNOHANG) != 0) return;  // lost the port to another: again
      // Its own master (start.sh execs nginx) has bound the port once it wrote its PID file:
      // a port another server took meanwhile never passes for this one.
      if (slurp(dir + "/nginx.pid") == std::to_string(child) + "\n" && listening(port)) {
        pid = child;
        return;
      }
    }
    kill(child, SIGKILL);
    reap(child, 5);
  }
  std::string url(const std::string& script = "dljson.php") const {
    return "https://127.0.0.1:" + std::to_string(port) + "/" + script;
  }
  void publish(const std::string& bytes) const {
    put(dir + ".set", bytes);
    EXPECT_EQ(run({"bash", source("fleet/nginx/publish.sh"), dir, dir + ".set"}).status, 0);
  }
  // The request log once it holds n lines (nginx writes it at most a second late).
  std::vector<std::string> log(size_t n) const {
    std::vector<std::string> lines;
    for (const double deadline = now_s() + 20; now_s() < deadline; pause_s(0.05)) {
      lines.clear();
      std::istringstream in(slurp(dir + "/logs/requests.jsonl"));
      for (std::string l; std::getline(in, l);) lines.push_back(l);
      if (lines.size() >= n) break;
    }
    return lines;
  }
};

struct answer {
  long status = 0;  // 0: no answer (error says why)
  std::string body, headers, error;
};

size_t into_string(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

// One request on a new connection, as kiv makes it: a multipart POST of the fields (or a GET),
// from a loopback address of its own when `from` names one, trusting the tests' CA or `ca`.
answer ask(const std::string& url, const std::vector<std::pair<std::string, std::string>>& fields,
           bool post = true, const std::string& from = "",
           const std::string& ca = certs() + "/ca.pem") {
  answer a;
  CURL* h = curl_easy_init();
  curl_mime* mime = curl_mime_init(h);
  for (const auto& [name, value] : fields) {
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, name.c_str());
    curl_mime_data(part, value.data(), value.size());
  }
  if (post) curl_easy_setopt(h, CURLOPT_MIMEPOST, mime);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
  if (!from.empty()) curl_easy_setopt(h, CURLOPT_INTERFACE, from.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, into_string);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &a.body);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, into_string);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &a.headers);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 20L);
  const CURLcode rc = curl_easy_perform(h);
  if (rc == CURLE_OK)
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &a.status);
  else
    a.error = curl_easy_strerror(rc);
  curl_mime_free(mime);
  curl_easy_cleanup(h);
  return a;
}

const std::vector<std::pair<std::string, std::string>> kRouter = {
    {"Model", "KV-1000#"},      {"TCode", "EU"},
    {"FWVER", "3.0.0.4.388_1"}, {"IDENT", std::string(32, 'a')},
    {"AlgoVersion", "Ver0001"}, {"kiv_user_approval", "0"}};

std::vector<std::pair<std::string, std::string>> with(
    std::vector<std::pair<std::string, std::string>> fields, const std::string& name,
    const std::string& value) {
  fields.emplace_back(name, value);
  return fields;
}

// A log line as json-c reads it; null when it is no JSON object.
std::unique_ptr<json_object, int (*)(json_object*)> record(const std::string& line) {
  json_object* doc = json_tokener_parse(line.c_str());
  if (doc && !json_object_is_type(doc, json_type_object)) {
    json_object_put(doc);
    doc = nullptr;
  }
  return {doc, json_object_put};
}

std::string member(const std::string& line, const char* name) {
  auto doc = record(line);
  json_object* v = nullptr;
  if (!doc || !json_object_object_get_ex(doc.get(), name, &v)) return "(none)";
  return json_object_get_string(v);
}

// The log's lines, each ended, when there are n (nothing otherwise, and a failure).
std::string joined(const std::vector<std::string>& lines, size_t n) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  EXPECT_EQ(lines.size(), n) << all;
  return lines.size() == n ? all : "";
}

// A container signed by kivrule with a key made once in the sandbox, at a serial and a stage
// (100: today's trailer). Packed with a fixed Ran, so the same rules re-signed at another stage
// are the same set.
std::string signed_set(const sandbox& sb, uint64_t serial, const std::string& json,
                       int stage = 100) {
  sb.write("set.json", json);
  if (!std::filesystem::exists(sb.path("key.key"))) {
    EXPECT_EQ(run({bin("kivrule"), "keygen", sb.path("key")}).status, 0);
  }
  EXPECT_EQ(
      run({bin("kivrule"), "pack", sb.path("set.json"), sb.path("set.kiv"), "--ran", "1"}).status,
      0);
  EXPECT_EQ(
      run({bin("kivrule"), "sign", "--key", sb.path("key.key"), "--serial", std::to_string(serial),
           "--stage", std::to_string(stage), sb.path("set.kiv"), sb.path("set.signed")})
          .status,
      0);
  return sb.read("set.signed");
}

// text as a JSON string holds it, for text with quotes only.
std::string replaced_quotes(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '"' ? std::string("\\\"") : std::string(1, c);
  return out;
}

}  // namespace

// The published set for a router that does not hold it, "no update" for one whose RuleSerial is
// its serial (and while nothing is published); each request one JSON line with the fields by
// name, the status, and the stage and serial published. Started as root, the workers run as
// www-data, and a set they cannot read is a 500 (a failed check), not "no update" for all.
TEST(RuleServer, AnswersTheSetOrNoUpdateAndLogsEveryRequest) {
  sandbox sb;
  nginx_server srv(sb.path("srv"));
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  const answer none = ask(srv.url(), kRouter);
  EXPECT_EQ(none.status, 200) << none.error << slurp(srv.dir + "/logs/error.log");
  EXPECT_EQ(none.body, "no update\n") << "nothing published yet";

  const std::string set = signed_set(
      sb, 7, "[" + rule("\"re_pattern\":\"x\",\"frequency\":1,\"action\":\"nop\"") + "]");
  srv.publish(set);
  EXPECT_EQ(ask(srv.url(), kRouter).body, set) << "a router without a rule-signing key";
  EXPECT_EQ(ask(srv.url(), with(kRouter, "RuleSerial", "6")).body, set);
  EXPECT_EQ(ask(srv.url(), with(kRouter, "RuleSerial", "7")).body, "no update\n");
  EXPECT_EQ(ask(srv.url("SQ_dljson.php"), with(kRouter, "RuleSerial", "7")).body, "no update\n");
  EXPECT_EQ(ask(srv.url(), with(kRouter, "RuleSerial", "07")).body, set) << "not the serial's text";
  const std::string report = R"({"v":1,"serial":7,"bucket":2,"seconds":86400,"rules":{}})";
  EXPECT_EQ(ask(srv.url(), with(with(kRouter, "RuleSerial", "7"), "KivReport", report)).status,
            200);

  const std::vector<std::string> lines = srv.log(7);
  ASSERT_EQ(lines.size(), 7u);
  for (const std::string& l : lines) {
    EXPECT_TRUE(record(l)) << l;
    EXPECT_NE(member(l, "time"), "(none)") << l;
  }
  // Two workers write the log, each its own buffer: the lines are not in the order of the
  // requests, so the test finds each by what it holds.
  const std::string all = joined(lines, 7);
  EXPECT_EQ(
      occurrences(
          all,
          R"("status":200,"Model":"KV-1000#","TCode":"EU","FWVER":"3.0.0.4.388_1","IDENT":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","AlgoVersion":"Ver0001","kiv_user_approval":"0"})"),
      1u)
      << "before anything was published: no stage, no serial\n"
      << all;
  EXPECT_EQ(occurrences(all, R"("kiv_user_approval":"0","stage":100,"published":7})"), 1u) << all;
  EXPECT_EQ(occurrences(all, R"("RuleSerial":"7","stage":100,"published":7})"), 2u) << all;
  EXPECT_EQ(occurrences(all, R"("KivReport":")" + replaced_quotes(report) + R"(","stage":100)"), 1u)
      << all;
  if (geteuid() != 0) return;  // only a server started as root changes its workers' user
  EXPECT_EQ(run({"ps", "-o", "ruser=,euser=", "--ppid", std::to_string(srv.pid)}).out,
            "www-data www-data\nwww-data www-data\n");
  chmod((srv.dir + "/publish/current.kiv").c_str(), 0600);
  EXPECT_EQ(ask(srv.url(), kRouter).status, 500) << "a set the workers cannot read";
}

// Whatever a client sends, the log gets one JSON object a line, the known fields as strings:
// quotes, line ends, control and invalid UTF-8 bytes, a duplicate field (the first counts), an
// unknown one (left out), a part without a name, many parts, a body too large, no form at all.
TEST(RuleServer, HostileFormsStillGiveOneJsonLineEach) {
  sandbox sb;
  nginx_server srv(sb.path("srv"));
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  std::vector<std::pair<std::string, std::string>> odd = {
      {"Model", "a\"b\\c\nd\r\x01\x7f\xff\xfe"}, {"Model", "second"}, {"Secret", "never logged"},
      {"IDENT", std::string("x\0y", 3)},         {"", "no name"},     {"KivReport", "{\"v\":"}};
  for (int i = 0; i < 40; ++i) odd.emplace_back("TCode", std::to_string(i));
  EXPECT_EQ(ask(srv.url(), odd).status, 200);
  EXPECT_EQ(ask(srv.url(), {{"Model", std::string(20000, 'M')}}).status, 413);
  const std::vector<std::string> lines = srv.log(2);
  ASSERT_EQ(lines.size(), 2u);
  const std::string& form =
      lines[0].find("\"status\":413") == std::string::npos ? lines[0] : lines[1];
  ASSERT_TRUE(record(form)) << form;
  EXPECT_EQ(member(form, "Model"), "a\"b\\c\nd\r\x01\x7f\xef\xbf\xbd\xef\xbf\xbd") << form;
  EXPECT_EQ(member(form, "TCode"), "0") << form;
  EXPECT_EQ(member(form, "KivReport"), "{\"v\":") << form;
  EXPECT_EQ(member(form, "Secret"), "(none)") << form;
  EXPECT_EQ(form.find("never logged"), std::string::npos) << form;
  EXPECT_EQ(occurrences(slurp(sb.path("srv/logs/requests.jsonl")), "\"status\":413}"), 1u);
}

// Above its rate the server sheds before it reads a request: 503 with Retry-After, a short
// body, the request still logged, as one no router can be named for. What is no router's check
// (another method, another path) is answered before the budget and spends none; a connection
// carries one request.
TEST(RuleServer, ShedsAboveItsRateWithRetryAfter) {
  sandbox sb;
  nginx_server srv(sb.path("srv"), {"--rate", "1r/m", "--burst", "1", "--retry-after", "61"});
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  srv.publish(signed_set(sb, 3, "[]"));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ask(srv.url(), {}, false).status, 405);
    EXPECT_EQ(ask(srv.url("other.php"), kRouter).status, 404);
  }
  const answer first = ask(srv.url(), kRouter);
  EXPECT_EQ(first.status, 200);
  EXPECT_NE(first.headers.find("\r\nConnection: close\r\n"), std::string::npos) << first.headers;
  EXPECT_EQ(ask(srv.url(), kRouter).status, 200) << "the burst";
  const answer shed = ask(srv.url(), kRouter);
  EXPECT_EQ(shed.status, 503);
  EXPECT_NE(shed.headers.find("\r\nRetry-After: 61\r\n"), std::string::npos) << shed.headers;
  EXPECT_LT(shed.body.size(), 41u);
  const std::string all = joined(srv.log(11), 11);
  EXPECT_EQ(occurrences(all, "\"status\":503,\"attributed\":false}\n"), 1u) << all;
}

// One client asking as fast as it can is held to its address's budget: routers at ten other
// addresses are all answered, though the instance's budget is a quarter of what it sends.
TEST(RuleServer, OneClientHammeringShedsNoRouterElsewhere) {
  sandbox sb;
  nginx_server srv(sb.path("srv"), {"--rate", "5r/s", "--burst", "20", "--client-rate", "1r/s",
                                    "--client-burst", "5"});
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  const double from = now_s();
  int sent = 0, shed = 0;
  for (; sent < 60 && now_s() < from + 20; ++sent)
    shed += ask(srv.url(), kRouter, true, "127.0.0.2").status == 503;
  EXPECT_GE(shed, sent - 6 - static_cast<int>(now_s() - from)) << "its own budget: 5 + 1 a second";
  int answered = 0;
  for (int router = 3; router <= 12; ++router)
    answered += ask(srv.url(), kRouter, true, "127.0.0." + std::to_string(router)).status == 200;
  EXPECT_EQ(answered, 10) << "routers at ten other addresses";
}

// What start.sh refuses: a Retry-After under a minute (a shedding server asked on nearly every
// tick) or over the router's 6 h, root workers or workers that cannot read the published set,
// budgets of nothing, names openssl would misread.
TEST(RuleServer, StartRefusesWhatWouldHurtTheFleet) {
  sandbox sb;
  const auto check = [&sb](const std::vector<std::string>& tail) {
    std::vector<std::string> argv = {"bash", source("fleet/nginx/start.sh"), "--dir",
                                     sb.path("srv"), "--check"};
    if (tail.empty() || tail[0] != "--self-signed")
      argv.insert(argv.end(),
                  {"--cert", certs() + "/server.pem", "--key", certs() + "/server.key"});
    argv.insert(argv.end(), tail.begin(), tail.end());
    return run(argv);
  };
  // Started as root on a directory its workers cannot reach: refused, not "no update" for ever.
  chmod(sb.path("").c_str(), 0700);
  if (geteuid() == 0) {
    EXPECT_EQ(check({}).status, 2);
  }
  chmod(sb.path("").c_str(), 0711);
  for (const table_row& row : cases("rule_server_start.txt")) {
    SCOPED_TRACE(row.where);
    const run_result r = check({row.begin() + 1, row.end()});
    EXPECT_EQ(std::to_string(r.status), row[0]) << r.err;
  }
}

// --self-signed makes a CA and a certificate for the name; a client trusting the CA it prints
// verifies the server (one trusting another CA does not), and a restart keeps that CA. A
// hundred routers behind one carrier-NAT address asking at once all pass its default budgets.
TEST(RuleServer, SelfSignedMakesACaThatRoutersTrust) {
  sandbox sb;
  nginx_server srv(sb.path("srv"), {"--self-signed", "localhost"});
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  const std::string ca = srv.dir + "/tls/ca.pem", out = slurp(sb.path("srv.out"));
  EXPECT_NE(out.find(" the CA " + ca + " "), std::string::npos) << out;
  const std::string url = "https://localhost:" + std::to_string(srv.port) + "/dljson.php";
  const answer trusted = ask(url, kRouter, true, "", ca);
  EXPECT_EQ(trusted.status, 200) << trusted.error;
  EXPECT_EQ(ask(url, kRouter).status, 0) << "the tests' CA does not vouch for it";
  int passed = 0;
  for (int router = 0; router < 100; ++router)
    passed += ask(url, kRouter, true, "127.0.0.9", ca).status == 200;
  EXPECT_EQ(passed, 100);
  const std::string pem = slurp(ca);
  const std::vector<std::string> again = {
      "bash",   source("fleet/nginx/start.sh"), "--dir", srv.dir, "--self-signed", "localhost",
      "--check"};
  EXPECT_EQ(run(again).status, 0);
  EXPECT_EQ(slurp(ca), pem) << "the routers' trust outlives a restart";
  put(ca, slurp(certs() + "/ca.pem"));  // another CA planted: a set of its own is made
  EXPECT_EQ(run(again).status, 0);
  EXPECT_NE(slurp(ca), slurp(certs() + "/ca.pem"));
  EXPECT_EQ(run({"openssl", "verify", "-CAfile", ca, srv.dir + "/tls/server.pem"}).status, 0);
}

// Two publishes at the same moment leave one of their two sets whole in place (each run says
// it succeeded), and no temporary file behind. A file no router would take (no kiv container,
// over the 4 MiB a router downloads) is refused and the set in place stays.
TEST(RuleServer, TwoPublishesAtOnceLeaveOneWholeSet) {
  sandbox sb;
  const std::string head = std::string(16, 'h') + "TORVKIVENCRYPT" + std::string(1, '\0');
  const std::string a = head + std::string(3000000, 'a'), b = head + std::string(1000000, 'b');
  const auto publish = [&sb](const std::string& file) {
    return spawn({"bash", source("fleet/nginx/publish.sh"), sb.path("srv"), sb.path(file)},
                 sb.path("publish.out"));
  };
  sb.write("a", a);
  sb.write("b", b);
  for (int round = 0; round < 20; ++round) {
    const pid_t one = publish("a"), two = publish("b");
    EXPECT_EQ(reap(one, 20), 0) << slurp(sb.path("publish.out"));
    EXPECT_EQ(reap(two, 20), 0) << slurp(sb.path("publish.out"));
    const std::string now = sb.read("srv/publish/current.kiv");
    EXPECT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
  }
  const std::string before = sb.read("srv/publish/current.kiv");
  sb.write("json", "[" + std::string(100, ' ') + "]");
  sb.write("huge", head + std::string(4u << 20, 'x'));
  EXPECT_EQ(reap(publish("json"), 20), 2);
  EXPECT_EQ(reap(publish("huge"), 20), 2);
  EXPECT_EQ(sb.read("srv/publish/current.kiv"), before);
  const auto entries = std::filesystem::directory_iterator(sb.path("srv/publish"));
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);
}

namespace {

// One rule: "WAN down" heals with nop.
std::string wan_rules() {
  return "[" + rule(R"("keyword":"wan","re_pattern":"WAN down","frequency":1,"action":"nop")") +
         "]";
}

// A KV-1000 with the rule-signing key signed_set made that asks the nginx server (and trusts the
// tests' CA) and sends the fleet report; no check by itself (link_internet 1) until check() lets
// one happen.
void point_router_at(sandbox& sb, const nginx_server& srv) {
  setenv("KIV_CA_BUNDLE", (certs() + "/ca.pem").c_str(), 1);
  sb.settings(
      "success_start_service=1;productid=KV-1000;ntp_ready=1;link_internet=1;"
      "kiv_rule_pubkey=/key.pub;label_mac=02:4B:56:00:00:01;kiv_fleet_report=1;kiv_debug_server=" +
      srv.url().substr(0, srv.url().rfind('/')));
  sb.write("tmp/syslog.log", "");
  sb.clock(100);
}

}  // namespace

// A staged set: refused by a router outside the stage (bucket 80 at 80%), taken once the same
// set is published again at 81%, then "no update" for the serial held; the log gives each
// request the stage published with it, from the staged trailer, and the router's fleet reports,
// which kivrule fleet reads: the rule's fires under serial 4 against the router's day without a
// set (serial 0).
TEST(RuleServer, KivRefusesAStagedSetTakesItWidenedAndReports) {
  sandbox sb;
  nginx_server srv(sb.path("srv"));
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  srv.publish(signed_set(sb, 4, wan_rules(), 80));
  point_router_at(sb, srv);  // label_mac 02:4B:56:00:00:01: bucket 80
  ASSERT_TRUE(sb.start());
  ASSERT_TRUE(sb.following());
  const std::string refused = sb.check();
  EXPECT_NE(refused.find(")]Rule file not taken: staged for 80% of routers, this router is in "
                         "bucket 80\n"),
            std::string::npos)
      << refused;
  EXPECT_EQ(refused.find(")]New arraylen="), std::string::npos) << refused;
  srv.publish(signed_set(sb, 4, wan_rules(), 81));
  sb.clock(86500);  // a day without a set
  const std::string taken = sb.check();
  EXPECT_NE(taken.find(")]New arraylen=1\n"), std::string::npos) << taken;
  for (int fire = 1; fire <= 3; ++fire) {
    sb.syslog("WAN down\n");
    ASSERT_TRUE(sb.wait_for("tmp/kiv.log", ")]===============self_healing end===============\n",
                            static_cast<size_t>(fire)));
  }
  sb.clock(172900);  // a day with serial 4
  const std::string again = sb.check();
  EXPECT_NE(again.find(")]No update for kiv JSON file.\n"), std::string::npos) << again;
  EXPECT_EQ(sb.stop(), 0);

  const std::string all = joined(srv.log(3), 3);
  EXPECT_EQ(occurrences(all, R"("RuleSerial":"0","KivReport":"{\"v\":1,\"serial\":0,)"), 2u) << all;
  EXPECT_EQ(occurrences(all, R"("RuleSerial":"4","KivReport":"{\"v\":1,\"serial\":4,)"), 1u) << all;
  EXPECT_EQ(occurrences(all, R"(,"stage":80,"published":4})"), 1u) << all;
  EXPECT_EQ(occurrences(all, R"(,"stage":81,"published":4})"), 2u) << all;
  EXPECT_EQ(occurrences(all, R"(\"wan\":{\"matches\":3,\"fires\":3,\"heals\":3,)"), 1u) << all;

  // kivrule fleet: the router took serial 4 once it was widened to its bucket, and its report
  // tells that it refused the set while it was staged outside its bucket; its report of a
  // day on serial 4 came a few seconds after publication by the log's clock (the router's clock
  // runs scaled), and a report covers no more than the time since publication: left out.
  const run_result one = run({bin("kivrule"), "fleet", srv.dir + "/logs/requests.jsonl"});
  EXPECT_EQ(one.status, 0) << one.out << one.err;
  EXPECT_NE(one.out.find("\npublished serial 4 at 81%, first at "), std::string::npos) << one.out;
  EXPECT_NE(one.out.find("\nrouters in the stage's buckets since: 1; took serial 4: 1; refused "
                         "for stage: 1 (1 routers)\n"),
            std::string::npos)
      << one.out;
  EXPECT_NE(one.out.find("\nthe stage: 0 routers, 0.0 router-days on serial 4"), std::string::npos)
      << one.out;
  EXPECT_NE(one.out.find("\nverdict: go on: 0 of the 20 routers needed to judge report serial 4\n"),
            std::string::npos)
      << one.out;
}

// A keyed router without the cache refuses a staged set, fires and is killed: it then asks with
// RuleSerial 0 (no set in force, whatever the flash record says), is sent its set and heals from
// it within that one check, whose report carries the refusal, the fire and the start.
TEST(RuleServer, AKeyedRouterWithoutACacheGetsItsSetBackAfterAKill) {
  sandbox sb;
  nginx_server srv(sb.path("srv"));
  ASSERT_GT(srv.pid, 0) << slurp(sb.path("srv.out"));
  const std::string first = signed_set(sb, 1, wan_rules()), heal_end = "self_healing end====";
  srv.publish(first);
  point_router_at(sb, srv);  // bucket 80
  ASSERT_TRUE(sb.start() && sb.following());
  EXPECT_NE(sb.check().find(")]New arraylen=1\n"), std::string::npos);
  srv.publish(signed_set(sb, 2, wan_rules(), 50));
  EXPECT_NE(sb.check().find(")]Rule file not taken: staged for 50% of routers"), std::string::npos);
  sb.syslog("WAN down\n");
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", heal_end));
  EXPECT_EQ(sb.stop(SIGKILL), 128 + SIGKILL);
  srv.publish(first);
  ASSERT_TRUE(sb.start() && sb.following());
  EXPECT_NE(sb.check().find(")]New arraylen=1\n"), std::string::npos);
  sb.syslog("WAN down\n");
  ASSERT_TRUE(sb.wait_for("tmp/kiv.log", heal_end, 2));
  EXPECT_EQ(sb.stop(), 0);
  const std::string all = joined(srv.log(3), 3);
  EXPECT_EQ(occurrences(all, R"("RuleSerial":"0","KivReport":"{\"v\":1,\"serial\":0,)"), 2u) << all;
  EXPECT_EQ(occurrences(all, R"(\"starts\":1,\"refused\":{\"stage\":1},\"rules\":{\"wan\":{)"
                             R"(\"matches\":1,\"fires\":1,\"heals\":1,)"),
            1u)
      << all;
}
