// The log facility: the record format, rotation at exactly its threshold, records of two threads
// rotating at once, a full file system, and the console copy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "core/kiv_log.h"
#include "support/kivtest.h"

using namespace kivtest;

TEST(KivLog, RecordsAsWrittenCutAtTheirLongestAndRotatedAboveOneMebibyte) {
  sandbox sb;
  const std::string marker = sb.path("ran");
  const std::string hostile = "\" $(touch " + marker + ") `touch " + marker + "` $HOME \\ %s %n '";
  kiv_log("f", 12, "a%sb|100%%", "x");
  kiv_log("g", -3, "%s\nsecond line\n", hostile.c_str());
  EXPECT_EQ(sb.read("tmp/kiv.log"),
            "[KIV][f:(12)]axb|100%[KIV][g:(-3)]" + hostile + "\nsecond line\n");
  EXPECT_EQ(access(marker.c_str(), F_OK), -1) << "no record text reaches a shell";
  // The longest record is 997 characters; a cut record keeps its line end.
  for (const char* end : {"\n", ""}) {
    sb.write("tmp/kiv.log", "");
    kiv_log("f", 1, "%s%s", std::string(3000, 'x').c_str(), end);
    EXPECT_EQ(sb.read("tmp/kiv.log"),
              "[KIV][f:(1)]" + std::string(997 - 12 - (*end ? 1 : 0), 'x') + end);
  }
  // A file of 1048576 bytes is not rotated; one of 1048577 is, replacing the rotated file.
  sb.write("tmp/kiv.log.1", "older generation\n");
  sb.write("tmp/kiv.log", std::string(1048576, 'a'));
  kiv_log("f", 2, "not rotated at 1048576 bytes\n");
  kiv_log("f", 3, "rotated at 1048576 + 39\n");
  EXPECT_TRUE(sb.read("tmp/kiv.log.1") ==
              std::string(1048576, 'a') + "[KIV][f:(2)]not rotated at 1048576 bytes\n");
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][f:(3)]rotated at 1048576 + 39\n");
  unlink(sb.path("tmp/kiv.log").c_str());  // removed behind the facility's back
  kiv_log("f", 3, "again\n");
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][f:(3)]again\n");
}

TEST(KivLog, TwoThreadsRotatingAtOnceLoseNothing) {
  sandbox sb;
  const std::string full(1048577, 'c');
  sb.write("tmp/kiv.log", full);
  auto writer = [](int id) {
    for (int i = 0; i < 300; ++i) kiv_log("t", id, "record %d\n", i);
  };
  std::thread a(writer, 1), b(writer, 2);
  a.join();
  b.join();
  EXPECT_TRUE(sb.read("tmp/kiv.log.1") == full) << "one rotation, the full file moved away whole";
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][t:(1)]record "), 300u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][t:(2)]record 299\n"), 1u);
}

// A write that the file system takes only part of (full, or a file size limit) is cut off again:
// the file holds whole records only, and the process is not ended by the limit's signal.
TEST(KivLog, RecordsStayWholeOnAFullFileSystem) {
  sandbox sb;
  sb.write("tmp/kiv.log", "[KIV][f:(1)]before\n");
  EXPECT_EQ(in_child([] {
              signal(SIGXFSZ, SIG_IGN);
              struct rlimit rl = {40, 40};
              setrlimit(RLIMIT_FSIZE, &rl);
              kiv_log("f", 2, "a record that does not fit\n");
              kiv_log("f", 3, "fits\n");
            }),
            0);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][f:(1)]before\n[KIV][f:(3)]fits\n");
}

TEST(KivLog, ConsoleCopyOnlyWhileTheFlagIsExactlyOne) {
  sandbox sb;
  sb.write("dev/console", "");
  int line = 0;
  for (const char* value : {"<unset>", "0", "", "1 ", " 1", "11", "1", "0"}) {
    if (std::string(value) != "<unset>") sb.set("kiv_debug_flag", value);
    kiv_log("f", ++line, "[%s]\n", value);
    console_debug_printf("direct [%s]\n", value);
  }
  EXPECT_EQ(sb.read("dev/console"), "[f:(7)][1]\ndirect [1]\n");
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][f:("), 8u) << "the file has every record";
  kiv_log_to_stream(nullptr);  // a tool's records go nowhere
  kiv_log("f", 9, "dropped\n");
  kiv_log_to_file();
  EXPECT_EQ(sb.count("tmp/kiv.log", "dropped"), 0u);
}
