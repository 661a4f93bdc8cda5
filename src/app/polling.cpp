#include "app/polling.h"

#include "common/console.h"
#include "modbus/modbus_io.h"
#include "modbus/modbus_texts.h"

void* polling_thread(void* job) {
  const PollingJob& j = *static_cast<const PollingJob*>(job);
  poll_forever(j.io, j.mapping, j.devices);
  exit_unreachable_device();
}

void exit_unreachable_device() {
  console().line(modbus_texts::kFcError);
  fatal_exit();
}
