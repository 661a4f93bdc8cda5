#include "app/polling.h"

#include "common/console.h"
#include "modbus/modbus_io.h"
#include "modbus/modbus_texts.h"

void* polling_thread(void* io_image) {
  poll_forever(*static_cast<IoImage*>(io_image));
  exit_unreachable_device();
}

void exit_unreachable_device() {
  console().line(modbus_texts::kFcError);
  fatal_exit();
}
