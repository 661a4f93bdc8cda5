// Sessions for the targets that run the command handlers: IDs 0, 1 and 2 with
// 0/0, 4/4 and 3/32 DO/AO slots, and no Modbus device, so that a write-back
// updates the session's image and talks to nothing.
#pragma once

#include "config/records.h"

inline void configure_fuzz_sessions() {
  allocate_records();
  modbusIO->session_count = 3;
  const int32_t do_slots[] = {0, 4, 3};
  const int32_t ao_slots[] = {0, 4, 32};
  for (int s = 0; s < 3; ++s) {
    modbusIO->session_id[s] = s;
    modbusIO->do_num[s] = do_slots[s];
    modbusIO->ao_num[s] = ao_slots[s];
  }
  packetID_send = 17;
}

// The number of devices the handlers pass on to the write-back.
inline constexpr int32_t kFuzzDevices = 0;
