#include "modem/bringup.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/clock.h"
#include "common/console.h"
#include "common/paths.h"
#include "common/text.h"
#include "config/fixed_settings.h"
#include "modem/answers.h"
#include "modem/at_commands.h"
#include "modem/at_link.h"
#include "modem/modem_texts.h"
#include "modem/status_file.h"

namespace {

bool refused(const AtReply& reply) {
  return reply.result == AtResult::kError;
}

bool fail(const char* line) {
  console().line(line);
  return false;
}

}  // namespace

// One exchange with the modem, the command rendered from an AT format.
template <typename... Args>
AtReply ModemLink::exchange(const char* format, Args... args) {
  std::array<char, kResponseSize> command{};
  bformat(command.data(), command.size(), format, args...);
  return at_.exchange(command.data());
}

AtReply ModemLink::exchange(const char* command) {
  return at_.exchange(command);
}

// Resolves the host with AT+EDNS and keeps the address in its place.
bool ModemLink::resolve_host(char (&host)[64]) {
  AtReply reply = exchange(kAtEdns, host);
  if (reply.result != AtResult::kOk) return fail(kTxtDnsErrorLine);
  auto address = parse_edns(reply.lines());
  // An address that does not fit the host field fails the call.
  if (!address || !copy_text(host, sizeof host, *address)) return fail(kTxtDnsErrorLine);
  return true;
}

// A new MQTT client towards the settings' mqtt_host, connected and subscribed.
// A connection or subscription counts as failed only when refused: an answer
// that timed out counts as success.
bool ModemLink::open_mqtt_session() {
  const Settings& p = settings_;
  AtReply reply = exchange(kAtEmqnew, mqtt_address_, p.mqtt_port, p.mqtt_bufsize);
  if (reply.result != AtResult::kOk) return fail(kTxtMqttNewErrorLine);
  auto id = parse_emqnew(reply.lines());
  if (!id) return fail(kTxtMqttNewErrorLine);
  mqtt_id_ = *id;

  // Credentials go along only with a user name of more than one character.
  if (strnlen(p.mqtt_user, sizeof p.mqtt_user) > 1) {
    // The password never reaches the console (the journal is for more eyes).
    std::array<char, kResponseSize> command{};
    std::array<char, kResponseSize> shown{};
    bformat(command.data(), command.size(), kAtEmqconAuth, mqtt_id_, p.mqtt_version,
            broker_client_id_.c_str(), p.mqtt_keepalive, p.mqtt_user, p.mqtt_password);
    bformat(shown.data(), shown.size(), kAtEmqconAuth, mqtt_id_, p.mqtt_version,
            broker_client_id_.c_str(), p.mqtt_keepalive, p.mqtt_user, kTxtHiddenPassword);
    reply = at_.exchange_shown_as(command.data(), shown.data());
  } else {
    reply =
        exchange(kAtEmqcon, mqtt_id_, p.mqtt_version, broker_client_id_.c_str(), p.mqtt_keepalive);
  }
  if (refused(reply)) return fail(kTxtMqttConErrorLine);

  if (refused(exchange(kAtEmqsub, mqtt_id_, p.sub_topic1))) return fail(kTxtMqttSubErrorLine);
  if (std::strcmp(p.sub_topic2, p.sub_topic1) != 0 &&
      refused(exchange(kAtEmqsub, mqtt_id_, p.sub_topic2))) {
    return fail(kTxtMqttSubErrorLine);
  }
  return true;
}

bool ModemLink::open_mqtt() {
  return resolve_host(mqtt_address_) && open_mqtt_session();
}

bool ModemLink::open_udp() {
  const Settings& p = settings_;
  exchange(kAtEsoreaden);
  auto socket = parse_esoc(exchange(kAtEsoc).lines());
  if (!socket) return fail(kTxtUdpSocketErrorLine);
  udp_sock_id_ = *socket;
  if (!resolve_host(server_address_)) return false;
  if (refused(exchange(kAtEsocon, udp_sock_id_, p.server_port, server_address_))) {
    return fail(kTxtUdpConErrorLine);
  }
  return true;
}

// Sets the access point name and restarts the modem; answers the tick at
// which the registration wait begins.
uint32_t ModemLink::prepare_modem() {
  exchange(kAtMcgdefcont, settings_.apn);
  exchange(kAtMspchsc);
  exchange(kAtZcontled);
  at_.exchange(kAtZrst, AtWait::kRestart);
  uint32_t start = GetTimeTicks();
  exchange(kAtCfun);
  return start;
}

ModemLink::ModemLink(AtChannel& at, const Settings& settings, std::string broker_client_id)
    : at_(at), settings_(settings), broker_client_id_(std::move(broker_client_id)) {
  copy_text(server_address_, sizeof server_address_, settings.server_host);
  copy_text(mqtt_address_, sizeof mqtt_address_, settings.mqtt_host);
  at_.on_report(kUrcEmqdiscon, [this](std::string_view) { session_lost_ = true; });
}

ModemLink::~ModemLink() {
  at_.on_report(kUrcEmqdiscon, nullptr);
}

bool ModemLink::bring_up() {
  remove_modem_status();
  int32_t creg = 0;
  // Preparation cycles until a registration wait ends registered. A modem
  // port that comes back meanwhile holds a modem that knows nothing of the
  // cycle, which begins again; a modem that answers nothing in a whole cycle
  // has its port reopened.
  while (creg != 1) {
    creg = 0;
    at_.take_port_return();
    const uint32_t answers = at_.answers();
    uint32_t start = prepare_modem();
    const auto limit = static_cast<uint32_t>(rebootTime) * 1000U;
    while (ticks_elapsed(GetTimeTicks(), start) < limit && !at_.port_returned()) {
      creg = check_registration();
      if (creg == 1) {
        if (settings_.auto_connect) break;
        // Monitoring only: the wait lasts as long as the modem stays registered.
        start = GetTimeTicks();
      }
      clock_sleep_seconds(1);
    }
    if (at_.port_returned()) {
      creg = 0;
    } else if (at_.answers() == answers) {
      at_.port_unanswered();
    }
  }
  return settings_.transport == ReportTransport::kMqtt ? open_mqtt() : open_udp();
}

bool ModemLink::reconnect_mqtt() {
  exchange(kAtEmqdiscon, mqtt_id_);
  session_lost_ = false;
  return open_mqtt_session();
}

AtReply ModemLink::close_socket() {
  return exchange(kAtEsocl, udp_sock_id_);
}

bool ModemLink::take_session_lost() {
  const bool lost = session_lost_;
  session_lost_ = false;
  return lost;
}

int32_t ModemLink::check_registration() {
  const int32_t creg = read_registration();
  const int32_t csq = read_signal();
  write_modem_status(creg, csq);
  return creg;
}

int32_t ModemLink::read_registration() {
  AtReply reply = exchange(kAtCereg);
  return reply.result == AtResult::kOk ? parse_cereg(reply.lines()) : 0;
}

int32_t ModemLink::read_signal() {
  AtReply reply = exchange(kAtCsq);
  return reply.result == AtResult::kOk ? parse_csq(reply.lines()) : 0;
}
