// The signature trailer: split_signed and verify_signed on arbitrary bytes as a downloaded file,
// and the writer's side on a container of the input's text (after its first eight bytes, which
// give the serial and the stage): signed, it verifies; one byte changed or the file cut, it never
// does.
#include "support.h"
#include "update/rule_signature.h"

// Kept to the end of the process: freed by a static destructor, they would be freed after
// OpenSSL's own clean-up at exit.
static EVP_PKEY *signer, *verifier;

static void judge(std::string_view file) {
  signed_parts p;
  const rule_sig v = verify_signed(file, verifier, &p);
  const std::string_view last = file.size() >= 8 ? file.substr(file.size() - 8) : "";
  const bool staged = last == KIV_STAGED_MAGIC, magic_last = staged || last == KIV_SIG_MAGIC;
  const bool box = has_container_magic(file.data(), file.size());
  const uint64_t own = box ? KIV_HEADER_LEN + le(file, 32, 4) : 0;
  if (p.trailer == rule_sig::ok) {
    check(v == rule_sig::ok || v == rule_sig::wrong, "a well-formed trailer is verified");
    const size_t len = staged ? KIV_STAGED_TRAILER_LEN : KIV_SIG_TRAILER_LEN;
    check(box && magic_last && own == p.container_len && file.size() == own + len &&
              p.serial == le(file, p.container_len, 8),
          "a trailer is well-formed only behind a container of 40 + Len bytes");
    check(staged ? p.stage >= 1 && p.stage <= 99 && p.stage == le(file, own + 72, 4)
                 : p.stage == KIV_FULL_STAGE,
          "a staged trailer's stage is 1..99, the other kind's 100");
    return;
  }
  check(v == p.trailer && p.container_len == file.size(), "no trailer: the verdict, whole file");
  check((p.trailer == rule_sig::malformed) == (magic_last || (box && file.size() > own)),
        "malformed: the magic at the end, or bytes behind the container, but no whole trailer");
}

void init() {
  std::string private_pem, public_pem;
  rule_key s, v;
  check(generate_key_pair(&private_pem, &public_pem) == rule_sig::ok &&
            private_key_from_pem(private_pem, &s) == rule_sig::ok &&
            public_key_from_pem(public_pem, &v) == rule_sig::ok,
        "a key pair");
  signer = s.release();
  verifier = v.release();
}

void one(const std::string& input) {
  judge(input);
  if (input.size() < 8) return;
  const uint64_t serial = le(input, 0, 8);
  const std::string box = make_container(input.substr(8), static_cast<uint32_t>(serial));
  std::string file, again, whole;
  const uint32_t stage = static_cast<uint32_t>(serial >> 32) % 100 + 1;
  check(sign_container(box, serial, signer, &file, stage) == rule_sig::ok, "a container is signed");
  signed_parts p;
  check(verify_signed(file, verifier, &p) == rule_sig::ok && p.serial == serial &&
            p.stage == stage && p.container_len == box.size() &&
            file.compare(0, box.size(), box) == 0,
        "signed, it verifies: the container unchanged, the serial and stage kept");
  const size_t set_signed = box.size() + 8;
  check(sign_container(box, serial, signer, &whole) == rule_sig::ok &&
            whole.compare(0, set_signed, file, 0, set_signed) == 0 &&
            (stage == KIV_FULL_STAGE) ==
                (whole.compare(0, set_signed + 64, file, 0, set_signed + 64) == 0),
        "container and serial as for every router; a staged set signature of its own");
  check(stage == KIV_FULL_STAGE ||
            verify_signed(file.substr(0, set_signed + 64) + std::string(KIV_SIG_MAGIC), verifier) ==
                rule_sig::wrong,
        "a staged set cut to a set for every router never verifies");
  judge(file);
  check(sign_container(file, serial, signer, &again) == rule_sig::malformed,
        "a signed file is not signed again");
  const size_t at = static_cast<size_t>(serial % file.size());
  std::string altered = file;
  altered[at] = static_cast<char>(altered[at] ^ (input[at % input.size()] | 1));
  check(verify_signed(altered, verifier) != rule_sig::ok, "a changed byte never verifies");
  check(verify_signed(std::string_view(file).substr(0, at), verifier) != rule_sig::ok,
        "a cut file never verifies");
}
