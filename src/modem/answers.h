// Pure parses of the modem's answers to the bring-up commands. Each takes the
// whole collected answer (echo, when the modem echoes, information line, result
// line) and splits it strtok-style; a missing piece gives "not registered", "no signal" or no value
// (a failed call), never a fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// "AT+CEREG?\r\r\n+CEREG: 0,1\r\n\r\nOK\r\n" -> 1: field 2 at ",", cut at "\r".
// No "," gives 0 (not registered).
int32_t parse_cereg(std::string_view answer);

// "AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n" -> 23: field 2 at ":", cut at ",".
// No ":" gives 0.
int32_t parse_csq(std::string_view answer);

// "AT+EDNS=\"broker\"\r\r\n+EDNS:10.0.0.7\r\n\r\nOK\r\n" -> "10.0.0.7": field 2
// at ":", cut at "\r". No such field, or an empty one, gives nothing. The text
// points into answer.
std::optional<std::string_view> parse_edns(std::string_view answer);

// "...\r\n+EMQNEW: 0\r\n\r\nOK\r\n" -> 0: field 2 at ":", cut at "\r", read as a
// number. No ":" gives nothing.
std::optional<int32_t> parse_emqnew(std::string_view answer);

// "AT+ESOC=1,2,1\r\r\n+ESOC=1\r\n\r\nOK\r\n" -> 1: the number after "+ESOC=" on
// the line that begins with it (the echo is passed over, and may be missing).
// No such line gives nothing.
std::optional<int32_t> parse_esoc(std::string_view answer);
