// The scrambled rule file container: every result of decryptFile, the key schedule, the buffer
// it hands out and its debug copy.
#include "update/decrypt_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/kiv_log.h"
#include "support/sandbox.h"

// Sanitizer builds: an allocation that cannot be served returns none, as it does without them
// (decryptFile asks for a buffer it cannot get and must say so).
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

constexpr const char* kRulePath = "/tmp/kivjson.json";
constexpr const char* kRel = "tmp/kivjson.json";

// A 40-byte header written out by hand: magic at 16, a zero byte at 30, Len and Ran
// little-endian at 32 and 36.
std::string header(uint32_t len, uint32_t ran) {
  std::string h(40, '\0');
  std::memcpy(&h[16], "TORVKIVENCRYPT", 14);
  for (int i = 0; i < 4; ++i) {
    h[32 + i] = static_cast<char>((len >> (8 * i)) & 0xff);
    h[36 + i] = static_cast<char>((ran >> (8 * i)) & 0xff);
  }
  return h;
}

struct decrypted {
  int result = 1;
  std::unique_ptr<char[]> buffer;
  size_t length = 0;
};

decrypted decrypt(const char* path = kRulePath) {
  decrypted d;
  d.result = decryptFile(path, &d.buffer, &d.length);
  return d;
}

// The body a file of zero bytes restores to is the key stream itself.
std::string key_stream(uint32_t ran, size_t n) {
  kivtest::sandbox sb;
  sb.write(kRel, header(static_cast<uint32_t>(n), ran) + std::string(n, '\0'));
  decrypted d = decrypt();
  EXPECT_EQ(d.result, 0);
  if (d.result != 0) return "";
  return std::string(d.buffer.get() + 40, n);
}

}  // namespace

TEST(DecryptFile, RestoresTheBodyAndHandsOutTheWholeFileWithAZeroBehind) {
  kivtest::sandbox sb;
  const std::string json = "[{\"model\":\"KV-1000\"}]";
  std::string body = json;
  for (size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(static_cast<unsigned char>(body[i]) ^ ((i + 1000u) % 255u));
  const std::string file = header(12345, 1000) + body;
  sb.write(kRel, file);
  decrypted d = decrypt();
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.length, file.size());
  EXPECT_EQ(std::string(d.buffer.get(), 40), file.substr(0, 40)) << "header handed out as read";
  EXPECT_EQ(std::string(d.buffer.get() + 40), json) << "the body ends in a zero byte";
  EXPECT_EQ(d.buffer[file.size()], '\0');
  // Len is logged and otherwise ignored (it is not the body length here).
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Len=12345\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Ran=1000\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", "needDecrypt"), 0u);
  EXPECT_EQ(sb.read(KIV_DECJSONFILE_PATH + 1), "") << "no debug copy without kiv_debug_flag";
}

TEST(DecryptFile, KeyScheduleForRanZeroMinusOneAndAWrap) {
  // Ran 0: 0, 1, ..., 254, then 0 again; a key byte is never 255.
  std::string k0 = key_stream(0, 600);
  ASSERT_EQ(k0.size(), 600u);
  for (size_t i = 0; i < k0.size(); ++i)
    ASSERT_EQ(static_cast<unsigned char>(k0[i]), i % 255) << "position " << i;
  // Ran -1: 4294967295 is a multiple of 255, and the next sum wraps to 0: 0, 0, 1, 2, ...
  std::string km1 = key_stream(0xffffffffu, 300);
  ASSERT_EQ(km1.size(), 300u);
  EXPECT_EQ(static_cast<unsigned char>(km1[0]), 0);
  for (size_t i = 1; i < km1.size(); ++i)
    ASSERT_EQ(static_cast<unsigned char>(km1[i]), (i - 1) % 255) << "position " << i;
  std::string k254 = key_stream(254, 3);
  EXPECT_EQ(k254, std::string("\xfe\x00\x01", 3));
}

TEST(DecryptFile, RestoringTwiceGivesBackTheScrambledBody) {
  kivtest::sandbox sb;
  const std::string scrambled = "\x01\x7f\xff\x00 scrambled bytes \x80";
  sb.write(kRel, header(0, 77) + scrambled);
  decrypted once = decrypt();
  ASSERT_EQ(once.result, 0);
  sb.write(kRel, std::string(once.buffer.get(), once.length));
  decrypted twice = decrypt();
  ASSERT_EQ(twice.result, 0);
  EXPECT_EQ(std::string(twice.buffer.get() + 40, twice.length - 40), scrambled);
}

TEST(DecryptFile, HeaderAloneIsAnEmptyBody) {
  kivtest::sandbox sb;
  sb.write(kRel, header(0, 5));
  decrypted d = decrypt();
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.length, 40u);
  EXPECT_EQ(d.buffer[40], '\0');
}

TEST(DecryptFile, NoPathAndNoFile) {
  kivtest::sandbox sb;
  decrypted none = decrypt(nullptr);
  EXPECT_EQ(none.result, -1);
  EXPECT_EQ(none.buffer, nullptr);
  decrypted missing = decrypt();
  EXPECT_EQ(missing.result, -2);
  EXPECT_EQ(missing.buffer, nullptr);
  EXPECT_EQ(sb.read("tmp/kiv.log"), "") << "nothing is logged before the header is read";
}

TEST(DecryptFile, FilesWithoutTheMagicAreNotScrambled) {
  kivtest::sandbox sb;
  // Plain JSON: its bytes 32..39 are logged as Len and Ran all the same.
  std::string json = "[{\"model\":\"KV-1000\",\"keyword\":\"abcdef\"}]";
  json.replace(32, 8, std::string("\x01\x00\x00\x00\xff\xff\xff\xff", 8));
  sb.write(kRel, json);
  decrypted d = decrypt();
  EXPECT_EQ(d.result, -6);
  EXPECT_EQ(d.buffer, nullptr);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Len=1\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Ran=-1\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]needDecrypt=0\n"), 1u);

  // The magic followed by a non-zero byte at offset 30.
  std::string almost = header(7, 8) + "[]";
  almost[30] = 'X';
  sb.write(kRel, almost);
  EXPECT_EQ(decrypt().result, -6);

  // Shorter than the header: nothing beyond the file's own bytes is taken as header.
  std::string short_file = header(0x41414141, 0x42424242).substr(0, 31);
  sb.write(kRel, short_file);
  EXPECT_EQ(decrypt().result, -6);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Len=0\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]Ran=0\n"), 1u);
  EXPECT_EQ(sb.count("tmp/kiv.log", ")]needDecrypt=0\n"), 3u);
}

TEST(DecryptFile, ReadErrorReleasesTheBuffer) {
  kivtest::sandbox sb;
  // A sysfs attribute that has a size but refuses to be read (the loopback has no link speed).
  const char* attr = "/sys/class/net/lo/speed";
  char probe[8];
  int fd = open(attr, O_RDONLY);
  bool refuses = fd >= 0 && read(fd, probe, sizeof probe) < 0;
  if (fd >= 0) close(fd);
  if (!refuses) GTEST_SKIP() << attr << " is readable here";
  ASSERT_EQ(symlink(attr, sb.path(kRel).c_str()), 0);
  ASSERT_GT(get_file_size(kRulePath), 0);
  decrypted d = decrypt();
  EXPECT_EQ(d.result, -5);
  EXPECT_EQ(d.buffer, nullptr);
}

TEST(DecryptFile, FileTooLargeForMemory) {
  kivtest::sandbox sb;
  // A sparse file larger than any address space (and, cut to 32 bits, still more than a 32-bit
  // process can allocate). /dev/shm takes sparse files of that size; most disks do not.
  const off_t size = (static_cast<off_t>(1) << 62) + static_cast<off_t>(0xf0000000u);
  const std::string target = "/dev/shm/kiv-decrypt-test-" + std::to_string(getpid());
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, size) != 0) {
    if (fd >= 0) close(fd);
    unlink(target.c_str());
    GTEST_SKIP() << "no file system here takes a sparse file of 2^62 bytes";
  }
  close(fd);
  ASSERT_EQ(symlink(target.c_str(), sb.path(kRel).c_str()), 0);
  ASSERT_EQ(get_file_size(kRulePath), static_cast<long long>(size));
  decrypted d = decrypt();
  unlink(target.c_str());
  EXPECT_EQ(d.result, -4);
  EXPECT_EQ(d.buffer, nullptr);
}

TEST(DecryptFile, FileThatCannotBeOpenedAfterItsSizeWasTaken) {
  kivtest::sandbox sb;
  sb.write(kRel, header(2, 0) + "[]");
  // Permission events let the first open (the size) through and refuse the second (the read).
  int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
  if (fan < 0) GTEST_SKIP() << "fanotify permission events need privileges: " << strerror(errno);
  if (fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, sb.path(kRel).c_str()) != 0) {
    close(fan);
    GTEST_SKIP() << "cannot watch the file: " << strerror(errno);
  }
  std::thread gate([fan] {
    for (int opens = 0; opens < 2;) {
      struct pollfd p = {fan, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;  // bounded: the test fails on its own if stuck
      alignas(struct fanotify_event_metadata) char buf[4096];
      ssize_t n = read(fan, buf, sizeof buf);
      if (n <= 0) return;
      auto* ev = reinterpret_cast<struct fanotify_event_metadata*>(buf);
      for (; FAN_EVENT_OK(ev, n); ev = FAN_EVENT_NEXT(ev, n)) {
        if (ev->mask & FAN_OPEN_PERM) {
          struct fanotify_response r = {ev->fd,
                                        static_cast<__u32>(opens == 0 ? FAN_ALLOW : FAN_DENY)};
          if (write(fan, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) return;
          ++opens;
        }
        if (ev->fd >= 0) close(ev->fd);
      }
    }
  });
  decrypted d = decrypt();
  gate.join();
  close(fan);
  EXPECT_EQ(d.result, -3);
  EXPECT_EQ(d.buffer, nullptr);
}

TEST(DecryptFile, DebugCopyHoldsThePlainBodyAndNeverFollowsALink) {
  kivtest::sandbox sb;
  const std::string json = "[{\"model\":\"KV-1000\",\"action\":\"nop\"}]";
  std::string body = json;
  for (size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(static_cast<unsigned char>(body[i]) ^ ((i + 9u) % 255u));
  sb.write(kRel, header(static_cast<uint32_t>(json.size()), 9) + body);
  sb.set("kiv_debug_flag", "1");
  sb.write("tmp/decjsonfile.txt", "an older, longer copy that must be cut away entirely");
  ASSERT_EQ(decrypt().result, 0);
  EXPECT_EQ(sb.read("tmp/decjsonfile.txt"), json);

  sb.write("tmp/elsewhere", "keep");
  ASSERT_EQ(unlink(sb.path("tmp/decjsonfile.txt").c_str()), 0);
  ASSERT_EQ(symlink(sb.path("tmp/elsewhere").c_str(), sb.path("tmp/decjsonfile.txt").c_str()), 0);
  decrypted d = decrypt();
  EXPECT_EQ(d.result, 0) << "a debug copy that cannot be written changes nothing";
  EXPECT_EQ(sb.read("tmp/elsewhere"), "keep");
}
