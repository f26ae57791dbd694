// Signed rule sets on a router with a rule-signing key: what it takes, what it refuses (and says
// why, keeping the set in force and announcing nothing), across a restart, and in its cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/kivtest.h"
#include "update/rule_signature.h"

using namespace kivtest;

namespace {

struct key_pair {
  rule_key priv;
  std::string pub_pem;
};

key_pair new_key() {
  key_pair k;
  std::string priv_pem;
  EXPECT_EQ(generate_key_pair(&priv_pem, &k.pub_pem), rule_sig::ok);
  EXPECT_EQ(private_key_from_pem(priv_pem, &k.priv), rule_sig::ok);
  return k;
}

std::string signed_set(const std::string& keyword, uint64_t serial, const key_pair& k,
                       uint32_t stage = 100) {
  std::string out;
  EXPECT_EQ(sign_container(packed("[" + rule("\"keyword\":\"" + keyword + "\"") + "]"), serial,
                           k.priv.get(), &out, stage),
            rule_sig::ok);
  return out;
}

// One check of the rule server's answer; the log's records of it.
std::string offer(router& r, const std::string& file) {
  r.answer(200, file);
  return r.check();
}

}  // namespace

TEST(SignedSets, TakenOnlySignedAndNeverRolledBack) {
  const key_pair signer = new_key(), other = new_key();
  router r;
  r.write("signer.pub", signer.pub_pem);
  r.settings("kiv_rule_pubkey=/signer.pub;kiv_rule_cache=1");
  ASSERT_TRUE(r.start());
  const std::string five = signed_set("five", 5, signer);

  // Refused, each with its reason; the set in force stays and nothing is announced.
  std::string cut = five.substr(0, five.size() - 9), flipped = five, rolled = five;
  flipped[45] = static_cast<char>(flipped[45] ^ 1);
  const std::pair<std::string, std::string> refused[] = {
      {packed("[" + rule("\"keyword\":\"plain\"") + "]"), "missing signature"},
      {signed_set("other", 5, other), "wrong signature"},
      {cut, "malformed trailer"},
      {flipped, "wrong signature"}};
  for (const auto& [file, why] : refused) {
    const std::string log = offer(r, file);
    EXPECT_NE(log.find(")]Rule file not taken: " + why + "\n"), std::string::npos) << why;
    EXPECT_EQ(log.find(")]New arraylen="), std::string::npos) << why;
    EXPECT_EQ(r.get("kiv_is_JSON_updated"), "0");
  }
  // Taken: installed, cached with its trailer, its serial kept and sent with every request.
  EXPECT_NE(offer(r, five).find(")]New arraylen=1\n"), std::string::npos);
  EXPECT_EQ(r.read("jffs/kiv/kivjson.cache"), five);
  EXPECT_NE(offer(r, five).find(")]Rule file not taken: the installed set, serial 5\n"),
            std::string::npos)
      << "the same bytes again are no update";
  EXPECT_NE(r.requests().find("\"RuleSerial\", \"filename\": null, \"content_type\": null, "
                              "\"value\": \"5\"}]}"),
            std::string::npos)
      << "the seventh field, behind the six";
  EXPECT_NE(offer(r, signed_set("four", 4, signer)).find("serial 4 is below the installed set's 5"),
            std::string::npos);
  EXPECT_NE(offer(r, signed_set("six", 6, signer)).find(")]New arraylen=1\n"), std::string::npos);
  EXPECT_EQ(r.stop(), 0);

  // After a restart the serial still holds; a cache planted in flash is refused and set aside.
  r.write("jffs/kiv/kivjson.cache", five);
  ASSERT_TRUE(r.start());
  EXPECT_EQ(r.count("tmp/kiv.log",
                    ")]Rule cache not taken: serial 5 is below the installed "
                    "set's 6\n"),
            1u);
  EXPECT_EQ(r.read("jffs/kiv/kivjson.cache.bad"), five);
  EXPECT_NE(offer(r, five).find("serial 5 is below the installed set's 6"), std::string::npos);
  EXPECT_EQ(r.dump().find("\"keyword\":\"five\""), std::string::npos);
  EXPECT_EQ(r.stop(), 0);
}

// Without a key the trailer is left out: one signed file serves every router.
TEST(SignedSets, ARouterWithoutAKeyTakesSignedAndUnsignedAlike) {
  const key_pair signer = new_key();
  router r;
  ASSERT_TRUE(r.start());
  EXPECT_NE(offer(r, signed_set("signed", 9, signer)).find(")]New arraylen=1\n"),
            std::string::npos);
  EXPECT_NE(r.dump().find("\"keyword\":\"signed\"}]\n"), std::string::npos)
      << "the document ends where the container does";
  EXPECT_EQ(r.requests().find("RuleSerial"), std::string::npos);
  EXPECT_EQ(r.stop(), 0);
}

// A key file that cannot be used is no fault of the cache: kiv starts without rules and says
// why, the cache stays where it is, and the next start with a usable key loads it.
TEST(SignedSets, AKeyThatCannotBeUsedLeavesTheCacheForTheNextStart) {
  const key_pair signer = new_key();
  router r;
  r.settings("kiv_rule_pubkey=/signer.pub;kiv_rule_cache=1");
  const std::string cached = signed_set("cached", 5, signer);
  mkdir(r.path("jffs/kiv").c_str(), 0700);
  r.write("jffs/kiv/kivjson.cache", cached);
  const std::pair<std::function<void()>, std::string> keys[] = {
      {[] {}, "cannot read the key file [/signer.pub]: No such file or directory"},
      {[&] { ASSERT_EQ(mkfifo(r.path("signer.pub").c_str(), 0644), 0); },
       "cannot read the key file [/signer.pub]: Invalid argument"},
      {[&] { ASSERT_EQ(mkdir(r.path("signer.pub").c_str(), 0755), 0); },
       "cannot read the key file [/signer.pub]: Is a directory"},
      {[&] { r.write("signer.pub", signer.pub_pem + std::string(5000, '\n')); },
       "key file too large [/signer.pub]"},
      {[&] { r.write("signer.pub", "garbage\n"); },
       "not a usable Ed25519 key in PEM [/signer.pub]"}};
  for (const auto& [make, why] : keys) {
    SCOPED_TRACE(why);
    make();
    r.write("tmp/kiv.log", "");
    ASSERT_TRUE(r.start());
    EXPECT_EQ(r.count("tmp/kiv.log", ")]Rule cache not taken: " + why + "\n"), 1u);
    EXPECT_EQ(r.count("tmp/kiv.log",
                      ")]Rule cache [/jffs/kiv/kivjson.cache] kept: the key, not "
                      "the cache, is at fault\n"),
              1u);
    EXPECT_EQ(r.count("kiv.out", "kiv: rule cache not loaded (" + why +
                                     "): no rules until a start with a usable key, the cache "
                                     "kept\n"),
              1u);
    EXPECT_EQ(r.count("tmp/kiv.log", ")]Cached rule set loaded"), 0u) << "no rules";
    EXPECT_EQ(r.stop(), 0);
    EXPECT_EQ(r.read("jffs/kiv/kivjson.cache"), cached);
    EXPECT_EQ(access(r.path("jffs/kiv/kivjson.cache.bad").c_str(), F_OK), -1);
    std::filesystem::remove_all(r.path("signer.pub"));
  }
  r.write("signer.pub", signer.pub_pem);
  ASSERT_TRUE(r.start());
  EXPECT_EQ(r.count("tmp/kiv.log", ")]Cached rule set loaded, arraylen=1\n"), 1u);
  EXPECT_NE(r.dump().find("\"keyword\":\"cached\""), std::string::npos);
  EXPECT_EQ(r.stop(), 0);
}

// A staged set reaches the routers whose bucket lies below its stage, keyed or not; the set a
// router installed stays the installed set at every stage it comes again.
TEST(SignedSets, StagedSetsReachTheirBucketsOnly) {
  const key_pair signer = new_key();
  router r;
  r.write("signer.pub", signer.pub_pem);
  r.settings("kiv_rule_pubkey=/signer.pub;label_mac=AA:BB:CC:00:11:22");  // bucket 52
  ASSERT_TRUE(r.start());
  const std::string refused =
      ")]Rule file not taken: staged for 52% of routers, this router is in "
      "bucket 52\n";
  std::string log = offer(r, signed_set("seven", 7, signer, 52));
  EXPECT_NE(log.find(refused), std::string::npos);
  EXPECT_EQ(log.find(")]New arraylen="), std::string::npos);
  EXPECT_EQ(r.get("kiv_is_JSON_updated"), "0");
  EXPECT_EQ(r.count("tmp/syslog.log",
                    " kiv: Rule file not taken: staged for 52% of routers, this "
                    "router is in bucket 52\n"),
            1u);
  EXPECT_NE(offer(r, signed_set("seven", 7, signer, 53)).find(")]New arraylen=1\n"),
            std::string::npos)
      << "the same serial at a stage that holds this router";
  for (uint32_t stage : {100u, 53u, 10u}) {
    log = offer(r, signed_set("seven", 7, signer, stage));
    EXPECT_NE(log.find(")]Rule file not taken: the installed set, serial 7\n"), std::string::npos)
        << stage;
    EXPECT_EQ(log.find("staged for"), std::string::npos) << stage;
  }
  // The stage is signed: raised on the way, the file is refused for its signature.
  std::string raised = signed_set("eight", 8, signer, 10);
  raised[raised.size() - 76] = 60;
  EXPECT_NE(offer(r, raised).find(")]Rule file not taken: wrong signature\n"), std::string::npos);
  // Cut off on the way, the stage does not leave a set for every router.
  const std::string staged = signed_set("eight", 8, signer, 10);
  const std::string cut =
      staged.substr(0, staged.size() - KIV_STAGED_TRAILER_LEN + 72) + "KIVSIG01";
  EXPECT_NE(offer(r, cut).find(")]Rule file not taken: wrong signature\n"), std::string::npos);
  // Without a key the stage holds all the same.
  r.set("kiv_rule_pubkey", "");
  EXPECT_NE(offer(r, signed_set("nine", 9, signer, 52)).find(refused), std::string::npos);
  EXPECT_NE(offer(r, signed_set("nine", 9, signer, 53)).find(")]New arraylen=1\n"),
            std::string::npos);
  EXPECT_NE(r.dump().find("\"keyword\":\"nine\"}]\n"), std::string::npos);
  EXPECT_EQ(r.count("tmp/syslog.log", "Rule file not taken"), 2u);
  EXPECT_EQ(r.stop(), 0);
}

// The record of the installed set outlives a restart; the set itself does not without the rule
// cache. The same set served again is then taken: the router would otherwise run without rules
// until a higher serial came.
TEST(SignedSets, AfterARestartWithoutACacheTheSameSetIsTakenAgain) {
  const key_pair signer = new_key();
  router r;
  r.write("signer.pub", signer.pub_pem);
  r.settings("kiv_rule_pubkey=/signer.pub");
  ASSERT_TRUE(r.start());
  const std::string seven = signed_set("seven", 7, signer);
  EXPECT_NE(offer(r, seven).find(")]New arraylen=1\n"), std::string::npos);
  EXPECT_NE(offer(r, seven).find(")]Rule file not taken: the installed set, serial 7\n"),
            std::string::npos);
  EXPECT_EQ(r.stop(), 0);
  ASSERT_TRUE(r.start());
  EXPECT_NE(offer(r, seven).find(")]New arraylen=1\n"), std::string::npos);
  EXPECT_NE(offer(r, seven).find(")]Rule file not taken: the installed set, serial 7\n"),
            std::string::npos);
  EXPECT_NE(offer(r, signed_set("six", 6, signer)).find("serial 6 is below the installed set's 7"),
            std::string::npos);
  EXPECT_EQ(r.stop(), 0);
}
