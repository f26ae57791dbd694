// The scrambled rule file container: decryptFile on arbitrary bytes as the rule file, and the
// writer's round trip (make_container, scramble_body) on arbitrary text and key offsets.
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "support.h"
#include "update/decrypt_file.h"

using kivfuzz::check;

namespace {

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// decryptFile on the bytes as they stand.
void decrypt_arbitrary(const std::string& bytes) {
  kivfuzz::write("tmp/kivjson.json", bytes);
  kivfuzz::remove("tmp/decjsonfile.txt");
  std::unique_ptr<char[]> buf;
  size_t len = 0;
  int rc = decryptFile("/tmp/kivjson.json", &buf, &len);
  const bool magic = has_container_magic(bytes.data(), bytes.size());
  if (!magic) {
    check(rc == -6, "a file without the magic is refused with -6");
    check(!buf, "no buffer is handed out for a refused file");
    return;
  }
  check(rc == 0, "a container is restored");
  check(buf && len == bytes.size(), "the buffer holds the whole file");
  check(buf[len] == '\0', "one zero byte follows the last byte");
  check(std::memcmp(buf.get(), bytes.data(), KIV_HEADER_LEN) == 0, "the header is kept");
  const size_t body = len - KIV_HEADER_LEN;
  // Byte i of the body is restored with ((i + Ran) mod 2^32) mod 255, computed here apart.
  const uint32_t ran = le32(reinterpret_cast<const uint8_t*>(bytes.data()) + 36);
  for (size_t i = 0; i < body; ++i) {
    const uint32_t key = static_cast<uint32_t>(static_cast<uint32_t>(i) + ran) % 255u;
    check(static_cast<uint8_t>(buf[KIV_HEADER_LEN + i]) ==
              (static_cast<uint8_t>(bytes[KIV_HEADER_LEN + i]) ^ static_cast<uint8_t>(key)),
          "each byte is restored with its key");
  }
  // kiv_debug_flag is "1": the debug copy holds exactly the restored body.
  check(kivfuzz::read("tmp/decjsonfile.txt") == std::string(buf.get() + KIV_HEADER_LEN, body),
        "the debug copy is the restored body");
}

// The writer: any text and key offset make a container that decryptFile restores.
void round_trip(const uint8_t* data, size_t size) {
  if (size < 4) return;
  const uint32_t ran = le32(data);
  const std::string json(reinterpret_cast<const char*>(data) + 4, size - 4);
  std::string box = make_container(json, ran);
  check(box.size() == KIV_HEADER_LEN + json.size(), "container length");
  check(has_container_magic(box.data(), box.size()), "the writer puts the magic");
  check(le32(reinterpret_cast<const uint8_t*>(box.data()) + 32) == json.size(), "Len field");
  check(le32(reinterpret_cast<const uint8_t*>(box.data()) + 36) == ran, "Ran field");
  std::string body = box.substr(KIV_HEADER_LEN);
  scramble_body(body.data(), body.size(), ran);
  check(body == json, "scramble_body restores what make_container scrambled");
  kivfuzz::write("tmp/kivjson.json", box);
  std::unique_ptr<char[]> buf;
  size_t len = 0;
  check(decryptFile("/tmp/kivjson.json", &buf, &len) == 0, "a written container is read");
  check(len == box.size() && std::memcmp(buf.get() + KIV_HEADER_LEN, json.data(), json.size()) == 0,
        "decryptFile restores the text the writer was given");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivfuzz::setup();
  nvram_set("kiv_debug_flag", "1");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decrypt_arbitrary(std::string(reinterpret_cast<const char*>(data), size));
  round_trip(data, size);
  kivfuzz::write("dev/console", "");  // the debug copies of the records
  return 0;
}
