// The nvram tool on the host settings store, shared with the daemon's own reads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

struct result {
  int status = -1;
  std::string out;
};

// Runs the tool (no shell) and collects its standard output and exit status.
result nvram_tool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kivtest::bin("nvram")};
  argv.insert(argv.end(), args.begin(), args.end());
  result r;
  spawned_reader reader = spawn_reader(argv);
  if (reader.pid < 0) return r;
  char buf[256];
  for (;;) {
    ssize_t n = read(reader.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(reader.fd);
  int status = 0;
  waitpid(reader.pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

TEST(NvramTool, GetSetUnsetShow) {
  kivtest::sandbox sb;
  EXPECT_EQ(nvram_tool({"set", "productid=KV-1000"}).status, 0);
  EXPECT_EQ(nvram_tool({"set", "kiv_service=a=b c"}).status, 0);
  EXPECT_EQ(nvram_tool({"set", "apps_sq="}).status, 0);
  result got = nvram_tool({"get", "productid"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "KV-1000\n");
  EXPECT_EQ(nvram_tool({"get", "kiv_service"}).out, "a=b c\n");
  EXPECT_EQ(nvram_tool({"get", "apps_sq"}).out, "\n");
  result unset = nvram_tool({"get", "odmpid"});
  EXPECT_EQ(unset.status, 0);
  EXPECT_EQ(unset.out, "");
  EXPECT_EQ(nvram_tool({"show"}).out, "apps_sq=\nkiv_service=a=b c\nproductid=KV-1000\n");
  EXPECT_EQ(nvram_tool({"unset", "kiv_service"}).status, 0);
  EXPECT_EQ(nvram_tool({"show"}).out, "apps_sq=\nproductid=KV-1000\n");
}

TEST(NvramTool, SharesTheStoreWithTheDaemonsReads) {
  kivtest::sandbox sb;
  nvram_set("kiv_debug_flag", "0");
  EXPECT_EQ(nvram_safe_get("kiv_debug_flag"), "0");
  ASSERT_EQ(nvram_tool({"set", "kiv_debug_flag=1"}).status, 0);
  EXPECT_TRUE(nvram_match("kiv_debug_flag", "1"));
  nvram_set("link_internet", "2");
  EXPECT_EQ(nvram_tool({"get", "link_internet"}).out, "2\n");
}

TEST(NvramTool, RejectsBadUsage) {
  kivtest::sandbox sb;
  EXPECT_NE(nvram_tool({}).status, 0);
  EXPECT_NE(nvram_tool({"set", "novalue"}).status, 0);
  EXPECT_NE(nvram_tool({"set", "bad key=1"}).status, 0);
  EXPECT_NE(nvram_tool({"frobnicate"}).status, 0);
  EXPECT_NE(nvram_tool({"get"}).status, 0);
  EXPECT_EQ(nvram_tool({"show"}).out, "");
}
