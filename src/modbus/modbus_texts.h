// The Modbus module's console texts, byte for byte as operators and log
// parsers know them.
#pragma once

namespace modbus_texts {

// Standard error, from the function engine.
inline constexpr const char* kNoContext = "[Error] Unable to allocate libmodbus context\n";
inline constexpr const char* kConnectFailed = "[Error] Connection failed\n";

// Console lines (a line break follows each).
inline constexpr const char* kReadDoError = "[Error] Read DO error\r";
inline constexpr const char* kReadDiError = "[Error] Read DI error\r";
inline constexpr const char* kReadAoError = "[Error] Read AO error\r";
inline constexpr const char* kReadAiError = "[Error] Read AI error\r";
inline constexpr const char* kWriteDoError = "[Error] Write DO error\r";
inline constexpr const char* kWriteAoError = "[Error] Write AO error\r";
inline constexpr const char* kFcError = "[Error] modbusFC error!!";
inline constexpr const char* kPollingStart = "\r\n<--- Modbus Polling Start --->\r";

// Heads of the success logs; the values follow as "%d, " ... "%d]\r\n".
inline constexpr const char* kReadDoHead = "[Read  DO] Number:%d, Value:[";
inline constexpr const char* kReadDiHead = "[Read  DI] Number:%d, Value:[";
inline constexpr const char* kReadAoHead = "[Read  AO] Number:%d, Value:[";
inline constexpr const char* kReadAiHead = "[Read  AI] Number:%d, Value:[";
inline constexpr const char* kWriteDoHead = "[Write DO] Number:%d, Value:[";
inline constexpr const char* kWriteAoHead = "[Write AO] Number:%d, Value:[";
inline constexpr const char* kValueNext = "%d, ";
inline constexpr const char* kValueLast = "%d]\r\n";

// Write-back log.
inline constexpr const char* kBeforeWriteDo = "Before writing DO values[%d]:\n%s\n";
inline constexpr const char* kBeforeWriteAo = "Before writing AO values[%d]:\n%s\n";
inline constexpr const char* kOldValue = "%d,";
inline constexpr const char* kDeviceHead = "[Modbus %02d]\n";

// device_outage=keep_running: one line when a device (numbered from 1, as in
// the device file) is lost and one when it is back; one per dropped command.
inline constexpr const char* kDeviceLost =
    "[Error] Modbus device %d cannot be reached: its last good values are kept, "
    "retrying\n";
inline constexpr const char* kDeviceBack = "Modbus device %d answers again\n";
inline constexpr const char* kCommandDropped =
    "[Error] Modbus device %d cannot be reached: its %s values of this command are dropped\n";

}  // namespace modbus_texts
