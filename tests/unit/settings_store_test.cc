// The host settings store: shared by processes, never torn, never losing a writer's key.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/sandbox.h"

TEST(SettingsStore, SetGetUnsetShow) {
  kivtest::sandbox sb;
  EXPECT_FALSE(nvram_get("productid").has_value());
  EXPECT_EQ(nvram_get_int("productid"), 0);
  nvram_set("productid", "KV-1000");
  nvram_set("alpha", "first");
  nvram_set_int("kiv_quick_period", 12);
  EXPECT_EQ(nvram_get("productid").value_or("?"), "KV-1000");
  EXPECT_EQ(nvram_get_int("kiv_quick_period"), 12);
  EXPECT_TRUE(nvram_match("alpha", "first"));
  EXPECT_FALSE(nvram_match("alpha", "firs"));
  auto all = nvram_show();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], (std::pair<std::string, std::string>("alpha", "first")));
  EXPECT_EQ(all[1], (std::pair<std::string, std::string>("kiv_quick_period", "12")));
  EXPECT_EQ(all[2], (std::pair<std::string, std::string>("productid", "KV-1000")));
  nvram_unset("alpha");
  EXPECT_FALSE(nvram_get("alpha").has_value());
  EXPECT_EQ(nvram_show().size(), 2u);
  nvram_set("productid", "KV-2000");
  EXPECT_EQ(nvram_safe_get("productid"), "KV-2000");
}

TEST(SettingsStore, EmptyValueIsSetNotUnset) {
  kivtest::sandbox sb;
  nvram_set("kiv_service", "");
  auto v = nvram_get("kiv_service");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, "");
  EXPECT_FALSE(nvram_match("kiv_service", "1"));
  EXPECT_TRUE(nvram_match("kiv_service", ""));
}

TEST(SettingsStore, ValueKeepsEqualsSignsAndShellCharacters) {
  kivtest::sandbox sb;
  nvram_set("kiv_service", "a=b;$(x) `y` \"z\" \\");
  EXPECT_EQ(nvram_safe_get("kiv_service"), "a=b;$(x) `y` \"z\" \\");
  EXPECT_EQ(nvram_get_int("kiv_service"), 0);
}

TEST(SettingsStore, ValueSeenAfterAnotherProcessWrites) {
  kivtest::sandbox sb;
  nvram_set("success_start_service", "0");
  EXPECT_EQ(nvram_safe_get("success_start_service"), "0");  // now cached in this process
  for (const char* next : {"1", "2", "0", "10"}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      nvram_set("success_start_service", next);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(nvram_safe_get("success_start_service"), next);
  }
}

TEST(SettingsStore, PersistsAcrossReload) {
  kivtest::sandbox sb;
  nvram_set("kiv_json_check_period", "2880");
  platform_reload_env();
  EXPECT_EQ(nvram_get_int("kiv_json_check_period"), 2880);
  EXPECT_NE(sb.read("var/nvram.txt").find("kiv_json_check_period=2880\n"), std::string::npos);
}

TEST(SettingsStore, ConcurrentWriterProcessesNeverLoseKeys) {
  kivtest::sandbox sb;
  constexpr int kWriters = 4;
  constexpr int kKeys = 40;
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    children[w] = fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0) {
      for (int k = 0; k < kKeys; ++k) {
        std::string key = "w" + std::to_string(w) + "_k" + std::to_string(k);
        nvram_set(key.c_str(), std::to_string(w * 1000 + k).c_str());
        nvram_set("shared", key.c_str());  // every writer also rewrites one common key
      }
      _exit(0);
    }
  }
  // A reader in the meantime never sees a torn store: every value it sees is whole.
  for (int i = 0; i < 200; ++i) {
    for (const auto& [key, value] : nvram_show()) {
      if (key == "shared") {
        ASSERT_EQ(value[0], 'w');
      } else {
        ASSERT_FALSE(value.empty()) << key;
      }
    }
  }
  for (pid_t c : children) {
    int status = 0;
    ASSERT_EQ(waitpid(c, &status, 0), c);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto all = nvram_show();
  EXPECT_EQ(all.size(), static_cast<size_t>(kWriters * kKeys + 1));
  for (int w = 0; w < kWriters; ++w)
    for (int k = 0; k < kKeys; ++k) {
      std::string key = "w" + std::to_string(w) + "_k" + std::to_string(k);
      EXPECT_EQ(nvram_get_int(key.c_str()), w * 1000 + k) << key;
    }
}
