// Every AT command the gateway sends to the ME3616 modem, and the modem's
// unsolicited report markers, in one place. Each command ends in CR LF; the
// formats are rendered with bformat into the caller's 1024-byte command buffer.
#pragma once

// --- preparation cycle of the bring-up -----------------------------------
inline constexpr char kAtMcgdefcont[] = "AT*MCGDEFCONT=\"IP\",\"%s\"\r\n";  // apn
inline constexpr char kAtMspchsc[] = "AT*MSPCHSC=1\r\n";
inline constexpr char kAtZcontled[] = "AT+ZCONTLED=1\r\n";
inline constexpr char kAtZrst[] = "AT+ZRST\r\n";  // restart; the answer may take 10 s
inline constexpr char kAtCfun[] = "AT+CFUN=1\r\n";

// --- registration and signal ---------------------------------------------
inline constexpr char kAtCereg[] = "AT+CEREG?\r\n";
inline constexpr char kAtCsq[] = "AT+CSQ\r\n";
inline constexpr char kAtMenginfo[] = "AT*MENGINFO=0\r\n";

// --- name resolution -------------------------------------------------------
inline constexpr char kAtEdns[] = "AT+EDNS=\"%s\"\r\n";  // host name

// --- UDP transport ---------------------------------------------------------
inline constexpr char kAtEsoreaden[] = "AT+ESOREADEN=0\r\n";
inline constexpr char kAtEsoc[] = "AT+ESOC=1,2,1\r\n";
inline constexpr char kAtEsocon[] = "AT+ESOCON=%d,%d,\"%s\"\r\n";  // socket, port, address
// Followed by the frame as hex text and CR LF: socket, byte count.
inline constexpr char kAtEsosendPrefix[] = "AT+ESOSEND=%d,%d,";
inline constexpr char kAtEsocl[] = "AT+ESOCL=%d\r\n";  // socket

// --- MQTT transport --------------------------------------------------------
// address, port (quoted decimal), buffer size
inline constexpr char kAtEmqnew[] = "AT+EMQNEW=\"%s\",\"%d\",20000,%d\r\n";
// The client ID the broker knows the gateway by, unless the options file
// gives another.
inline constexpr char kDefaultMqttClientId[] = "myclientid";
// client id, protocol version, client ID, keep-alive
inline constexpr char kAtEmqcon[] = "AT+EMQCON=%d,%d,\"%s\",%d,1,0\r\n";
// client id, protocol version, client ID, keep-alive, user, password (written unquoted)
inline constexpr char kAtEmqconAuth[] = "AT+EMQCON=%d,%d,\"%s\",%d,1,0,%s,%s\r\n";
inline constexpr char kAtEmqsub[] = "AT+EMQSUB=%d,\"%s\",1\r\n";  // client id, topic
// Followed by the payload as hex text and CR LF: client id, topic, byte count.
inline constexpr char kAtEmqpubPrefix[] = "AT+EMQPUB=%d,\"%s\",1,0,0,%d,";
inline constexpr char kAtEmqdiscon[] = "AT+EMQDISCON=%d\r\n";  // client id

// Every command and payload line ends so.
inline constexpr char kAtLineEnd[] = "\r\n";

// --- what the modem sends --------------------------------------------------
inline constexpr char kUrcEsonmi[] = "+ESONMI=";       // socket, byte count, hex data
inline constexpr char kUrcEmqpub[] = "+EMQPUB:";       // topic and hex payload in quotes
inline constexpr char kUrcIp[] = "+IP";                // logged only
inline constexpr char kUrcEmqdiscon[] = "+EMQDISCON";  // MQTT session lost
// Result lines: exactly these once the line end is removed, or beginning so.
inline constexpr char kResultOk[] = "OK";
inline constexpr char kResultError[] = "ERROR";
inline constexpr char kResultCmeError[] = "+CME ERROR";
