#include "support/rule_server.h"

#include <signal.h>
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

}  // namespace kivtest
