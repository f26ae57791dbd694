// Reading and writing rule files, and the identity options, for every kivrule command.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/kivrule/kivrule.h"
#include "update/decrypt_file.h"

bool read_whole_file(const std::string& path, std::string* out, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *err = path + ": read error";
    return false;
  }
  *out = text.str();
  return true;
}

bool write_whole_file(const std::string& path, const std::string& data, std::string* err) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    *err = path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    *err = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool load_rule_text(const std::string& path, std::string* json, bool* was_container,
                    std::string* err) {
  std::string data;
  if (!read_whole_file(path, &data, err)) return false;
  *was_container = has_container_magic(data.data(), data.size());
  if (!*was_container) {
    *json = std::move(data);
    return true;
  }
  // The daemon restores every byte behind the header with the header's Ran.
  const auto* h = reinterpret_cast<const unsigned char*>(data.data());
  const uint32_t ran = static_cast<uint32_t>(h[36]) | (static_cast<uint32_t>(h[37]) << 8) |
                       (static_cast<uint32_t>(h[38]) << 16) | (static_cast<uint32_t>(h[39]) << 24);
  *json = data.substr(KIV_HEADER_LEN);
  scramble_body(json->data(), json->size(), ran);
  return true;
}

bool take_option(std::vector<std::string>* args, const std::string& name,
                 std::optional<std::string>* value, std::string* err) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    if (i + 1 >= args->size()) {
      *err = name + " needs a value";
      return false;
    }
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i + 2));
    return true;
  }
  return true;
}

bool take_identity_options(std::vector<std::string>* args, router_identity* id, std::string* err,
                           bool* fwver_cut) {
  std::optional<std::string> fwver, mac;
  if (!take_option(args, "--productid", &id->productid, err)) return false;
  if (!take_option(args, "--odmpid", &id->odmpid, err)) return false;
  if (!take_option(args, "--fwver", &fwver, err)) return false;
  if (!take_option(args, "--label-mac", &mac, err)) return false;
  // Without --fwver, the daemon's own form of unset firmware keys; its 63-character cut.
  id->device_fwver = fwver ? *fwver : "._";
  if (fwver_cut) *fwver_cut = id->device_fwver.size() > 63;
  if (id->device_fwver.size() > 63) id->device_fwver.resize(63);
  if (mac) id->label_mac = *mac;
  return true;
}

const char* rule_load_rejection(int rc) {
  switch (rc) {
    case RULES_PARSE_ERROR:
      return "the text is not a JSON array";
    case RULES_ACTION_COUNT:
      return "its action list cannot be counted";
    case RULES_ACTION_PARSE:
      return "its action list cannot be parsed";
    case RULES_BAD_REGEX:
      return "its re_pattern does not compile";
    case RULES_RING_TOO_BIG:
      return "its frequency asks for a ring that cannot be allocated";
    case RULES_NO_MEMORY:
      return "out of memory";
    default:
      return "the reader failed";
  }
}

std::string quoted_text(const std::string& s, size_t limit, bool tell_length) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned>(c));
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  if (s.size() > limit) {
    out += "...";
    if (tell_length) out += " (" + std::to_string(s.size()) + " bytes)";
  }
  return out;
}
