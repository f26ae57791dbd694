// Starts tests/support/rule_server.py (a loopback HTTPS rule server with a throw-away CA) for
// one test, sets its answers and reads the requests it recorded.
#pragma once

#include <sys/types.h>

#include <string>

namespace kivtest {

struct rule_server {
  std::string dir;  // certificates, port, control.json, requests.jsonl
  pid_t pid = -1;
  int port = 0;

  // Starts the server in a fresh directory below `parent`; port 0 when it failed to come up.
  explicit rule_server(const std::string& parent);
  ~rule_server();  // SIGTERM, then SIGKILL
  rule_server(const rule_server&) = delete;
  rule_server& operator=(const rule_server&) = delete;

  std::string url() const;       // "https://127.0.0.1:PORT"
  std::string ca() const;        // the CA that signed the server certificate
  std::string wrong_ca() const;  // a CA that did not
  // The next answers: status, body bytes, seconds of delay, or a stall without any byte.
  void answer(int status, const std::string& body, double delay = 0, bool stall = false) const;
  // The next answers are faulty, after the request has been read: "reset" (TCP reset),
  // "garbage" (no HTTP inside TLS), "huge" (`huge_bytes` of body without a length),
  // "stall_body" (half the body, then silence).
  void answer_fault(const std::string& mode, long long huge_bytes = 0) const;

  // Other addresses with faults of their own, up as long as the server is.
  std::string garbage_url() const;     // a listener that speaks no TLS at all
  std::string wrong_name_url() const;  // the right CA's certificate for another host name
  std::string untrusted_url() const;   // the right name, signed by a CA the client does not trust
  // An address on which nothing listens: a port that was bound and let go again.
  static std::string refused_url();
  std::string requests() const;  // one JSON record per line
  void stop();
};

}  // namespace kivtest
