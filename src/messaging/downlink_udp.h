// Handling of the server's answers over UDP: clears the pending bit of the
// request that was answered and, for RDO and RAO answers, writes the DO or AO
// values the server sent when they differ from the session's image.
#pragma once

#include <cstdint>
#include <span>

#include "modbus/modbus_io.h"

class ReportBook;

// frame: the unscrambled answer, NUL-terminated (at most 1024 bytes are
// looked at); the mapping names the sessions, the devices are passed on to
// the write-back; book: the report cycle's packet ID and pending bits. Runs
// on the main thread, inside the receive dispatcher. Answers the write-back's
// result (kOk when nothing was written).
IoResult process_message(ReportBook& book, IoImage& io, const Mapping& mapping,
                         std::span<const MbDevice> devices, char* frame);
