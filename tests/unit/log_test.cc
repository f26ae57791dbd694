// The log facility: the record format, rotation at exactly its threshold, records of two threads
// rotating at once, a full file system, and the console copy. (A fatal signal mid-batch:
// tests/scenarios/fault_fatal_signal_mid_batch_leaves_every_whole_record.txt.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "core/kiv_log.h"
#include "core/tmp_files.h"
#include "detect/monitor_syslog.h"
#include "rules/monitor_profile.h"
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

// A dump or debug copy that the file system takes only part of is removed, never left cut short
// to pass for a whole one; one that fits is written whole.
TEST(TmpFiles, AFileCutShortIsRemovedAndAWholeOneKept) {
  sandbox sb;
  const std::string path = sb.path("tmp/kiv_dump.txt");
  const std::string text(100, 'd');
  EXPECT_EQ(in_child([&] {
              signal(SIGXFSZ, SIG_IGN);
              struct rlimit rl = {40, 40};
              setrlimit(RLIMIT_FSIZE, &rl);
              if (write_file_nofollow(path, text.data(), text.size())) _exit(1);
            }),
            0);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "a dump cut short at 40 bytes was left";
  EXPECT_TRUE(write_file_nofollow(path, text.data(), text.size()));
  EXPECT_EQ(sb.read("tmp/kiv_dump.txt"), text);
}

TEST(KivLog, ConsoleCopyOnlyWhileTheFlagIsExactlyOne) {
  sandbox sb;
  sb.write("dev/console", "");
  int line = 0;
  for (const char* value : {"<unset>", "0", "", "1 ", " 1", "11", "1", "0"}) {
    if (std::string(value) != "<unset>") sb.set("kiv_debug_flag", value);
    kiv_log("f", ++line, "[%s]\n", value);
  }
  EXPECT_EQ(sb.read("dev/console"), "[f:(7)][1]\n");
  EXPECT_EQ(sb.count("tmp/kiv.log", "[KIV][f:("), 8u) << "the file has every record";
  kiv_log_to_stream(nullptr);  // a tool's records go nowhere
  kiv_log("f", 9, "dropped\n");
  kiv_log_to_file();
  EXPECT_EQ(sb.count("tmp/kiv.log", "dropped"), 0u);
}

namespace {

// Record k written through one of the facility's entries (a plain record, a float, pieces, one
// without a line end, one cut, made records, one of them cut); its expected records.
std::vector<std::string> write_record(int k) {
  const std::string text = "line " + std::to_string(k);
  switch (k % 6) {
    case 0:
      kiv_log("_monitor_syslog", 251, "pBuf=[%s]\n", text.c_str());
      return {"[KIV][_monitor_syslog:(251)]pBuf=[" + text + "]\n"};
    case 1:
      kiv_log("r", 188, "rear[%d] = [%f]\n", k, 1.5);
      return {"[KIV][r:(188)]rear[" + std::to_string(k) + "] = [1.500000]\n"};
    case 2:
      kiv_log_pieces({kiv_log_head("match_func", 40), "[No match]::[", text, "]\n"});
      return {"[KIV][match_func:(40)][No match]::[" + text + "]\n"};
    case 3:
      kiv_log("p", 10, "ntp_ready %d", k);
      return {"[KIV][p:(10)]ntp_ready " + std::to_string(k)};
    case 4:
      kiv_log("f", 1, "%s\n", std::string(1200, 'a').c_str());
      return {"[KIV][f:(1)]" + std::string(997 - 13, 'a') + "\n"};
    default: {
      const std::string a = kiv_log_made({"[KIV][m:(2)]", text, "]\n"});
      const std::string cut = kiv_log_made({"[KIV][c:(4)]", std::string(1000, 'c'), "\n"});
      EXPECT_EQ(cut, "[KIV][c:(4)]" + std::string(997 - 13, 'c') + "\n");
      const std::string_view made[] = {a, cut, a};
      kiv_log_records(made);
      return {a, cut, a};
    }
  }
}

}  // namespace

// Records held by walks (nested or not) reach the files with the bytes and rotation boundaries
// of record-by-record writing, a rotation falling inside a walk; the console gets each record.
TEST(KivLog, WalksWriteTheBytesAndRotationsOfRecordByRecord) {
  for (bool walks : {false, true}) {
    sandbox sb;
    sb.write("dev/console", "");
    sb.set("kiv_debug_flag", walks ? "1" : "0");
    std::string live(1048577 - 5000, 'x'), rotated = "old\n", console;
    sb.write("tmp/kiv.log.1", rotated);
    sb.write("tmp/kiv.log", live);
    auto add = [&](const std::vector<std::string>& records) {
      for (const std::string& record : records) {
        if (live.size() >= 1048577) rotated = std::exchange(live, "");
        live += record;
        console += "[" + record.substr(6);
      }
    };
    // The files were replaced behind the facility's back: a record outside a walk examines the
    // log's name; a walk's write may trust an examination up to 10 ms old.
    int k = 0;
    add(write_record(k++));
    for (int walk = 0; walk < 120; ++walk) {
      {
        std::optional<kiv_log_walk> held;
        if (walks) held.emplace();
        for (int r = 0; r < (walk % 10 ? 100 : 600); ++r) add(write_record(k++));  // 600: in parts
        std::optional<kiv_log_walk> nested;
        if (walks) nested.emplace();
        add(write_record(k++));
      }
      add(write_record(k++));
    }
    EXPECT_TRUE(sb.read("tmp/kiv.log") == live) << walks;
    EXPECT_TRUE(sb.read("tmp/kiv.log.1") == rotated) << walks;
    EXPECT_TRUE(!walks || sb.read("dev/console") == console);
  }
}

// A walk's records are in the file when it ends, before any other thread's record: a checker
// that holds mp_mutex and writes a record, as a heal does, then finds every walk that ended in the
// file, whole. A walker that finds the lock taken writes its records ("pBuf" last) before it
// waits for the lock.
TEST(KivLog, AWalkIsInTheFileWhenItEndsAndBeforeTheWalkerWaits) {
  sandbox sb;
  std::string rules;
  for (int i = 0; i < 30; ++i)
    rules += (i ? "," : "") + rule("\"re_pattern\":\"fault " + std::to_string(i) + ": (a|b)\"");
  ASSERT_TRUE(install("[" + rules + "]"));
  auto walk = [](const std::string& line) {
    kiv_log_walk held;
    kiv_log("_monitor_syslog", 251, "pBuf=[%s]\n", line.c_str());
    int pause_logged = 0;
    walk_log_line(log_piece{line.c_str(), {}, 1}, &pause_logged);
  };
  const std::string look = "[KIV][checker:(1)]look\n";
  // Whole walks only, at least `lines` of them: "pBuf", "gArraylen" and two records a profile
  // each; a walker waiting for the lock may have written its "pBuf" alone, as the last of its
  // records. The checker's own records are left out.
  auto whole = [&](size_t lines) {
    std::string log = sb.read("tmp/kiv.log");
    for (size_t at; (at = log.find(look)) != std::string::npos;) log.erase(at, look.size());
    const size_t last = log.rfind("[KIV][");
    if (last != std::string::npos && log.find(")]pBuf=[", last) != std::string::npos)
      log.resize(last);
    const size_t n = occurrences(log, ")]pBuf=[");
    return n >= lines && occurrences(log, ")]gArraylen=[30]") == n &&
           occurrences(log, ")][No match]::[") == 30 * n;
  };
  std::atomic<int> walked{0}, broken{0};
  std::thread walker([&] {
    for (int k = 0; k < 60; ++k) {
      walk("kernel: line " + std::to_string(k));
      walked.store(k + 1);
      if (!whole(k + 1)) broken.fetch_add(1);
    }
  });
  // The checker lets go of the lock for a while after each look: std::mutex is not fair, and
  // under an emulator a checker that takes it again at once can starve the walker for minutes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (walked.load() < 60 && std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mp_mutex);
      const int ended = walked.load();
      kiv_log("checker", 1, "look\n");
      if (!whole(ended)) broken.fetch_add(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  walker.join();
  EXPECT_EQ(broken.load(), 0);
  std::unique_lock<std::mutex> heal(mp_mutex);
  std::thread waiting([&] { walk("while healing"); });
  const bool written = sb.wait_for("tmp/kiv.log", ")]pBuf=[while healing]\n", 1, 20);
  heal.unlock();
  waiting.join();
  EXPECT_TRUE(written);
  EXPECT_TRUE(whole(61));
}
