#include "support/rule_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace kivtest {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

rule_server::rule_server(const std::string& parent) {
  dir = parent + "/rule_server";
  mkdir(dir.c_str(), 0755);
  std::string script = std::string(KIV_SOURCE_DIR) + "/tests/support/rule_server.py";
  std::string control = dir + "/control.json";
  answer(200, "");
  pid = fork();
  if (pid == 0) {
    execlp("python3", "python3", script.c_str(), "--dir", dir.c_str(), "--control", control.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return;
  for (int i = 0; i < 600 && port == 0; ++i) {  // certificate generation takes a moment
    std::string p = slurp(dir + "/port");
    if (!p.empty())
      port = std::stoi(p);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

rule_server::~rule_server() {
  stop();
}

void rule_server::stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

std::string rule_server::url() const {
  return "https://127.0.0.1:" + std::to_string(port);
}
namespace {

std::string listener_url(const std::string& dir, const char* port_file) {
  std::string p = slurp(dir + "/" + port_file);
  return "https://127.0.0.1:" + (p.empty() ? std::string("1") : std::to_string(std::stoi(p)));
}

}  // namespace

std::string rule_server::garbage_url() const {
  return listener_url(dir, "garbage_port");
}
std::string rule_server::wrong_name_url() const {
  return listener_url(dir, "wrong_name_port");
}
std::string rule_server::untrusted_url() const {
  return listener_url(dir, "untrusted_port");
}

std::string rule_server::refused_url() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 1;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) close(fd);  // never listened on: a connection is refused
  return "https://127.0.0.1:" + std::to_string(port);
}

std::string rule_server::ca() const {
  return dir + "/ca.pem";
}
std::string rule_server::wrong_ca() const {
  return dir + "/wrong_ca.pem";
}
std::string rule_server::requests() const {
  return slurp(dir + "/requests.jsonl");
}

void rule_server::answer(int status, const std::string& body, double delay, bool stall) const {
  std::string body_path = dir + "/body.bin";
  {
    std::ofstream out(body_path, std::ios::binary | std::ios::trunc);
    out << body;
  }
  std::string tmp = dir + "/control.tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << "{\"status\": " << status << ", \"body_file\": \"" << body_path
        << "\", \"delay\": " << delay << ", \"stall\": " << (stall ? "true" : "false") << "}\n";
  }
  rename(tmp.c_str(), (dir + "/control.json").c_str());
}

void rule_server::answer_fault(const std::string& mode, long long huge_bytes) const {
  std::string tmp = dir + "/control.tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << "{\"status\": 200, \"mode\": \"" << mode << "\", \"huge_bytes\": " << huge_bytes
        << "}\n";
  }
  rename(tmp.c_str(), (dir + "/control.json").c_str());
}

}  // namespace kivtest
