// How the host settings store notices changes: every write of another process at the next read,
// and a store file changed by other means (no change counted) within about a second.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

// Runs nvram_set in a child process, as the nvram tool or another program would.
void set_in_child(const char* key, const char* value) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    nvram_set(key, value);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
}

// Polls the key for at most `seconds` until it reads `value`.
bool reads_within(const char* key, const char* value, double seconds) {
  double deadline = kivtest::now_s() + seconds;
  while (kivtest::now_s() < deadline) {
    if (nvram_match(key, value)) return true;
    usleep(20000);
  }
  return nvram_match(key, value);
}

// The store file written whole by a program that does not count its change.
void write_store_directly(const kivtest::sandbox& sb, const std::string& content) {
  sb.write("var/nvram.txt.new", content);
  ASSERT_EQ(rename(sb.path("var/nvram.txt.new").c_str(), sb.path("var/nvram.txt").c_str()), 0);
}

}  // namespace

TEST(SettingsChange, EveryWriteOfAnotherProcessIsSeenAtTheNextRead) {
  kivtest::sandbox sb;
  nvram_set("kiv_debug_flag", "0");
  // Values of one length written within the same instant: only a counted change tells them apart.
  for (int i = 0; i < 30; ++i) {
    const char* value = i % 2 ? "0" : "1";
    set_in_child("kiv_debug_flag", value);
    ASSERT_TRUE(nvram_match("kiv_debug_flag", value)) << "write " << i;
    ASSERT_FALSE(nvram_match("kiv_debug_flag", i % 2 ? "1" : "0")) << "write " << i;
  }
}

TEST(SettingsChange, StoreFileChangedByOtherMeansIsSeenWithinASecond) {
  kivtest::sandbox sb;
  nvram_set("productid", "KV-1000");
  EXPECT_EQ(nvram_safe_get("productid"), "KV-1000");
  write_store_directly(sb, "productid=KV-2000\n");
  EXPECT_TRUE(reads_within("productid", "KV-2000", 3.0));
  // Counted writes go on being seen at once afterwards.
  set_in_child("productid", "KV-3000");
  EXPECT_TRUE(nvram_match("productid", "KV-3000"));
}

TEST(SettingsChange, StoreWithAnEmptyLockFileOfAnOlderWriter) {
  kivtest::sandbox sb;
  sb.write("var/nvram.lock", "");
  write_store_directly(sb, "link_internet=1\n");
  // No counter can be mapped yet: every read looks at the file.
  EXPECT_EQ(nvram_get_int("link_internet"), 1);
  write_store_directly(sb, "link_internet=2\n");
  EXPECT_TRUE(reads_within("link_internet", "2", 3.0));
  set_in_child("link_internet", "0");
  EXPECT_EQ(nvram_get_int("link_internet"), 0);
  set_in_child("link_internet", "2");
  EXPECT_EQ(nvram_get_int("link_internet"), 2);
}

TEST(SettingsChange, LockFileRemovedAndMadeAgainByTheNextWriter) {
  kivtest::sandbox sb;
  nvram_set("ntp_ready", "0");
  EXPECT_EQ(nvram_get_int("ntp_ready"), 0);
  ASSERT_EQ(unlink(sb.path("var/nvram.lock").c_str()), 0);
  set_in_child("ntp_ready", "1");  // counts in a new lock file, not the one this process maps
  EXPECT_TRUE(reads_within("ntp_ready", "1", 3.0));
  set_in_child("ntp_ready", "5");
  EXPECT_EQ(nvram_get_int("ntp_ready"), 5);
}
