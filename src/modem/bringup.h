// Modem bring-up and MQTT reconnection. Both run on the main thread as the
// only user of the modem port, and return 1 when the transport is ready, 0
// when a transport step failed (their callers repeat them).
#pragma once

#include <cstdint>

// Restarts the modem, waits for registration while it keeps the status file
// current, then opens the UDP socket or the MQTT session that flag_mqtt
// selects. With auto_connect 0 it never returns: it goes on monitoring the
// registration for as long as the modem stays registered.
uint32_t nbiot_init();

// Drops the modem's MQTT client and builds a new one towards the address the
// last bring-up resolved: connect, subscribe again.
uint32_t mqtt_reconnect();

// The status file "/tmp/modemInfo.txt" (under QUORVANE_ROOT when set): exactly
// 512 bytes, "cregvalue=%d\ncsqvalue=%d\n" and zero bytes, rewritten whole.
// The text is printed as a line; a file that cannot be opened is reported
// with "Open modemInfo.txt fail!!".
void write_modem_status(int32_t creg, int32_t csq);
// Removes the status file (unlink; a missing file is fine).
void remove_modem_status();

// The registration state (AT+CEREG?) and the signal value (AT+CSQ) as the
// modem answers them; 0 when the query is not answered OK.
int32_t read_registration();
int32_t read_signal();
