// A scripted ME3616 on the master side of the modem pseudo-terminal
// (ModemPty): a responder thread echoes each command (unless echo is off) and
// answers it from a table or a hook, and records every command it got.
// Unsolicited text can be injected at any time.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "config/records.h"
#include "messaging/codec.h"

inline const std::string kOk = "\r\nOK\r\n";
inline const std::string kError = "\r\nERROR\r\n";

// The command's name: up to its "=", "?" or CR.
inline std::string command_key(const std::string& command) {
  return command.substr(0, command.find_first_of("=?\r"));
}

// The "+ESONMI=" report of a frame, scrambled as the report server does it.
inline std::string esonmi_report(const std::string& frame) {
  std::vector<uint8_t> bytes(frame.begin(), frame.end());
  bytes.resize(frame.size() + 16, 0);
  int32_t length = static_cast<int32_t>(frame.size());
  encode_msg(bytes.data(), &length);
  std::string hex(2 * static_cast<size_t>(length) + 1, '\0');
  hex.resize(bytes_to_hex(bytes.data(), static_cast<size_t>(length), hex.data()));
  return "\r\n+ESONMI=1," + std::to_string(length) + "," + hex + "\r\n";
}

// The settings the bring-up reads, as the tests against this modem use them.
inline void use_test_modem_settings(ProgInfo& p) {
  std::strcpy(p.apn, "cmnet");
  p.auto_connect = 1;
  std::strcpy(p.server_host, "report.example");
  p.server_port = 5683;
  std::strcpy(p.mqtt_host, "broker.example");
  p.mqtt_port = 1883;
  p.mqtt_bufsize = 1024;
  p.mqtt_keepalive = 120;
  p.mqtt_version = 4;
  std::strcpy(p.sub_topic1, "gw/cmd/+/DO");
  std::strcpy(p.sub_topic2, "gw/cmd/+/DO");
}

class ScriptedModem {
 public:
  // Called for every command before the table; an answer given wins. An
  // empty answer keeps the modem silent.
  using Hook = std::function<std::optional<std::string>(const std::string& command)>;

  explicit ScriptedModem(int master) : master_(master) {
    answers_ = {
        {"AT+CEREG", "\r\n+CEREG: 0,1\r\n" + kOk}, {"AT+CSQ", "\r\n+CSQ: 23,99\r\n" + kOk},
        {"AT+ESOC", "\r\n+ESOC=1\r\n" + kOk},      {"AT+EDNS", "\r\n+EDNS:10.0.0.9\r\n" + kOk},
        {"AT+EMQNEW", "\r\n+EMQNEW: 0\r\n" + kOk},
    };
    thread_ = std::thread([this] { serve(); });
  }
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
    int n = 0;
    for (const auto& c : commands()) n += command_key(c) == key ? 1 : 0;
    return n;
  }
  // Unsolicited text from the modem.
  void inject(const std::string& text) { put(text); }

  std::atomic<bool> echo{true};

 private:
  void serve() {
    std::string pending;
    pollfd p{master_, POLLIN, 0};
    while (!stop_) {
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[512];
      ssize_t got = read(master_, buf, sizeof buf);
      if (got <= 0) continue;
      pending.append(buf, static_cast<size_t>(got));
      for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        std::string command = pending.substr(0, end + 2);
        pending.erase(0, end + 2);
        reply(command);
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
    if (text.empty()) return;  // silent
    // The echo (the command up to its CR), then the answer.
    put((echo ? command.substr(0, command.size() - 1) : std::string()) + text);
  }

  void put(const std::string& text) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  int master_;
  std::mutex mutex_;
  std::mutex write_mutex_;
  std::map<std::string, std::string> answers_;
  Hook hook_;
  std::vector<std::string> commands_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
