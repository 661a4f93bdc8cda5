#include "modem/bringup.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/console.h"
#include "common/paths.h"
#include "common/text.h"
#include "config/records.h"
#include "modem/answers.h"
#include "modem/at_commands.h"
#include "modem/at_link.h"
#include "modem/modem_texts.h"

namespace {

constexpr char kStatusPath[] = "/tmp/modemInfo.txt";
constexpr size_t kStatusSize = 512;

using Answer = std::array<char, kResponseSize>;

std::string_view text_of(const Answer& answer) {
  return c_text(answer.data(), answer.size());
}

// One exchange with the modem, the command rendered from an AT format.
template <typename... Args>
void exchange(Answer& answer, const char* format, Args... args) {
  std::array<char, kResponseSize> command{};
  bformat(command.data(), command.size(), format, args...);
  send_recv_str(modem_port, command.data(), answer.data());
}

void exchange(Answer& answer, const char* command) {
  send_recv_str(modem_port, command, answer.data());
}

bool fail(const char* line) {
  console_line(line);
  return false;
}

// Resolves the host name with AT+EDNS and stores the address over it, so that
// later calls resolve the address rather than the configured name.
bool resolve_host(char (&host)[64], Answer& answer) {
  exchange(answer, kAtEdns, host);
  std::string_view a = text_of(answer);
  if (!contains(a, kResultOk)) return fail(kTxtDnsErrorLine);
  auto address = parse_edns(a);
  // An address that does not fit the host field fails the call.
  if (!address || !copy_text(host, sizeof host, *address)) return fail(kTxtDnsErrorLine);
  return true;
}

// A new MQTT client towards programInfo's mqtt_host, connected and subscribed.
bool open_mqtt_session(Answer& answer) {
  ProgInfo& p = *programInfo;
  exchange(answer, kAtEmqnew, p.mqtt_host, p.mqtt_port, p.mqtt_bufsize);
  if (!contains(text_of(answer), kResultOk)) return fail(kTxtMqttNewErrorLine);
  auto id = parse_emqnew(text_of(answer));
  if (!id) return fail(kTxtMqttNewErrorLine);
  mqtt_id = *id;

  // Credentials go along only with a user name of more than one character.
  if (strnlen(p.mqtt_user, sizeof p.mqtt_user) > 1) {
    exchange(answer, kAtEmqconAuth, mqtt_id, p.mqtt_version, p.mqtt_keepalive, p.mqtt_user,
             p.mqtt_password);
  } else {
    exchange(answer, kAtEmqcon, mqtt_id, p.mqtt_version, p.mqtt_keepalive);
  }
  if (contains(text_of(answer), kResultError)) return fail(kTxtMqttConErrorLine);

  exchange(answer, kAtEmqsub, mqtt_id, p.sub_topic1);
  if (contains(text_of(answer), kResultError)) return fail(kTxtMqttSubErrorLine);
  if (std::strcmp(p.sub_topic2, p.sub_topic1) != 0) {
    exchange(answer, kAtEmqsub, mqtt_id, p.sub_topic2);
    if (contains(text_of(answer), kResultError)) return fail(kTxtMqttSubErrorLine);
  }
  return true;
}

bool open_mqtt(Answer& answer) {
  return resolve_host(programInfo->mqtt_host, answer) && open_mqtt_session(answer);
}

bool open_udp(Answer& answer) {
  ProgInfo& p = *programInfo;
  exchange(answer, kAtEsoreaden);
  exchange(answer, kAtEsoc);
  auto socket = parse_esoc(text_of(answer));
  if (!socket) return fail(kTxtUdpSocketErrorLine);
  udp_sock_id = *socket;
  if (!resolve_host(p.server_host, answer)) return false;
  exchange(answer, kAtEsocon, udp_sock_id, p.server_port, p.server_host);
  if (contains(text_of(answer), kResultError)) return fail(kTxtUdpConErrorLine);
  return true;
}

// Sets the access point name and restarts the modem; answers the tick at
// which the registration wait begins.
uint32_t prepare_modem(Answer& answer) {
  exchange(answer, kAtMcgdefcont, programInfo->apn);
  exchange(answer, kAtMspchsc);
  exchange(answer, kAtZcontled);
  flag_ZRST = 1;
  exchange(answer, kAtZrst);
  flag_ZRST = 0;
  uint32_t start = GetTimeTicks();
  exchange(answer, kAtCfun);
  return start;
}

}  // namespace

void write_modem_status(int32_t creg, int32_t csq) {
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(
      std::fopen(resolve_path(kStatusPath).c_str(), "w"), &std::fclose);
  if (!file) {
    console_line(kTxtStatusOpenFailLine);
    return;
  }
  std::array<char, kStatusSize> status{};
  bformat(status.data(), status.size(), kTxtModemStatus, creg, csq);
  console_line(status.data());
  std::fwrite(status.data(), 1, status.size(), file.get());
}

void remove_modem_status() {
  unlink(resolve_path(kStatusPath).c_str());
}

uint32_t nbiot_init() {
  Answer answer{};
  remove_modem_status();
  int32_t creg = 0;
  // Preparation cycles until a registration wait ends registered.
  while (creg != 1) {
    creg = 0;
    int32_t csq = 0;
    uint32_t start = prepare_modem(answer);
    const auto limit = static_cast<uint32_t>(rebootTime) * 1000U;
    while (ticks_elapsed(GetTimeTicks(), start) < limit) {
      if (flag_ckeck_modem != 0) {
        exchange(answer, kAtCereg);
        creg = parse_cereg(text_of(answer));
        exchange(answer, kAtCsq);
        csq = parse_csq(text_of(answer));
        write_modem_status(creg, csq);
      }
      if (creg == 1) {
        if (programInfo->auto_connect != 0) break;
        // Monitoring only: the wait lasts as long as the modem stays registered.
        start = GetTimeTicks();
      }
      clock_sleep_seconds(1);
    }
  }
  bool ready = flag_mqtt != 0 ? open_mqtt(answer) : open_udp(answer);
  if (!ready) return 0;
  flag_recv_timeout = 0;
  return 1;
}

uint32_t mqtt_reconnect() {
  Answer answer{};
  exchange(answer, kAtEmqdiscon, mqtt_id);
  flag_EMQDISCON = 0;
  if (!open_mqtt_session(answer)) return 0;
  flag_recv_timeout = 0;
  return 1;
}
