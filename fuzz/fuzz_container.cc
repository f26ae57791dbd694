// The scrambled rule file container: read_rule_file and decrypt_container on arbitrary bytes as
// the rule file, and the writer (make_container) on the input's text after its first four bytes,
// which give the key offset Ran. The key schedule is computed here apart: body byte i is
// exclusive-or ((i + Ran) mod 2^32) mod 255.
#include "support.h"

static std::string unscrambled(std::string_view body, uint32_t ran) {
  std::string out(body);
  for (size_t i = 0; i < out.size(); ++i) out[i] ^= (static_cast<uint32_t>(i) + ran) % 255u;
  return out;
}

static void decrypt(const std::string& bytes) {
  put("tmp/kivjson.json", bytes);
  unlink(path("tmp/decjsonfile.txt").c_str());
  std::unique_ptr<char[]> buf;
  size_t len = 0;
  int rc = read_rule_file("/tmp/kivjson.json", &buf, &len);
  check(rc == 0 && buf && len == bytes.size(), "the file is read whole");
  rc = decrypt_container(buf.get(), len);
  if (!has_container_magic(bytes.data(), bytes.size()))
    return check(rc == -6, "a file without the magic is refused with -6");
  check(rc == 0 && buf && len == bytes.size() && buf[len] == '\0',
        "a container is restored whole, one zero byte behind it");
  const std::string_view out(buf.get(), len), body = out.substr(KIV_HEADER_LEN);
  check(out.substr(0, KIV_HEADER_LEN) == bytes.substr(0, KIV_HEADER_LEN) &&
            body == unscrambled(bytes.substr(KIV_HEADER_LEN), le(bytes, 36, 4)),
        "the header is kept, each body byte restored with its key");
  check(slurp("tmp/decjsonfile.txt") == body, "the debug copy is the restored body");
}

void init() {
  nvram_set("kiv_debug_flag", "1");
}

void one(const std::string& input) {
  decrypt(input);
  if (input.size() >= 4) {
    const uint32_t ran = le(input, 0, 4);
    const std::string json = input.substr(4), box = make_container(json, ran);
    check(has_container_magic(box.data(), box.size()) && le(box, 32, 4) == json.size() &&
              le(box, 36, 4) == ran && unscrambled(box.substr(KIV_HEADER_LEN), ran) == json,
          "the writer puts the magic, Len, Ran and each byte scrambled with its key");
    decrypt(box);
  }
  put("dev/console", "");  // the debug copies of the records
}
