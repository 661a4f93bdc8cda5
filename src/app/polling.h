// The polling thread, and the end of the process when a Modbus device cannot
// be reached (the decision is app's; the Modbus module only reports it).
#pragma once

#include "common/heartbeat.h"
#include "config/configuration.h"
#include "modbus/io_image.h"

// What the polling thread works on: start-up's image, mapping and devices,
// kept until the process ends.
struct PollingJob {
  IoImage& io;
  const Mapping& mapping;
  const DeviceList& devices;
  Beat* beat = nullptr;  // marked after every polling pass
};

// The polling thread's body (for pthread_create; the argument is a
// PollingJob): the polling loop, until a device cannot be reached.
void* polling_thread(void* job);

// Prints "[Error] modbusFC error!!" and ends the process with status 1.
[[noreturn]] void exit_unreachable_device();
