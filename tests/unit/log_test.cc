// The log facility: record format, rotation by size, literal record text, console copies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/kiv_log.h"
#include "support/sandbox.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(TrimSpaces, CutsSpacesOnly) {
  char text[] = "  a b \t  ";
  EXPECT_STREQ(trim_spaces(text), "a b \t");
}

TEST(TrimSpaces, SpacesOnlyBecomesEmpty) {
  char text[] = "    ";
  EXPECT_STREQ(trim_spaces(text), "");
}

TEST(KivLog, RecordFormat) {
  kivtest::sandbox sb;
  kiv_log("read_json", 42, "count=%d name=[%s]\n", 7, "abc");
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][read_json:(42)]count=7 name=[abc]\n");
}

TEST(KivLog, FirstRecordCreatesFile) {
  kivtest::sandbox sb;
  ASSERT_FALSE(exists(sb.path("tmp/kiv.log")));
  kiv_log("f", 1, "x\n");
  EXPECT_TRUE(exists(sb.path("tmp/kiv.log")));
}

TEST(KivLog, MessageWithoutLineEndContinuesLine) {
  kivtest::sandbox sb;
  kiv_log("process_json", 10, "ntp_ready false");
  kiv_log("process_json", 11, "next\n");
  EXPECT_EQ(sb.read("tmp/kiv.log"),
            "[KIV][process_json:(10)]ntp_ready false[KIV][process_json:(11)]next\n");
}

TEST(KivLog, SeveralNewlinesGiveSeveralLines) {
  kivtest::sandbox sb;
  kiv_log("main", 5, "[kiv]\nnotice 2026\n\n");
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][main:(5)][kiv]\nnotice 2026\n\n");
}

TEST(KivLog, LongRecordIsCutAndKeepsLineEnd) {
  kivtest::sandbox sb;
  std::string big(3000, 'x');
  kiv_log("f", 1, "%s\n", big.c_str());
  std::string content = sb.read("tmp/kiv.log");
  EXPECT_EQ(content.size(), 997u);
  EXPECT_EQ(content.back(), '\n');
  EXPECT_EQ(content.rfind("[KIV][f:(1)]xxx", 0), 0u);
}

TEST(KivLog, NoRotationAtExactlyOneMebibyte) {
  kivtest::sandbox sb;
  sb.write("tmp/kiv.log", std::string(1048576, 'a'));
  kiv_log("f", 1, "after\n");
  EXPECT_FALSE(exists(sb.path("tmp/kiv.log.1")));
  std::string content = sb.read("tmp/kiv.log");
  EXPECT_EQ(content.size(), 1048576u + std::string("[KIV][f:(1)]after\n").size());
}

TEST(KivLog, RotatesAboveOneMebibyteAndReplacesRotatedFile) {
  kivtest::sandbox sb;
  sb.write("tmp/kiv.log.1", "old generation\n");
  std::string full(1048577, 'b');
  sb.write("tmp/kiv.log", full);
  kiv_log("f", 2, "fresh\n");
  EXPECT_EQ(sb.read("tmp/kiv.log.1"), full);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][f:(2)]fresh\n");
  // The rotated file is now the one the facility writes no more into.
  kiv_log("f", 3, "again\n");
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][f:(2)]fresh\n[KIV][f:(3)]again\n");
  EXPECT_EQ(sb.read("tmp/kiv.log.1").size(), 1048577u);
}

TEST(KivLog, ShellCharactersReachFileLiterally) {
  kivtest::sandbox sb;
  std::string marker = sb.path("tmp/ran");
  std::string hostile =
      "\" $(touch " + marker + ") `touch " + marker + "` $HOME \\ \\\" %s %d %n '";
  kiv_log("f", 1, "%s|100%%\n", hostile.c_str());
  kiv_log("f", 2, "\"$(touch %s)\"\n", marker.c_str());
  EXPECT_EQ(sb.read("tmp/kiv.log"),
            "[KIV][f:(1)]" + hostile + "|100%\n" + "[KIV][f:(2)]\"$(touch " + marker + ")\"\n");
  EXPECT_FALSE(exists(marker));
}

TEST(KivLog, TwoThreadsRotatingAtOnceLoseNothing) {
  kivtest::sandbox sb;
  for (int round = 0; round < 5; ++round) {
    std::string full(1048577, static_cast<char>('c' + round));
    sb.write("tmp/kiv.log", full);
    std::atomic<int> ready{0};
    constexpr int kPerThread = 200;
    auto writer = [&](int id) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      for (int i = 0; i < kPerThread; ++i) kiv_log("t", id, "record %d of %d\n", i, id);
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    // One rotation: the full file moved away whole, every record of both threads in the new one.
    ASSERT_EQ(sb.read("tmp/kiv.log.1"), full) << "round " << round;
    std::string content = sb.read("tmp/kiv.log");
    for (int id = 1; id <= 2; ++id)
      for (int i = 0; i < kPerThread; ++i) {
        std::string rec = "[KIV][t:(" + std::to_string(id) + ")]record " + std::to_string(i) +
                          " of " + std::to_string(id) + "\n";
        ASSERT_NE(content.find(rec), std::string::npos) << rec;
      }
    EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV]"), 2u * kPerThread);
  }
}

TEST(KivLog, RecordReachesFileRemovedBehindItsBack) {
  kivtest::sandbox sb;
  kiv_log("f", 1, "one\n");
  unlink(sb.path("tmp/kiv.log").c_str());
  kiv_log("f", 2, "two\n");
  EXPECT_EQ(sb.read("tmp/kiv.log"), "[KIV][f:(2)]two\n");
}

TEST(KivLog, ConsoleCopyOnlyForExactlyOne) {
  kivtest::sandbox sb;
  sb.write("dev/console", "");
  kiv_log("f", 1, "unset\n");
  int line = 2;
  for (const char* value : {"0", "", "1 ", " 1", "11", "true"}) {
    sb.set("kiv_debug_flag", value);
    kiv_log("f", line++, "value [%s]\n", value);
    console_debug_printf("direct [%s]\n", value);
  }
  EXPECT_EQ(sb.read("dev/console"), "");
  sb.set("kiv_debug_flag", "1");
  kiv_log("f", 99, "on\n");
  console_debug_printf("direct %d\n", 5);
  EXPECT_EQ(sb.read("dev/console"), "[f:(99)]on\ndirect 5\n");
  sb.set("kiv_debug_flag", "0");
  kiv_log("f", 100, "off again\n");
  EXPECT_EQ(sb.read("dev/console"), "[f:(99)]on\ndirect 5\n");
  // The file has every record whatever the key said.
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][f:("), 9u);
}

TEST(KivLog, ConsoleMissingGoesToStandardError) {
  kivtest::sandbox sb;
  sb.set("kiv_debug_flag", "1");
  testing::internal::CaptureStderr();
  kiv_log("f", 7, "to stderr\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "[f:(7)]to stderr\n");
  EXPECT_FALSE(exists(sb.path("dev/console")));
}
