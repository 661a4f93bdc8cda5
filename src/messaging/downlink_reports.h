// The decoders of the modem's reports of received data, which the AT channel
// hands over as whole lines: "+ESONMI=" datagrams are converted from hex and
// unscrambled, "+EMQPUB:" publications converted and parsed as commands; what
// is usable goes to the downlink handlers (messaging/downlink.h).
#pragma once

#include <cstdint>

#include "messaging/downlink.h"

class AtChannel;

// Installs both decoders on the channel, with the handlers they deliver to.
void install_report_decoders(AtChannel& at, const DownlinkHandlers& to);

// Bytes from hex text: byte i from the characters 2i and 2i+1 (0-9, A-F, a-f;
// anything else counts 0), logged. hex holds at least 2 x count characters;
// out at least count bytes.
void recon_message(int32_t count, const char* hex, uint8_t* out);
