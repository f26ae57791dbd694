// The real daemon against the loopback HTTPS rule server: the boot-up check's request, the
// announcement handshake, failed transfers, the forced download on SIGUSR1 and a stalled server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>

#include "support/rule_file.h"
#include "support/rule_server.h"
#include "support/sandbox.h"

namespace {

struct rig {
  kivtest::sandbox box;
  kivtest::rule_server server{box.root};
  explicit rig(bool right_ca = true) {
    setenv("KIV_CA_BUNDLE", (right_ca ? server.ca() : server.wrong_ca()).c_str(), 1);
    box.set("success_start_service", "1");
    box.set("productid", "KV-1000");
    box.set("odmpid", "ODM7");
    box.set("label_mac", "AA:BB:CC:00:11:22");
    box.set("kiv_debug_server", server.url());
  }
  bool start() { return server.port > 0 && box.start_kiv() > 0 && box.wait_ready(10); }
  void online() {
    box.set("link_internet", "2");
    box.set("ntp_ready", "1");
  }
};

const std::string kLog = "tmp/kiv.log";

TEST(RuleUpdateDaemon, BootupCheckPostsSixFieldsAndAnnouncesARuleFile) {
  rig r;
  r.server.answer(200, kivtest::pack_rules("[]"));
  r.online();
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.box.wait_for(kLog, "Update kiv JSON file.", 30));
  std::string req = r.server.requests();
  size_t at = 0;
  for (const char* field : {"\"Model\", \"filename\": null, \"content_type\": null, "
                            "\"value\": \"KV-1000#ODM7\"",
                            "\"TCode\"",
                            "\"FWVER\", \"filename\": null, \"content_type\": null, "
                            "\"value\": \"._\"",
                            "\"IDENT\"", "\"value\": \"Ver0001\"", "\"kiv_user_approval\""}) {
    size_t next = req.find(field, at);
    ASSERT_NE(next, std::string::npos) << field << " in " << req;
    at = next;
  }
  EXPECT_NE(req.find("\"path\": \"/dljson.php\""), std::string::npos);
  EXPECT_NE(req.find("\"method\": \"POST\""), std::string::npos);
  EXPECT_EQ(r.box.count(kLog, "retry=["), 0u);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 15), 0);
}

TEST(RuleUpdateDaemon, FailedTransfersNeverAnnounceAnUpdate) {
  for (int mode = 0; mode < 3; ++mode) {
    rig r(mode != 2);  // 0: status 500, 1: 40-byte answer, 2: certificate from another CA
    r.server.answer(mode == 0 ? 500 : 200, std::string(mode == 1 ? 40 : 300, 'x'));
    r.online();
    r.box.set("kiv_debug_flag", "1");  // a short answer would be kept; a failed one never is
    ASSERT_TRUE(r.start());
    ASSERT_TRUE(r.box.wait_for(kLog, "No update for kiv JSON file.", 60)) << mode;
    EXPECT_EQ(r.box.count(kLog, "Update kiv JSON file."), 0u) << mode;
    EXPECT_EQ(r.box.get("kiv_is_JSON_updated"), "0");
    if (mode == 1) {
      EXPECT_EQ(r.box.count(kLog, "retry=["), 0u);
      EXPECT_EQ(r.box.read("tmp/kivjson.json").size(), 40u);
    } else {
      EXPECT_EQ(r.box.count(kLog, "retry=["), 5u) << mode;
      EXPECT_NE(r.box.read(kLog).find("retry=[0]"), std::string::npos);
      EXPECT_EQ(r.box.read("tmp/kivjson.json"), "");
    }
    EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 15), 0);
  }
}

TEST(RuleUpdateDaemon, ServerDownGivesFiveRetriesAndNoFile) {
  rig r;
  r.server.stop();
  r.box.set("link_internet", "2");
  r.box.set("ntp_ready", "1");
  ASSERT_TRUE(r.box.start_kiv() > 0 && r.box.wait_ready(10));
  ASSERT_TRUE(r.box.wait_for(kLog, "No update for kiv JSON file.", 60));
  EXPECT_EQ(r.box.count(kLog, "retry=["), 5u);
  EXPECT_NE(r.box.read(kLog).find("flen=[-1]"), std::string::npos);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 15), 0);
}

TEST(RuleUpdateDaemon, ForcedDownloadOnSigusr1) {
  rig r;  // offline: the scheduler never checks by itself
  r.server.answer(200, kivtest::pack_rules("[]"));
  ASSERT_TRUE(r.start());
  r.box.set("kiv_service", "force_download_json");
  kill(r.box.pid, SIGUSR1);
  ASSERT_TRUE(r.box.wait_for(kLog, "[handle_kiv_event]End of handle_kiv_event() thread.", 30));
  EXPECT_NE(r.box.read(kLog).find("this is force_download_json"), std::string::npos);
  EXPECT_NE(r.box.read(kLog).find("Update kiv JSON file."), std::string::npos);
  EXPECT_EQ(r.box.get("kiv_is_JSON_updated"), "1");  // no reader after a forced download
  EXPECT_EQ(r.box.get("kiv_service"), "");
  EXPECT_NE(r.server.requests().find("\"Model\""), std::string::npos);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 15), 0);
}

TEST(RuleUpdateDaemon, StalledServerDoesNotHoldOffSigterm) {
  rig r;
  r.server.answer(200, "", 0, true);
  r.online();
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(r.box.wait_for(kLog, "target_url=[", 30));
  for (int i = 0; i < 100 && r.server.requests().empty(); ++i) usleep(50000);
  EXPECT_EQ(r.box.signal_and_wait(SIGTERM, 15), 0);
  EXPECT_EQ(r.box.count(kLog, "Update kiv JSON file."), 0u);
}

}  // namespace
