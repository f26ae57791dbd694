// kivrule: make, open, check and try out kiv rule files with the daemon's own code.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "core/kiv_log.h"
#include "tools/kivrule/kivrule.h"

namespace {

const char kUsage[] =
    "usage: kivrule COMMAND ...\n"
    "\n"
    "  pack IN.json OUT [--ran N] [--force]\n"
    "      check that IN.json is a JSON array and write it as a scrambled rule container\n"
    "      (Ran is random unless given; 0..4294967295 or a negative 32-bit number). The\n"
    "      file must pass check (without identity) unless --force is given.\n"
    "  unpack IN [OUT] [--pubkey KEY.pub]\n"
    "      restore the JSON text of a container (to standard output without OUT), without\n"
    "      its signature trailer, whose serial and stage it shows (on standard error\n"
    "      without OUT); exit 1 when the body is not Len bytes long (the container was cut\n"
    "      short or added to), or with --pubkey when a router holding that key would\n"
    "      refuse the file\n"
    "  check FILE [--productid P] [--odmpid O] [--fwver F] [--label-mac M]\n"
    "        [--pubkey KEY.pub] [--verbose]\n"
    "      load FILE (container or plain JSON) as the daemon would and report every rule:\n"
    "      active or the first filter that fails, whether its pattern compiles, frequency\n"
    "      and period, its actions and their checks. With identity options it judges that\n"
    "      one router; without any, every rule on the router it names (its own model,\n"
    "      odmpid, target_fwver and the first MAC of its label_mac) and the file on every\n"
    "      such router, as a file on the rule server serves them all.\n"
    "      --fwver is the router's firmver.buildno_extendno (\"._\" when not given);\n"
    "      --verbose also prints the reader's log records of the load to standard error;\n"
    "      --pubkey also judges the signature trailer as a router holding that key does.\n"
    "      Exit 1 when the daemon of a router judged would reject the file (not JSON, not\n"
    "      an array, a pattern that does not compile or is refused as too costly, a ring\n"
    "      that cannot be allocated or a negative period in an active rule) or an active\n"
    "      rule cannot work: no\n"
    "      re_pattern, frequency absent or 0, no action items, or an item with blanks in\n"
    "      it (items are run as written). A rule with Global_Pause and no re_pattern,\n"
    "      frequency or action is a pause switch and needs none of them. Warnings, which\n"
    "      keep exit 0: unknown keys, period 0 with frequency above 1, a pattern that\n"
    "      matches every line, a pattern that matches one of kiv's own system-log lines\n"
    "      (the rule then fires on kiv's doing, and heals in a loop on the line its own\n"
    "      action writes), a group with an anchor in it repeated by + or a count above 1\n"
    "      (there kiv's verdict, POSIX's, and the C library's can differ), a frequency or\n"
    "      period written with a fraction or an exponent\n"
    "      (read as its leading digits: \"3.6e3\" is 3), text after the array, a zero\n"
    "      byte in the text, a Len that is not the body length.\n"
    "  keygen NAME\n"
    "      make an Ed25519 key pair for signing rule sets: NAME.key, the private key\n"
    "      (PEM, mode 0600), and NAME.pub, the public key for the router's firmware image\n"
    "      (PEM). Neither may exist already: a key is never replaced.\n"
    "  sign --key NAME.key --serial N [--stage P] IN OUT [--force]\n"
    "      write IN, a container as pack writes it, with a signature trailer behind it:\n"
    "      the serial N (1..18446744073709551615) and an Ed25519 signature over the\n"
    "      container and the serial. IN must pass check (without identity) and N may not\n"
    "      be above 2^63 (few or no later sets could follow it) unless --force is given.\n"
    "      A router holding the public key installs only signed files and none with a\n"
    "      lower serial than the set it holds; other routers read the file as before.\n"
    "      --stage P (1..100, default 100) stages the set for P% of the routers:\n"
    "      a router takes it only when its bucket (see bucket) is below P, and the stage\n"
    "      is signed too; the same set signed again at a higher stage reaches more\n"
    "      routers, and those that hold it already take it as no update\n"
    "  verify --pubkey NAME.pub FILE\n"
    "      print FILE's serial and stage and the verdict of a router holding NAME.pub:\n"
    "      exit 0 only for a valid signature, 1 for a missing, malformed or wrong one\n"
    "  bucket LABEL_MAC ...\n"
    "      print the bucket of each router (0..99: the first four hexadecimal digits of\n"
    "      the MD5 of its label_mac, the request's IDENT, modulo 100) and its IDENT\n"
    "  replay RULES LOG [--productid P] [--odmpid O] [--fwver F] [--label-mac M]\n"
    "         [--clock log|rate=N] [--heal-limit N] [--json]\n"
    "      load RULES as check does and walk LOG through the daemon's own matching and\n"
    "      frequency window: each line in pieces of at most 255 characters, line end\n"
    "      trimmed, over every active rule in order. The clock is each line's\n"
    "      \"MMM dd HH:MM:SS\" time stamp (a line without one keeps the time before\n"
    "      it; a stamp more than half a year back starts the next year, a smaller step back\n"
    "      holds the clock) or, with rate=N, N lines per second. A rule fires at the piece\n"
    "      that fills its ring within its period, and its ring is then emptied as after a\n"
    "      healing run. --heal-limit N holds back, as kiv_heal_limit N does, the fires of a\n"
    "      rule beyond N within an hour of the replay clock. Reports per rule its matches\n"
    "      and every fire (line, time, actions or held back), a summary table, the active\n"
    "      rules that matched nothing and those that match\n"
    "      kiv's own lines; --json gives the same report as JSON. Nothing is carried out;\n"
    "      progress goes to standard error.\n"
    "      Exit 1 when the daemon would reject RULES or LOG has no lines.\n"
    "      Where the daemon can differ: its trigger looks at one rule every 2 s, so a burst\n"
    "      of matches between two looks fires once where replay fires at every filled ring,\n"
    "      and a fire may come somewhat later in the log; while a healing run lasts (up to\n"
    "      minutes) no line is walked, and lines written meanwhile are matched afterwards\n"
    "      (with the times they came at; beyond 1 MiB of them the rest are dropped); only\n"
    "      one rule heals at a time; a reload of the rule set empties\n"
    "      every ring; its clock is the uptime, which a time stamp can only stand in for.\n"
    "  test RULES... [--samples FILE] [--no-overlap]\n"
    "      walk every rule's sample lines through the daemon's own reader and matcher, on\n"
    "      the router each rule names. The samples of X.json are in X.samples (or FILE, for\n"
    "      one RULES file): \"[keyword]\" starts a rule's samples, \"+ LINE\" is a system\n"
    "      log line it must match, \"- LINE\" one it must not, \"#\" a comment. Exit 1\n"
    "      when a sample does the wrong thing, a rule has fewer than two lines to match or\n"
    "      none not to match, two rules share a keyword, a section names no rule, or the\n"
    "      daemon would refuse the file; a line to match that other rules match too is\n"
    "      noted, and fails with --no-overlap\n"
    "  pick --model M [--odmpid O] [--fwver F] [--label-mac L] OUT LIBRARY.json[:kw,...] ...\n"
    "      write OUT, one rule file for a model: the rules of each library file (or those\n"
    "      named by keyword) with model, odmpid, target_fwver and label_mac set as given\n"
    "      (those not given left out). OUT must pass check (without identity); a keyword\n"
    "      picked twice is refused\n"
    "  fleet LOG [--base SERIAL] [--serial SERIAL] [--factor X] [--min-routers N]\n"
    "        [--floor R]\n"
    "      read a rule server's request log (one JSON object a line: the request's form\n"
    "      fields by name, KivReport as JSON text or object, time in Unix seconds, and\n"
    "      optionally status, stage and published) and print per serial and stage the\n"
    "      routers reporting, the router-days their reports cover, reboots and per rule\n"
    "      fires, heals and unconfirmed heals per 1,000 router-days. Only reports answered\n"
    "      200 count (a router sends the others again); a report is in the stage published\n"
    "      with it when the serial published is its own, else in stage -. Then the serial\n"
    "      in rollout (--serial, or the newest reported) against --base (or the newest\n"
    "      older one reported; none: every base rate is 0): \"verdict: halt\" and exit 1\n"
    "      when at least N routers (--min-routers, 20) report the rollout serial and its\n"
    "      reboots or some rule's fires per 1,000 router-days are more than X times\n"
    "      (--factor, 2) the base's, a base rate under R (--floor, 100) counting as R, so\n"
    "      a base of 0 or a rule new in the set halts only above X times R; it names what\n"
    "      rose. Otherwise \"verdict: go on\" and exit 0. A line that is no request record\n"
    "      (not a JSON object, no time, longer than 65536 bytes) is named on standard\n"
    "      error by its number and makes the exit 2; a report that is not what a router\n"
    "      writes is refused and counted.\n"
    "  --version\n"
    "      the tool's version\n"
    "\n"
    "A file named - is standard input (one per command); key files are named files.\n"
    "An output (OUT) is never the input file, nor a key (a key file named on the command\n"
    "line or any file that holds a PEM key, private or public), nor what is no regular\n"
    "file (a device, a FIFO); it is replaced whole, through a temporary file.\n"
    "Options take their value as --opt VALUE or --opt=VALUE; each may be given once.\n"
    "JSON errors are given by line and column.\n"
    "Exit status: 0 good, 1 the rules would not work, 2 bad command line or unreadable input.\n";

// The reader refuses the pattern shapes known to take regcomp hundreds of megabytes. Should some
// other shape still exhaust memory, the tool's capped address space makes the pattern fail to
// compile ("Memory exhausted") and be reported as such, instead of the tool being killed for it.
// Sanitizer builds reserve far more address space for themselves and keep no cap.
void limit_memory() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  const rlim_t cap = static_cast<rlim_t>(1) << 30;
  struct rlimit rl;
  if (getrlimit(RLIMIT_AS, &rl) != 0) return;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur <= cap) return;
  rl.rlim_cur = cap;
  setrlimit(RLIMIT_AS, &rl);
#endif
}

int run(std::vector<std::string> args);

}  // namespace

// Whatever the input, the tool ends with a message and a status, never an abort.
int main(int argc, char** argv) {
  // The tool never writes the daemon's log file: the reader's records are dropped.
  kiv_log_to_stream(nullptr);
  limit_memory();
  try {
    return run(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const std::bad_alloc&) {
    std::fputs("kivrule: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivrule: %s\n", e.what());
  }
  return KIVRULE_USAGE;
}

namespace {

int run(std::vector<std::string> args) {
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return KIVRULE_USAGE;
  }
  const std::string cmd = args.front();
  args.erase(args.begin());
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return KIVRULE_OK;
  }
  if (cmd == "--version" || cmd == "version") {
    std::printf("kivrule %s\n", KIV_VERSION);
    return KIVRULE_OK;
  }
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return KIVRULE_OK;
    }
  }
  if (cmd == "pack") return kivrule_pack(args);
  if (cmd == "unpack") return kivrule_unpack(args);
  if (cmd == "check") return kivrule_check(args);
  if (cmd == "replay") return kivrule_replay(args);
  if (cmd == "keygen") return kivrule_keygen(args);
  if (cmd == "sign") return kivrule_sign(args);
  if (cmd == "verify") return kivrule_verify(args);
  if (cmd == "bucket") return kivrule_bucket(args);
  if (cmd == "fleet") return kivrule_fleet(args);
  if (cmd == "test") return kivrule_test(args);
  if (cmd == "pick") return kivrule_pick(args);
  std::fprintf(stderr, "kivrule: unknown command '%s'\n\n%s", cmd.c_str(), kUsage);
  return KIVRULE_USAGE;
}

}  // namespace
