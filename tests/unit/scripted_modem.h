// The modem port in memory under a private QUORVANE_ROOT with a
// virtual clock (ModemRig), and a scripted ME3616 on the modem's far end
// (ScriptedModem): each command written is answered at once with its echo
// (unless echo is off) and an answer from a table or a hook, and recorded.
// Unsolicited text can be injected at any time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include "common/clock.h"
#include "config/fixed_settings.h"
#include "memory_stream.h"
#include "messaging/codec.h"
#include "modem/at_link.h"
#include "test_support.h"

class ModemRig {
 public:
  ModemRig() : clock_guard_(clock_) {}

  MemoryStream& port(uint8_t /*modem_port*/) { return modem_; }
  void send(uint8_t p, const std::string& bytes) { port(p).deliver(bytes); }

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
  MemoryStream modem_{modem_port, (root_.path() / "dev/ttyUSB0").string()};
  AtChannel at_{modem_};  // the modem port's exchange
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

  explicit ScriptedModem(MemoryStream& port) : port_(port) {
    port_.responder = [this](const std::string& written) {
      pending_ += written;
      for (size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
        reply(pending_.substr(0, end + 2));
        pending_.erase(0, end + 2);
      }
    };
  }
  ~ScriptedModem() { port_.responder = nullptr; }

  void answer(const std::string& key, const std::string& text) { answers_[key] = text; }
  void hook(Hook h) { hook_ = std::move(h); }
  const std::vector<std::string>& commands() const { return commands_; }
  int count(const std::string& key) const {
    return static_cast<int>(std::count_if(commands_.begin(), commands_.end(),
                                          [&](auto& c) { return command_key(c) == key; }));
  }
  void inject(const std::string& text) { port_.deliver(text); }

  bool echo = true;

 private:
  void reply(const std::string& command) {
    commands_.push_back(command);
    std::optional<std::string> hooked = hook_ ? hook_(command) : std::nullopt;
    auto it = answers_.find(command_key(command));
    const std::string text = hooked ? *hooked : it != answers_.end() ? it->second : kOk;
    // Silent, or the echo (the command up to its CR) and the answer.
    if (!text.empty()) inject((echo ? command.substr(0, command.size() - 1) : "") + text);
  }

  MemoryStream& port_;
  std::string pending_;
  std::map<std::string, std::string> answers_ = {
      {"AT+CEREG", "\r\n+CEREG: 0,1\r\n" + kOk}, {"AT+CSQ", "\r\n+CSQ: 23,99\r\n" + kOk},
      {"AT+ESOC", "\r\n+ESOC=1\r\n" + kOk},      {"AT+EDNS", "\r\n+EDNS:10.0.0.9\r\n" + kOk},
      {"AT+EMQNEW", "\r\n+EMQNEW: 0\r\n" + kOk},
  };
  Hook hook_;
  std::vector<std::string> commands_;
};
