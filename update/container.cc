#include "update/container.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/tmp_files.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

constexpr const char kMagic[] = "TORVKIVENCRYPT";
constexpr size_t kMagicOffset = 16;
constexpr size_t kMagicLen = 14;

// Little-endian 32-bit field, byte by byte (no alignment or host-order assumption).
uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void put_le32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xffu);
}

}  // namespace

bool has_container_magic(const char* data, size_t len) {
  if (!data || len < KIV_HEADER_LEN) return false;
  return std::memcmp(data + kMagicOffset, kMagic, kMagicLen) == 0 &&
         data[kMagicOffset + kMagicLen] == '\0';
}

void scramble_body(char* body, size_t len, uint32_t ran) {
  for (size_t i = 0; i < len; ++i) {
    uint32_t k = (static_cast<uint32_t>(i) + ran) % 255u;  // unsigned 32-bit wrap
    body[i] = static_cast<char>(static_cast<unsigned char>(body[i]) ^ k);
  }
}

std::string make_container(const std::string& json, uint32_t ran) {
  std::string out(KIV_HEADER_LEN, '\0');
  std::memcpy(&out[kMagicOffset], kMagic, kMagicLen);
  put_le32(&out[32], static_cast<uint32_t>(json.size()));
  put_le32(&out[36], ran);
  std::string body = json;
  scramble_body(body.data(), body.size(), ran);
  return out + body;
}

// The container is read by one operation as far as the log is concerned, whoever hands it over.
#define DECRYPT_LOG(fmt, ...) kiv_log("decryptFile", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

int decrypt_container(char* data, size_t len) {
  // A file shorter than the header has no header: its fields read as zero, never as bytes
  // beyond the file.
  unsigned char header[KIV_HEADER_LEN] = {};
  std::memcpy(header, data, len < KIV_HEADER_LEN ? len : KIV_HEADER_LEN);
  const int32_t Len = static_cast<int32_t>(le32(header + 32));
  const uint32_t Ran = le32(header + 36);
  DECRYPT_LOG("Len=%d\n", static_cast<int>(Len));
  DECRYPT_LOG("Ran=%d\n", static_cast<int>(static_cast<int32_t>(Ran)));
  if (!has_container_magic(data, len)) {
    DECRYPT_LOG("needDecrypt=%d\n", 0);
    return -6;
  }
  toggle_container_body(data, len);
  if (nvram_match("kiv_debug_flag", "1")) {
    write_file_nofollow(kiv_path(KIV_DECJSONFILE_PATH), data + KIV_HEADER_LEN,
                        len - KIV_HEADER_LEN);
  }
  return 0;
}

void toggle_container_body(char* data, size_t len) {
  if (len > KIV_HEADER_LEN)
    scramble_body(data + KIV_HEADER_LEN, len - KIV_HEADER_LEN,
                  le32(reinterpret_cast<const unsigned char*>(data) + 36));
}

int read_rule_file(const char* path, std::unique_ptr<char[]>* buffer, size_t* length) {
  if (!path) return -1;
  long long size = get_file_size(path);
  if (size < 0) return -2;
  // A file that would not fit in this address space with its zero byte (on a 32-bit router,
  // 4 GiB and more) is a file there is no memory for, never a size cut short.
  if (static_cast<unsigned long long>(size) >= SIZE_MAX) return -4;
  const int fd = open_unblocked(kiv_path(path).c_str(), O_RDONLY);
  FILE* f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
  if (!f) {
    if (fd >= 0) close(fd);
    return -3;
  }
  const size_t len = static_cast<size_t>(size);
  // One extra zero byte so the body can be parsed as a zero-terminated text.
  std::unique_ptr<char[]> buf(new (std::nothrow) char[len + 1]());
  if (!buf) {
    std::fclose(f);
    return -4;
  }
  size_t got = len > 0 ? std::fread(buf.get(), 1, len, f) : 0;
  bool read_error = std::ferror(f) != 0;
  std::fclose(f);
  (void)got;  // a short read leaves the missing tail zero
  if (read_error) return -5;
  *length = len;
  *buffer = std::move(buf);
  return 0;
}

namespace {

// The trailer's fields, byte by byte (no alignment or host-order assumption).
uint64_t le64(std::string_view s, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
  return v;
}

}  // namespace

uint64_t container_length(std::string_view file) {
  if (!has_container_magic(file.data(), file.size())) return 0;
  return KIV_HEADER_LEN + le32(reinterpret_cast<const unsigned char*>(file.data()) + 32);
}

const char* rule_sig_text(rule_sig r) {
  switch (r) {
    case rule_sig::ok:
      return "valid signature";
    case rule_sig::missing:
      return "missing signature";
    case rule_sig::malformed:
      return "malformed trailer";
    case rule_sig::wrong:
      return "wrong signature";
    case rule_sig::key_unreadable:
      return "cannot read the key file";
    case rule_sig::key_too_large:
      return "key file too large";
    case rule_sig::key_invalid:
      return "not a usable Ed25519 key in PEM";
    case rule_sig::crypto_failure:
      return "the crypto library failed";
  }
  return "unknown signature result";
}

signed_parts split_signed(std::string_view file) {
  signed_parts p;
  p.container_len = file.size();
  const uint64_t own = container_length(file);
  auto ends_in = [file](std::string_view magic) {
    return file.size() >= magic.size() && file.substr(file.size() - magic.size()) == magic;
  };
  const bool staged = ends_in(KIV_STAGED_MAGIC);
  if (!staged && !ends_in(KIV_SIG_MAGIC)) {
    if (own != 0 && file.size() > own) p.trailer = rule_sig::malformed;
    return p;
  }
  const size_t trailer_len = staged ? KIV_STAGED_TRAILER_LEN : KIV_SIG_TRAILER_LEN;
  const uint32_t stage =
      staged && own != 0 && file.size() == own + trailer_len
          ? le32(reinterpret_cast<const unsigned char*>(file.data()) + own + 8 + KIV_SIG_LEN)
          : KIV_FULL_STAGE;
  if (own == 0 || file.size() != own + trailer_len || (staged && (stage < 1 || stage > 99))) {
    p.trailer = rule_sig::malformed;
    return p;
  }
  p.trailer = rule_sig::ok;
  p.container_len = static_cast<size_t>(own);
  p.serial = le64(file, p.container_len);
  p.stage = stage;
  return p;
}
