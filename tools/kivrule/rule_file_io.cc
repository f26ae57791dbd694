// Reading and writing rule files, JSON errors in words, and the options, for every kivrule
// command.
#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "tools/kivrule/kivrule.h"
#include "update/container.h"
#include "update/curl_download_file.h"

namespace {

// Stops once more than `limit` bytes are in: a larger input is refused, not read to its end.
bool read_all(int fd, std::string* out, size_t limit) {
  char buf[65536];
  while (out->size() <= limit) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string failure(const std::string& path, int why) {
  return input_name(path) + ": " + std::strerror(why);
}

// What json-c's error codes mean to a person writing a rule file.
const char* json_error_words(json_tokener_error e) {
  switch (e) {
    case json_tokener_error_depth:
      return "nested too deeply";
    case json_tokener_error_parse_eof:
      return "the text ends before the JSON value is complete";
    case json_tokener_error_parse_unexpected:
      return "a character that cannot stand here";
    case json_tokener_error_parse_null:
      return "expected null";
    case json_tokener_error_parse_boolean:
      return "expected true or false";
    case json_tokener_error_parse_number:
      return "a malformed number";
    case json_tokener_error_parse_array:
      return "expected ',' or ']' after an element of the array";
    case json_tokener_error_parse_object_key_name:
      return "expected a key in double quotes";
    case json_tokener_error_parse_object_key_sep:
      return "expected ':' after the key";
    case json_tokener_error_parse_object_value_sep:
      return "expected ',' or '}' after a value of the object";
    case json_tokener_error_parse_string:
      return "a malformed string";
    case json_tokener_error_parse_comment:
      return "a malformed comment";
    case json_tokener_error_parse_utf8_string:
      return "a string that is not UTF-8";
    default:
      return json_tokener_error_desc(e);
  }
}

}  // namespace

bool parse_serial(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

std::string input_name(const std::string& path) {
  return path == "-" ? "standard input" : path;
}

int read_input(const std::string& path, std::string* out, std::string* err) {
  out->clear();
  const bool std_in = path == "-";
  int fd = std_in ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *err = failure(path, errno);
    if (!std_in && fd >= 0) ::close(fd);
    return KIVRULE_USAGE;
  }
  if (S_ISDIR(st.st_mode)) {
    *err = input_name(path) + ": is a directory, not a rule file";
    if (!std_in) ::close(fd);
    return KIVRULE_USAGE;
  }
  const bool ok = read_all(fd, out, KIV_MAX_BODY);
  const int why = errno;
  if (!std_in) ::close(fd);
  if (!ok) {
    *err = failure(path, why);
    return KIVRULE_USAGE;
  }
  if (out->empty()) {
    *err = input_name(path) + ": the file is empty";
    return KIVRULE_REJECTED;
  }
  if (out->size() > KIV_MAX_BODY) {
    out->clear();
    *err = input_name(path) + ": larger than " + std::to_string(KIV_MAX_BODY) +
           " bytes, the most the daemon downloads";
    return KIVRULE_REJECTED;
  }
  return KIVRULE_OK;
}

bool distinct_output(const std::string& in, const std::string& out, std::string* err) {
  struct stat a, b;
  if (in == "-" || out == "-" || stat(in.c_str(), &a) != 0 || stat(out.c_str(), &b) != 0)
    return true;
  if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return true;
  *err = out + " is the input file " + in + ": writing it would destroy the input; name another";
  return false;
}

namespace {

// The largest existing output that is replaced (and so read through for a key first).
constexpr unsigned long long kLargestOutput = 16ULL * KIV_MAX_BODY;

// Whether the text holds a line "-----BEGIN ...KEY...-----" that opens a PEM key ("PRIVATE KEY",
// "PUBLIC KEY", "ENCRYPTED PRIVATE KEY", "RSA PRIVATE KEY", "OPENSSH PRIVATE KEY", ...). A line
// starts after a '\n' only: the text given starts with one where the file starts.
bool pem_key_in(const std::string& text) {
  static const std::string begin = "\n-----BEGIN ";
  for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    const size_t label = at + begin.size();
    const size_t end = text.find("-----", label);
    if (end != std::string::npos && text.find('\n', label) > end &&
        text.substr(label, end - label).find("KEY") != std::string::npos)
      return true;
  }
  return false;
}

// Whether the open file holds a PEM key anywhere: read in chunks, the start of the last line
// kept across their seams. False with *why set when it cannot be read.
bool file_holds_pem_key(int fd, int* why) {
  std::string window = "\n";  // the file's start is a line's start
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = errno;
      return false;
    }
    if (n == 0) return pem_key_in(window);
    window.append(buf, static_cast<size_t>(n));
    if (pem_key_in(window)) return true;
    // The last line's start (its '\n' with it), or its last 80 bytes, for the next chunk: a
    // marker that began further back was seen whole already.
    const size_t nl = window.rfind('\n');
    size_t keep = nl == std::string::npos ? 0 : nl;
    if (window.size() - keep > 80) keep = window.size() - 80;
    window.erase(0, keep);
  }
}

}  // namespace

bool may_replace(const std::string& out, const std::vector<std::string>& keys, std::string* err) {
  struct stat o, k;
  if (out == "-" || stat(out.c_str(), &o) != 0) return true;  // nothing there to replace
  for (const std::string& key : keys) {
    if (stat(key.c_str(), &k) != 0 || k.st_dev != o.st_dev || k.st_ino != o.st_ino) continue;
    *err = out + " is the key file " + key + ": writing it would destroy the key; name another";
    return false;
  }
  if (!S_ISREG(o.st_mode)) {
    *err = out + " is " + (S_ISDIR(o.st_mode) ? "a directory" : "not a regular file") +
           ": the output is replaced whole, and a file would take its place; name a file, or - "
           "for standard output";
    return false;
  }
  // Every file kivrule writes is at most a rule file's size; one far larger is something else,
  // and it is not read through to make sure.
  if (static_cast<unsigned long long>(o.st_size) > kLargestOutput) {
    *err = out + " holds " + std::to_string(static_cast<long long>(o.st_size)) +
           " bytes, far more than any rule file: it is not replaced; name another";
    return false;
  }
  const int fd = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int why = fd < 0 ? errno : 0;
  const bool key = fd >= 0 && file_holds_pem_key(fd, &why);
  if (fd >= 0) ::close(fd);
  if (why != 0) {
    *err = out + ": " + std::strerror(why) +
           ": it cannot be read to make sure it holds no key, so it is not written; name another";
    return false;
  }
  if (!key) return true;
  *err = out +
         " holds a PEM key: kivrule never writes over a key (a lost signing key cannot be "
         "made again); name another";
  return false;
}

bool write_whole_file(const std::string& path, const std::string& data, std::string* err) {
  if (path == "-") {
    if (std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0)
      return true;
    *err = "cannot write standard output";
    return false;
  }
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    *err = path + ": " + std::strerror(errno);
    return false;
  }
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0644 & ~mask) == 0 && write_all(fd, data) && fsync(fd) == 0;
  int why = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    why = errno;
  }
  if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    why = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    *err = path + ": " + std::strerror(why);
  }
  return ok;
}

bool write_new_file(const std::string& path, const std::string& data, mode_t mode,
                    std::string* err) {
  // O_EXCL: an existing file, or a link at the name, is refused, never written through.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) {
    *err = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, mode) == 0 && write_all(fd, data) && fsync(fd) == 0;
  int why = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    why = errno;
  }
  if (!ok) {
    ::unlink(path.c_str());
    *err = path + ": " + std::strerror(why);
  }
  return ok;
}

int load_rule_text(const std::string& path, rule_text* out, std::string* err, EVP_PKEY* key) {
  std::string data;
  *out = rule_text{};
  out->name = input_name(path);
  if (int status = read_input(path, &data, err)) return status;
  take_rule_text(std::move(data), out, key);
  return KIVRULE_OK;
}

void take_rule_text(std::string data, rule_text* out, EVP_PKEY* key) {
  out->sig = split_signed(data);
  out->magic_last =
      data.size() >= KIV_SIG_MAGIC.size() &&
      data.compare(data.size() - KIV_SIG_MAGIC.size(), std::string::npos, KIV_SIG_MAGIC) == 0;
  if (key) out->verdict = verify_signed(data, key);
  out->container = has_container_magic(data.data(), data.size());
  if (!out->container) {
    out->json = std::move(data);
    return;
  }
  // The daemon restores every byte behind the header with the header's Ran; it never uses Len.
  // A well-formed signature trailer is not part of the container.
  const auto* h = reinterpret_cast<const unsigned char*>(data.data());
  auto le32 = [h](size_t at) {
    return static_cast<uint32_t>(h[at]) | (static_cast<uint32_t>(h[at + 1]) << 8) |
           (static_cast<uint32_t>(h[at + 2]) << 16) | (static_cast<uint32_t>(h[at + 3]) << 24);
  };
  out->len_field = le32(32);
  out->json = data.substr(KIV_HEADER_LEN, out->sig.container_len - KIV_HEADER_LEN);
  scramble_body(out->json.data(), out->json.size(), le32(36));
}

std::string text_position(const std::string& text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {  // a UTF-8 continuation byte is part of one character
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

json_object* json_u64(uint64_t v) {
  return json_object_new_uint64(v);
}

json_object* json_text(const std::string& s) {
  return json_object_new_string_len(s.data(),
                                    static_cast<int>(std::min<size_t>(s.size(), INT_MAX)));
}

std::string json_problem(const std::string& text, size_t* end) {
  json_tokener* tok = json_tokener_new();
  if (!tok) return "out of memory";
  // As the daemon parses: up to the first zero byte, which ends the text.
  const size_t len = std::strlen(text.c_str());
  json_object* doc = json_tokener_parse_ex(tok, text.c_str(),
                                           static_cast<int>(std::min<size_t>(len + 1, INT_MAX)));
  const size_t at = json_tokener_get_parse_end(tok);
  std::string problem;
  if (!doc) {
    const json_tokener_error e = json_tokener_get_error(tok);
    problem = text_position(text, at) + ": " + json_error_words(e);
    if (at < len && e != json_tokener_error_parse_eof) {
      const unsigned char c = static_cast<unsigned char>(text[at]);
      char found[32];
      std::snprintf(found, sizeof found,
                    c > 0x20 && c < 0x7f ? " (found '%c')" : " (found byte 0x%02x)", c);
      problem += found;
    }
  } else if (end) {
    *end = std::min(at, len);
  }
  json_object_put(doc);
  json_tokener_free(tok);
  return problem;
}

bool take_option(std::vector<std::string>* args, const std::string& name,
                 std::optional<std::string>* value, std::string* err) {
  bool seen = false;
  for (size_t i = 0; i < args->size();) {
    const std::string& a = (*args)[i];
    size_t taken = 0;
    std::string v;
    if (a == name) {
      if (i + 1 >= args->size()) {
        *err = name + " needs a value";
        return false;
      }
      v = (*args)[i + 1];
      taken = 2;
    } else if (a.compare(0, name.size() + 1, name + "=") == 0) {
      v = a.substr(name.size() + 1);
      taken = 1;
    } else {
      ++i;
      continue;
    }
    if (seen) {
      *err = name + " is given more than once";
      return false;
    }
    seen = true;
    *value = v;
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i + taken));
  }
  return true;
}

bool take_flag(std::vector<std::string>* args, const std::string& name, bool* present,
               std::string* err) {
  *present = false;
  for (size_t i = 0; i < args->size();) {
    const std::string& a = (*args)[i];
    if (a.compare(0, name.size() + 1, name + "=") == 0) {
      *err = name + " takes no value";
      return false;
    }
    if (a != name) {
      ++i;
      continue;
    }
    if (*present) {
      *err = name + " is given more than once";
      return false;
    }
    *present = true;
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i));
  }
  return true;
}

bool take_identity_options(std::vector<std::string>* args, router_identity* id, std::string* err,
                           bool* fwver_cut, bool* given) {
  std::optional<std::string> fwver, mac;
  if (!take_option(args, "--productid", &id->productid, err)) return false;
  if (!take_option(args, "--odmpid", &id->odmpid, err)) return false;
  if (!take_option(args, "--fwver", &fwver, err)) return false;
  if (!take_option(args, "--label-mac", &mac, err)) return false;
  if (given) *given = id->productid || id->odmpid || fwver || mac;
  // Without --fwver, the daemon's own form of unset firmware keys; cut as the daemon cuts it.
  id->device_fwver = fwver ? *fwver : "._";
  if (fwver_cut) *fwver_cut = id->device_fwver.size() > KIV_FWVER_MAX;
  if (id->device_fwver.size() > KIV_FWVER_MAX) id->device_fwver.resize(KIV_FWVER_MAX);
  if (mac) id->label_mac = *mac;
  return true;
}

static_assert(KIV_MAX_RING_SLOTS == 1048576, "the rejection below names the bound");

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
    case RULES_RINGS_TOO_BIG:
      return "the rings of the active rules together hold more than 1048576 match times";
    case RULES_BAD_PERIOD:
      return "its period is negative";
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
