// The modem link's console texts, in one place. Texts named "...Line" are
// printed as a line (puts adds the newline); the others are printf formats
// printed as they are.
#pragma once

// --- AT exchange -----------------------------------------------------------
inline constexpr char kTxtSend[] = "Send: %s";
// What the console shows for the MQTT password.
inline constexpr char kTxtHiddenPassword[] = "***";
inline constexpr char kTxtRecv[] = "Recv:\r\n%s-----\r\n\r\n";
inline constexpr char kTxtZrstTimeoutLine[] = "Wait AT+ZRST for 10 secs.";
inline constexpr char kTxtRecvTimeoutLine[] = "Receiving message timeout!!";

// --- unsolicited reports ---------------------------------------------------
inline constexpr char kTxtIp[] = "Receive IP message!!\n%s";
inline constexpr char kTxtEmqdiscon[] = "Receive EMQDISCON message!!\n%s";

// --- what does not fit is dropped, with one of these ----------------------
inline constexpr char kTxtLineTooLong[] =
    "[ERROR] Line of 1024 bytes or more without LF dropped!!\n";
inline constexpr char kTxtRxQueueFull[] =
    "[ERROR] Receive queue of port %u full, %zu oldest bytes dropped!!\n";
inline constexpr char kTxtResponseFull[] =
    "[ERROR] Response longer than 1023 characters, line dropped!!\n";
// A result line that no awaited command is owed ("%.*s": the line without its
// line end).
inline constexpr char kTxtStaleResult[] = "[ERROR] Result %.*s of an earlier command dropped!!\n";
// A result line that did not fit behind the lines collected before it.
inline constexpr char kTxtResponseTrimmed[] =
    "[ERROR] Response longer than 1023 characters, earlier lines dropped!!\n";

// --- bring-up and reconnection ---------------------------------------------
inline constexpr char kTxtModemStatus[] = "cregvalue=%d\ncsqvalue=%d\n";
inline constexpr char kTxtStatusOpenFailLine[] = "Open modemInfo.txt fail!!";
inline constexpr char kTxtDnsErrorLine[] = "[ERROR] DNS error!!";
inline constexpr char kTxtMqttNewErrorLine[] = "[ERROR] Create MQTT service error!!";
inline constexpr char kTxtMqttConErrorLine[] = "[ERROR] MQTT connection error!!";
inline constexpr char kTxtMqttSubErrorLine[] = "[ERROR] MQTT subscribe error!!";
inline constexpr char kTxtUdpSocketErrorLine[] = "[ERROR] Create UDP socket error!!";
inline constexpr char kTxtUdpConErrorLine[] = "[ERROR] UDP connection error!!";
// Why the modem's port is reopened when the modem answered nothing over a
// whole bring-up attempt (the serial layer's "... port ... lost (%s)" line).
inline constexpr char kTxtNoAnswer[] = "no answer to a whole bring-up attempt";
