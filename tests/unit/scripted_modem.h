// The modem and GPS ports on pseudo-terminals under a private QUORVANE_ROOT
// with a virtual clock (ModemPty), and a scripted ME3616 on the modem's far
// end (ScriptedModem): a responder thread echoes each command (unless echo is
// off), answers it from a table or a hook, and records it. Unsolicited text
// can be injected at any time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "common/clock.h"
#include "config/fixed_settings.h"
#include "messaging/codec.h"
#include "modem/at_link.h"
#include "modem/downlink.h"
#include "test_support.h"

class ModemPty {
 public:
  ModemPty() : clock_guard_(clock_) {}

  support::PortPty& port(uint8_t p) { return p == gps_port ? gps_ : modem_; }
  int master(uint8_t p) { return port(p).master(); }
  void send(uint8_t p, const std::string& bytes) { EXPECT_TRUE(port(p).send(bytes)) << bytes; }

  // What the gateway wrote to the port, waiting up to 200 ms for the first byte.
  std::string received(uint8_t p) {
    std::string out;
    char buf[512];
    pollfd fd{master(p), POLLIN, 0};
    for (ssize_t n;
         poll(&fd, 1, out.empty() ? 200 : 20) > 0 && (n = read(fd.fd, buf, sizeof buf)) > 0;)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }

  const std::filesystem::path& root() const { return root_.path(); }
  std::string status_file() const {
    std::ifstream in(root() / "tmp/modemInfo.txt", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  AtChannel& at() { return at_; }
  VirtualClock& clock() { return clock_; }

 private:
  VirtualClock clock_;
  ScopedClock clock_guard_;
  support::TempRoot root_;
  support::PortPty modem_{root_, modem_port, "ttyUSB0"};
  support::PortPty gps_{root_, gps_port, "ttyUSB1"};
  AtChannel at_{modem_.serial()};  // the modem port's exchange
};

inline const std::string kOk = "\r\nOK\r\n";
inline const std::string kError = "\r\nERROR\r\n";

// The command's name: up to its "=", "?" or CR.
inline std::string command_key(const std::string& command) {
  return command.substr(0, command.find_first_of("=?\r"));
}

// The "+ESONMI=" report of a frame, scrambled as the report server does it.
inline std::string esonmi_report(const std::string& frame) {
  std::string bytes = frame;
  bytes.resize(frame.size() + 16, '\0');
  int32_t length = static_cast<int32_t>(frame.size());
  encode_msg(reinterpret_cast<uint8_t*>(bytes.data()), &length);
  return "\r\n+ESONMI=1," + std::to_string(length) + "," +
         support::hex_of(std::string_view(bytes).substr(0, static_cast<size_t>(length))) + "\r\n";
}

// The settings the bring-up reads, as the tests against this modem use them.
inline Settings test_modem_settings() {
  Settings p{};
  std::strcpy(p.apn, "cmnet");
  p.auto_connect = true;
  std::strcpy(p.server_host, "report.example");
  p.server_port = 5683;
  std::strcpy(p.mqtt_host, "broker.example");
  p.mqtt_port = 1883;
  p.mqtt_bufsize = 1024;
  p.mqtt_keepalive = 120;
  p.mqtt_version = 4;
  std::strcpy(p.sub_topic1, "gw/cmd/+/DO");
  std::strcpy(p.sub_topic2, "gw/cmd/+/DO");
  return p;
}

class ScriptedModem {
 public:
  // Called for every command before the table; an answer given wins, an
  // empty one keeps the modem silent.
  using Hook = std::function<std::optional<std::string>(const std::string& command)>;

  explicit ScriptedModem(int master) : master_(master), thread_([this] { serve(); }) {}
  ~ScriptedModem() {
    stop_ = true;
    thread_.join();
  }

  void answer(const std::string& key, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[key] = text;
  }
  void hook(Hook h) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(h);
  }
  std::vector<std::string> commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  int count(const std::string& key) {
    auto all = commands();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [&](auto& c) { return command_key(c) == key; }));
  }
  void inject(const std::string& text) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  std::atomic<bool> echo{true};

 private:
  void serve() {
    std::string pending;
    pollfd p{master_, POLLIN, 0};
    char buf[512];
    while (!stop_) {
      ssize_t got = poll(&p, 1, 20) > 0 ? read(master_, buf, sizeof buf) : 0;
      if (got > 0) pending.append(buf, static_cast<size_t>(got));
      for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        reply(pending.substr(0, end + 2));
        pending.erase(0, end + 2);
      }
    }
  }

  void reply(const std::string& command) {
    std::string text;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(command);
      std::optional<std::string> hooked = hook_ ? hook_(command) : std::nullopt;
      auto it = answers_.find(command_key(command));
      text = hooked ? *hooked : it != answers_.end() ? it->second : kOk;
    }
    // Silent, or the echo (the command up to its CR) and the answer.
    if (!text.empty()) inject((echo ? command.substr(0, command.size() - 1) : "") + text);
  }

  int master_;
  std::mutex mutex_, write_mutex_;
  std::map<std::string, std::string> answers_ = {
      {"AT+CEREG", "\r\n+CEREG: 0,1\r\n" + kOk}, {"AT+CSQ", "\r\n+CSQ: 23,99\r\n" + kOk},
      {"AT+ESOC", "\r\n+ESOC=1\r\n" + kOk},      {"AT+EDNS", "\r\n+EDNS:10.0.0.9\r\n" + kOk},
      {"AT+EMQNEW", "\r\n+EMQNEW: 0\r\n" + kOk},
  };
  Hook hook_;
  std::vector<std::string> commands_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
