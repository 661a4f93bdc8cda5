// The modem link: bring-up, MQTT reconnection, the registration queries and
// the status file "/tmp/modemInfo.txt" (modem/status_file.h: replaced whole at
// every registration check, removed when a bring-up begins). ModemLink owns
// what the link knows: the UDP socket id, the MQTT client id and whether the
// broker dropped the session. It runs on the main thread, the only user of the modem port,
// through its AtChannel. It reads the modem settings it is given; resolving a
// host name writes the address over the name, so that a later bring-up asks
// for the address again (the transport reads it from there).
#pragma once

#include <cstdint>
#include <string>

#include "config/configuration.h"
#include "modem/at_commands.h"
#include "modem/at_link.h"

class ModemLink {
 public:
  // Installs the lost-session handler on the channel (removed again by the
  // destructor). settings: the access point, the transport and its hosts;
  // broker_client_id: the client ID of AT+EMQCON.
  ModemLink(AtChannel& at, const Settings& settings,
            std::string broker_client_id = kDefaultMqttClientId);
  ~ModemLink();
  ModemLink(const ModemLink&) = delete;
  ModemLink& operator=(const ModemLink&) = delete;

  // Restarts the modem, waits for registration while it keeps the status file
  // current, then opens the UDP socket or the MQTT session that the transport
  // selects. False when a transport step failed (callers repeat it). With
  // auto_connect 0 it never returns: it goes on monitoring the registration
  // for as long as the modem stays registered.
  bool bring_up();

  // Drops the modem's MQTT client and builds a new one towards the address the
  // last bring-up resolved: connect, subscribe again.
  bool reconnect_mqtt();

  // The registration state (AT+CEREG?) and the signal value (AT+CSQ) as the
  // modem answers them (0 when a query is not answered OK), written to the
  // status file. Answers the registration state (1: registered).
  int32_t check_registration();

  // AT+ESOCL for the socket of the last UDP bring-up.
  AtReply close_socket();

  // Whether "+EMQDISCON" arrived since the last look (or reconnection);
  // looking forgets it.
  bool take_session_lost();

  int32_t socket_id() const { return udp_sock_id_; }
  int32_t client_id() const { return mqtt_id_; }
  // Tests that start from a link already up.
  void set_ids_for_test(int32_t socket, int32_t client) {
    udp_sock_id_ = socket;
    mqtt_id_ = client;
  }

  AtChannel& at() { return at_; }

 private:
  template <typename... Args>
  AtReply exchange(const char* format, Args... args);
  int32_t read_registration();
  int32_t read_signal();
  AtReply exchange(const char* command);
  bool resolve_host(char (&host)[64]);
  bool open_mqtt_session();
  bool open_mqtt();
  bool open_udp();
  uint32_t prepare_modem();

  AtChannel& at_;
  const Settings& settings_;
  // The hosts as configured, then as the last AT+EDNS resolved them: a later
  // bring-up resolves the address, not the name again.
  char server_address_[sizeof Settings::server_host];
  char mqtt_address_[sizeof Settings::mqtt_host];
  std::string broker_client_id_;
  int32_t udp_sock_id_ = 0;
  int32_t mqtt_id_ = 0;
  bool session_lost_ = false;
};
