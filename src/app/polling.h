// The polling thread, and the end of the process when a Modbus device cannot
// be reached (the decision is app's; the Modbus module only reports it).
#pragma once

// The polling thread's body (for pthread_create; the argument is the
// IoImage): the polling loop, until a device cannot be reached.
void* polling_thread(void* io_image);

// Prints "[Error] modbusFC error!!" and ends the process with status 1.
[[noreturn]] void exit_unreachable_device();
