#include "update/signed_sets.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "core/flash_files.h"
#include "core/hex_text.h"
#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/syslog_lines.h"
#include "platform/platform.h"
#include "update/rule_signature.h"
#include "update/rule_stage.h"

namespace {

constexpr const char* kSerialName = KIV_SERIAL_NAME;
constexpr size_t kSerialFileMax = 256;

struct installed_serial {
  uint64_t serial = 0;
  std::string signature;  // hexadecimal, as in the file
};

// The signature bytes of a signed container whose trailer is well-formed.
std::string_view signature_of(std::string_view file, const signed_parts& p) {
  return file.substr(p.container_len + 8, KIV_SIG_LEN);
}

std::string key_path() {
  return nvram_safe_get("kiv_rule_pubkey");
}

// The file's line for a signed set: the serial in 16 and the signature in 128 hexadecimal digits.
std::string record_line(uint64_t serial, std::string_view signature) {
  std::string big_endian(8, '\0');
  for (size_t i = 0; i < 8; ++i) big_endian[i] = static_cast<char>(serial >> (56 - 8 * i));
  return hex_text(big_endian) + " " + hex_text(signature) + "\n";
}

// The bytes of lowercase hexadecimal text; empty when it is not such text.
std::string bytes_of_hex(const std::string& hex) {
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return "";
    out += static_cast<char>(hi << 4 | lo);
  }
  return hex.size() % 2 ? "" : out;
}

bool parse_line(const std::string& text, installed_serial* s) {
  if (text.size() != 16 + 1 + 2 * KIV_SIG_LEN + 1 || text[16] != ' ' || text.back() != '\n')
    return false;
  s->serial = 0;
  for (size_t i = 0; i < 16; ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    s->serial = (s->serial << 4) | static_cast<uint64_t>(digit);
  }
  s->signature = text.substr(17, 2 * KIV_SIG_LEN);
  return true;
}

// The serial of the installed signed set; none when there is none. A record that cannot be read
// is set aside: the next signed set starts it anew (who can write the flash can do worse).
std::optional<installed_serial> read_installed() {
  owned_fd dir = open_flash_dir(false);
  std::string text;
  if (dir.fd < 0) return std::nullopt;
  const flash_read_result got = flash_read(dir, kSerialName, kSerialFileMax, &text);
  if (got == flash_read_result::missing) return std::nullopt;
  installed_serial s;
  if (got == flash_read_result::ok && parse_line(text, &s)) return s;
  KIV_LOG("Cannot read [%s/%s], it is set aside\n", KIV_FLASH_DIR, kSerialName);
  flash_set_aside(dir, kSerialName);
  return std::nullopt;
}

// The set in force, as the install step (main thread, or start-up) left it: what it came with.
std::optional<installed_serial> in_force;

set_check refuse(set_check c, const std::string& why, refusal kind = refusal::signature) {
  c.verdict = set_verdict::refused;
  c.reason = why;
  c.counted_as = kind;
  return c;
}

// A well-formed staged trailer whose stage leaves this router out: refused, the set in force stays.
set_check keep_to_stage(set_check c) {
  if (c.parts.trailer != rule_sig::ok) return c;
  const std::optional<std::string> why = stage_refusal(c.parts.stage, router_bucket());
  if (!why) return c;
  c = refuse(c, *why, refusal::stage);
  c.staged_out = true;
  return c;
}

}  // namespace

set_check check_rule_set(std::string_view file) {
  set_check c;
  c.parts = split_signed(file);
  const std::string path = key_path();
  if (path.empty()) {
    // No key: a trailer, whole or not, is left out or read as before; its stage is kept to.
    if (c.parts.trailer != rule_sig::ok) c.parts.container_len = file.size();
    return keep_to_stage(c);
  }
  c.keyed = true;
  rule_key key;
  const rule_sig loaded = load_public_key(kiv_path(path.c_str()), &key);
  c.blameless = loaded != rule_sig::ok;
  if (loaded != rule_sig::ok)
    return refuse(
        c, std::string(rule_sig_text(loaded)) + " [" + path + "]" +
               (loaded == rule_sig::key_unreadable ? ": " + std::string(strerror(errno)) : ""));
  const rule_sig verdict = verify_signed(file, key.get(), &c.parts);
  c.blameless = verdict == rule_sig::crypto_failure;
  if (verdict != rule_sig::ok) return refuse(c, rule_sig_text(verdict));
  const std::optional<installed_serial> held = read_installed();
  if (!held) return keep_to_stage(c);
  const uint64_t serial = c.parts.serial;
  if (serial < held->serial)
    return refuse(c,
                  "serial " + std::to_string(serial) + " is below the installed set's " +
                      std::to_string(held->serial),
                  refusal::serial);
  if (serial == held->serial) {
    const std::string signature = hex_text(signature_of(file, c.parts));
    // A set staged and then signed for every router carries another set signature (a staged
    // one never signs what a set for every router signs): the recorded one is checked on this
    // file's container and serial.
    auto same_set = [&](const std::string& recorded) {
      return recorded == signature ||
             signs_the_same_set(file, c.parts, bytes_of_hex(recorded), key.get());
    };
    if (!same_set(held->signature))
      return refuse(
          c, "serial " + std::to_string(serial) + " is the installed set's, with other bytes",
          refusal::serial);
    // After a restart without the rule cache the record outlives the set: it is taken again.
    if (!in_force || in_force->serial != serial || !same_set(in_force->signature))
      return keep_to_stage(c);
    // The set this router holds, re-signed for another stage or not: no update either way.
    c.verdict = set_verdict::same;
    c.reason = "the installed set, serial " + std::to_string(serial);
    return c;
  }
  return keep_to_stage(c);
}

void tell_not_taken(const set_check& c, const char* func, int line) {
  kiv_log(func, line, "Rule file not taken: %s\n", c.reason.c_str());
  if (c.staged_out)
    logmessage_normal(KIV_SYSLOG_TAG, "%s\n", kiv_rules_not_taken_line(c.reason).c_str());
}

void keep_rule_serial(std::string_view file, const set_check& c) {
  in_force.reset();
  if (c.parts.trailer == rule_sig::ok)
    in_force = installed_serial{c.parts.serial, hex_text(signature_of(file, c.parts))};
  if (!c.keyed || c.parts.trailer != rule_sig::ok) return;
  const std::optional<installed_serial> held = read_installed();
  const std::string_view signature = signature_of(file, c.parts);
  // The flash wears with every write: the record of this very set stays as it is.
  if (held && held->serial == c.parts.serial && held->signature == hex_text(signature)) return;
  const std::string text = record_line(c.parts.serial, signature);
  owned_fd dir = open_flash_dir(true);
  if (dir.fd >= 0 && flash_replace(dir, kSerialName, text.data(), text.size()))
    KIV_LOG("Rule set serial %llu kept in [%s/%s]\n",
            static_cast<unsigned long long>(c.parts.serial), KIV_FLASH_DIR, kSerialName);
  else
    KIV_LOG("Cannot keep the rule set serial in [%s/%s]\n", KIV_FLASH_DIR, kSerialName);
}

uint64_t serial_in_force() {
  return in_force ? in_force->serial : 0;
}

// The set in force, not the flash record: after a restart without the rule cache the record
// outlives the set, and a server told its serial would answer "no update" to a router that holds
// nothing. The record keeps its one job, refusing a lower serial (check_rule_set).
std::optional<uint64_t> request_rule_serial() {
  if (key_path().empty()) return std::nullopt;
  return serial_in_force();
}
