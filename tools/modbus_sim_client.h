// Runs the bench kit's modbus_sim as a child process and talks to it over its
// standard input and output (tests and benchmarks).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

class ModbusSim {
 public:
  struct Device {
    bool tcp = true;
    int port = 0;      // TCP
    std::string path;  // RTU: the pty slave the gateway opens
  };

  // The built binary: $MODBUS_SIM, else modbus_sim next to the running program.
  static std::string binary() {
    if (const char* env = std::getenv("MODBUS_SIM")) return env;
    char self[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? static_cast<size_t>(n) : 0);
    return dir.substr(0, dir.rfind('/') + 1) + "modbus_sim";
  }
  static bool available() { return ::access(binary().c_str(), X_OK) == 0; }

  // Starts the sim with the given arguments and waits for "ready"; false when
  // it could not be started.
  bool start(std::vector<std::string> args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::string bin = binary();
    std::vector<char*> argv{bin.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    to_sim_ = in[1];
    from_sim_ = out[0];
    if (rc != 0) pid_ = -1;
    // "device <i> tcp <host> <port>" or "device <i> rtu <path>" per device.
    for (auto line = read_line(); rc == 0 && line; line = read_line()) {
      if (*line == "ready") return true;
      std::istringstream words(*line);
      std::string word, kind, host;
      int index = 0;
      Device d;
      words >> word >> index >> kind;
      d.tcp = kind == "tcp";
      if (d.tcp)
        words >> host >> d.port;
      else
        words >> d.path;
      devices.push_back(d);
    }
    return false;
  }

  // One control line; the sim's answer ("ok ..." or "error ...").
  std::string cmd(const std::string& line) {
    std::string l = line + "\n";
    if (::write(to_sim_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return "";
    return read_line().value_or("");
  }
  // Requests served since the last call, as "fc:addr:count" words.
  std::string requests(int dev) {
    std::string r = cmd("requests " + std::to_string(dev));
    return r.size() > 3 ? r.substr(3) : "";
  }
  long connections(int dev) {
    std::string r = cmd("connections " + std::to_string(dev));
    return r.size() > 3 ? std::atol(r.c_str() + 3) : -1;
  }

  ~ModbusSim() {
    if (pid_ > 0) {
      cmd("quit");
      ::close(to_sim_);
      ::waitpid(pid_, nullptr, 0);
    }
    if (from_sim_ >= 0) ::close(from_sim_);
  }

  std::vector<Device> devices;

 private:
  std::optional<std::string> read_line() {
    for (size_t nl; (nl = buffered_.find('\n')) == std::string::npos;) {
      pollfd p{from_sim_, POLLIN, 0};
      char buf[4096];
      ssize_t n = ::poll(&p, 1, 10000) > 0 ? ::read(from_sim_, buf, sizeof buf) : -1;
      if (n <= 0) return std::nullopt;
      buffered_.append(buf, static_cast<size_t>(n));
    }
    size_t nl = buffered_.find('\n');
    std::string line = buffered_.substr(0, nl);
    buffered_.erase(0, nl + 1);
    return line;
  }

  pid_t pid_ = -1;
  int to_sim_ = -1, from_sim_ = -1;
  std::string buffered_;
};
