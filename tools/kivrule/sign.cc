// kivrule keygen / sign / verify: Ed25519 key pairs, the signature trailer put behind a packed
// container, and a router's verdict on a file (update/rule_signature.h has the layout).
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/digest.h"
#include "tools/kivrule/kivrule.h"
#include "update/container.h"
#include "update/rule_stage.h"

namespace {

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "kivrule: %s\n", message.c_str());
  return status;
}

std::string serial_text(uint64_t serial) {
  return std::to_string(static_cast<unsigned long long>(serial));
}

// "P" as a stage: a whole number 1..100.
bool parse_stage(const std::string& text, uint32_t* stage) {
  uint64_t v = 0;
  if (text.size() > 3 || !parse_serial(text, &v) || v < 1 || v > KIV_FULL_STAGE) return false;
  *stage = static_cast<uint32_t>(v);
  return true;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The highest serial signed without --force.
constexpr uint64_t kSerialRoomy = uint64_t{1} << 63;

const char kRefused[] = ": a router with that key refuses the file and keeps its current rule set";

// What stands in the way of signing the file as a container that pack wrote; empty when nothing.
std::string unsignable(const rule_text& in) {
  if (in.sig.trailer == rule_sig::ok)
    return in.name + ": signed already (serial " + serial_text(in.sig.serial) +
           "); sign the container that pack wrote";
  if (!in.container) return in.name + ": not a rule container (no header); pack it first";
  // A body whose last bytes happen to spell the magic is still a container as pack wrote it.
  const std::string note = signature_note(in);
  if (in.len_field != in.json.size())
    return in.name + ": " + (note.empty() ? "" : note + "; ") + "the body holds " +
           std::to_string(in.json.size()) + " bytes but Len says " + std::to_string(in.len_field) +
           "; pack it again";
  return "";
}

}  // namespace

std::string key_problem(const std::string& path, rule_sig r, bool private_key) {
  const int why = errno;
  std::string words = path + ": " + rule_sig_text(r);
  struct stat st;
  if (r == rule_sig::key_unreadable)
    words += stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)
                 ? " (not a regular file)"
                 : std::string(" (") + std::strerror(why) + ")";
  if (r == rule_sig::key_too_large)
    words += " (more than " + std::to_string(KIV_SIG_KEY_FILE_MAX) + " bytes)";
  if (r == rule_sig::key_invalid)
    words += private_key ? " (needed: NAME.key, the private key that kivrule keygen writes)"
                         : " (needed: NAME.pub, the public key that kivrule keygen writes)";
  return words;
}

int take_public_key(std::vector<std::string>* args, rule_key* key, std::string* err,
                    std::string* given) {
  std::optional<std::string> path;
  if (!take_option(args, "--pubkey", &path, err)) return KIVRULE_USAGE;
  if (!path) return KIVRULE_OK;
  if (given) *given = *path;
  const rule_sig r = load_public_key(*path, key);
  if (r == rule_sig::ok) return KIVRULE_OK;
  *err = key_problem(*path, r, false);
  return KIVRULE_USAGE;
}

std::string stage_text(const signed_parts& sig) {
  if (sig.stage >= KIV_FULL_STAGE) return "stage 100 (every router)";
  return "stage " + std::to_string(sig.stage) + " (the routers in buckets 0.." +
         std::to_string(sig.stage - 1) + ")";
}

std::string signature_note(const rule_text& in) {
  std::string note;
  if (in.sig.trailer == rule_sig::ok) {
    note = "signed: serial " + serial_text(in.sig.serial) + ", " + stage_text(in.sig) + ", ";
    note += in.verdict ? rule_sig_text(*in.verdict) : "signature not checked (no --pubkey)";
  } else if (in.sig.trailer == rule_sig::malformed && (in.verdict || in.magic_last)) {
    note = "malformed trailer: not a container's 40 + Len bytes followed by one " +
           std::to_string(KIV_SIG_TRAILER_LEN) + "-byte signature trailer or one " +
           std::to_string(KIV_STAGED_TRAILER_LEN) + "-byte staged trailer of a stage 1..99";
  } else if (in.verdict) {
    note = std::string("no signature trailer: ") + rule_sig_text(*in.verdict);
  }
  return note;
}

int kivrule_keygen(std::vector<std::string> args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
    return fail("usage: kivrule keygen NAME", KIVRULE_USAGE);
  const std::string key_path = args[0] + ".key", pub_path = args[0] + ".pub";
  for (const std::string& p : {key_path, pub_path})
    if (exists(p))
      return fail(p + " exists: keygen never replaces a key (a lost signing key cannot be made "
                      "again); remove it or name another pair",
                  KIVRULE_USAGE);
  std::string private_pem, public_pem, err;
  if (generate_key_pair(&private_pem, &public_pem) != rule_sig::ok)
    return fail(rule_sig_text(rule_sig::crypto_failure), KIVRULE_USAGE);
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = write_new_file(key_path, private_pem, 0600, &err);
  OPENSSL_cleanse(private_pem.data(), private_pem.size());
  if (ok && !write_new_file(pub_path, public_pem, 0644 & ~mask, &err)) {
    ::unlink(key_path.c_str());  // made just now: a private key without its public half
    ok = false;
  }
  if (!ok) return fail(err, KIVRULE_USAGE);
  std::printf(
      "wrote %s (the private key, mode 0600: keep it off the rule server) and %s (the "
      "public key, for the router's firmware image)\n",
      key_path.c_str(), pub_path.c_str());
  return KIVRULE_OK;
}

int kivrule_sign(std::vector<std::string> args) {
  std::string err, why;
  std::optional<std::string> key_path, serial_given, stage_given;
  bool force = false;
  if (!take_option(&args, "--key", &key_path, &err) ||
      !take_option(&args, "--serial", &serial_given, &err) ||
      !take_option(&args, "--stage", &stage_given, &err) ||
      !take_flag(&args, "--force", &force, &err))
    return fail(err, KIVRULE_USAGE);
  if (args.size() != 2 || !key_path || !serial_given)
    return fail("usage: kivrule sign --key NAME.key --serial N [--stage P] IN OUT [--force]",
                KIVRULE_USAGE);
  uint64_t serial = 0;
  if (!parse_serial(*serial_given, &serial))
    return fail("--serial needs a number 1..18446744073709551615, not '" + *serial_given + "'",
                KIVRULE_USAGE);
  // 0 is what a router that holds no signed set asks with: a server answers it "no update".
  if (serial == 0)
    return fail(
        "--serial 0 is no set's serial: serials start at 1 (a router that holds no signed "
        "set asks with serial 0, and would never be sent this set)",
        KIVRULE_USAGE);
  // A router never takes a lower serial than the set it holds: a serial near the top leaves
  // little or no room for the sets that must follow it.
  if (serial > kSerialRoomy && !force)
    return fail("--serial " + serial_text(serial) + " is above 2^63 (" + serial_text(kSerialRoomy) +
                    "): a router that takes it refuses every set with a lower serial, so few or "
                    "no later sets could follow it; --force signs it all the same",
                KIVRULE_USAGE);
  uint32_t stage = KIV_FULL_STAGE;
  if (stage_given && !parse_stage(*stage_given, &stage))
    return fail("--stage needs a whole number 1..100 (the percentage of routers), not '" +
                    *stage_given + "'",
                KIVRULE_USAGE);
  if (!distinct_output(args[0], args[1], &err) || !may_replace(args[1], {*key_path}, &err))
    return fail(err, KIVRULE_USAGE);
  rule_key key;
  if (rule_sig r = load_private_key(*key_path, &key); r != rule_sig::ok)
    return fail(key_problem(*key_path, r, true), KIVRULE_USAGE);
  std::string data;
  if (int status = read_input(args[0], &data, &err)) return fail(err, status);
  rule_text in;
  in.name = input_name(args[0]);
  take_rule_text(data, &in);
  if (std::string problem = unsignable(in); !problem.empty())
    return fail(problem, KIVRULE_REJECTED);
  if (!force && check_before_writing(args[0], in.json, "signs", &why) != KIVRULE_OK)
    return fail(why, KIVRULE_REJECTED);
  std::string out;
  if (rule_sig r = sign_container(data, serial, key.get(), &out, stage); r != rule_sig::ok)
    return fail(rule_sig_text(r), KIVRULE_REJECTED);
  if (!write_whole_file(args[1], out, &err)) return fail(err, KIVRULE_USAGE);
  signed_parts made;
  made.stage = stage;
  const std::string staged = stage_given ? ", " + stage_text(made) : "";
  std::fprintf(args[1] == "-" ? stderr : stdout, "signed %s into %s: serial %s%s, %zu bytes\n",
               input_name(args[0]).c_str(), args[1] == "-" ? "standard output" : args[1].c_str(),
               serial_text(serial).c_str(), staged.c_str(), out.size());
  return KIVRULE_OK;
}

int kivrule_verify(std::vector<std::string> args) {
  std::string err;
  rule_key key;
  if (int status = take_public_key(&args, &key, &err)) return fail(err, status);
  if (args.size() != 1 || !key)
    return fail("usage: kivrule verify --pubkey NAME.pub FILE", KIVRULE_USAGE);
  rule_text in;
  if (int status = load_rule_text(args[0], &in, &err, key.get())) return fail(err, status);
  std::string what = in.container ? "rule container without a signature trailer"
                                  : "not a rule container (no header)";
  if (in.sig.trailer == rule_sig::ok)
    what = "signed container, serial " + serial_text(in.sig.serial) + ", " + stage_text(in.sig) +
           ", body of " + std::to_string(in.json.size()) + " bytes";
  if (in.sig.trailer == rule_sig::malformed) what = signature_note(in);
  std::printf("%s: %s\n", in.name.c_str(), what.c_str());
  const rule_sig v = *in.verdict;
  std::printf("verdict: %s%s\n", rule_sig_text(v), v == rule_sig::ok ? "" : kRefused);
  return v == rule_sig::ok ? KIVRULE_OK : KIVRULE_REJECTED;
}

int kivrule_bucket(std::vector<std::string> args) {
  if (args.empty()) return fail("usage: kivrule bucket LABEL_MAC [LABEL_MAC ...]", KIVRULE_USAGE);
  for (const std::string& mac : args) {
    const std::string ident = md5_hex(mac);
    // The MAC is shown as given, unless it would break the line: one that holds control bytes
    // (a line end could forge a line of its own) or runs long is shown quoted and cut.
    const bool plain = mac.size() <= 64 && std::none_of(mac.begin(), mac.end(), [](char c) {
                         return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                       });
    const std::string shown = plain ? mac : quoted_text(mac, 64, true);
    std::printf("%s: bucket %d (IDENT %s)\n", shown.c_str(), bucket_of_ident(ident), ident.c_str());
  }
  return KIVRULE_OK;
}
