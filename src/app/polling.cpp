#include "app/polling.h"

#include <pthread.h>

#include "common/console.h"
#include "modbus/modbus_io.h"
#include "modbus/modbus_texts.h"

void* polling_thread(void* job) {
  const PollingJob& j = *static_cast<const PollingJob*>(job);
  // Named, so that the thread can be told apart (top -H, the journal's cores).
  pthread_setname_np(pthread_self(), "qv-polling");
  poll_forever(j.io, j.mapping, j.devices, j.beat);
  exit_unreachable_device();
}

void exit_unreachable_device() {
  console().line(modbus_texts::kFcError);
  fatal_exit();
}
