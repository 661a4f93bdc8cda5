#include "app/startup.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <tuple>

#include "app/gps_reader.h"
#include "app/polling.h"
#include "common/clock.h"
#include "common/console.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "config/prog_conf.h"
#include "config/records.h"
#include "messaging/downlink_handlers.h"
#include "messaging/report_loop.h"
#include "modbus/modbus_io.h"
#include "modem/bringup.h"
#include "serial/uart.h"

namespace {

constexpr char kTxtPollingThreadError[] = "Create polling thread error!!";
constexpr char kTxtGpsThreadError[] = "Create gps thread error!!";

// No session to report: the process stays up with the modem brought up and the
// ports open, and wakes every 10 seconds only to sleep again.
[[noreturn]] void idle_forever() {
  for (;;) clock_sleep_seconds(10);
}

[[noreturn]] void start_gateway() {
  console_line("\r\n<--- Read Configure File --->\r");
  IoImage io;
  GpsFix gps;
  allocate_records();
  read_prog_conf();
  flag_mqtt = programInfo->mqtt_enable;
  flag_mqtt_CHT = programInfo->mqtt_cht;
  // The server's answers and commands arrive while the modem port is read,
  // from the bring-up on.
  install_downlink_handlers(io, exit_unreachable_device);

  // Modem and GPS ports; a port that failed to open shows up as a modem that
  // never answers, which keeps start-up in the bring-up below.
  UART_Init(modem_port, 9600, 8, 0, 0);
  UART_Init(gps_port, 9600, 8, 0, 0);
  while (nbiot_init() != 1) clock_sleep_seconds(1);

  mb_num = read_mb_conf();
  read_mb_mapping_conf();
  if (modbusIO->default_mapping != 0) {
    // Regenerated from the devices at every start; the file is rewritten and
    // read back so that the running mapping is exactly what the file holds.
    if (build_default_mapping(mb_num) != 0) {
      write_mb_mapping_conf();
      read_mb_mapping_conf(MappingRead::kReadBack);
    }
  }
  if (modbusIO->session_count == 0) idle_forever();
  count_session_slots(*modbusIO);

  // First scan, exactly as one pass of the polling thread; a device that
  // cannot be reached ends the process there.
  if (poll_sessions_once(io) == IoResult::kUnreachable) exit_unreachable_device();
  start_worker_threads(polling_thread, &io, thread_gps, &gps);

  // The report loop runs on the main thread, one second after the polling and
  // GPS threads have started; it never returns.
  clock_sleep_seconds(1);
  thread_main(io, gps);
}

}  // namespace

bool start_thread(ThreadBody body, void* argument) {
  pthread_t id;
  return pthread_create(&id, nullptr, body, argument) == 0;
}

void start_worker_threads(ThreadBody polling, void* io_image, ThreadBody gps, void* gps_fix,
                          bool (*start)(ThreadBody, void*)) {
  const std::tuple<ThreadBody, void*, const char*> threads[] = {
      {polling, io_image, kTxtPollingThreadError}, {gps, gps_fix, kTxtGpsThreadError}};
  for (const auto& [body, argument, error] : threads) {
    if (!start(body, argument)) {
      std::fputs(error, stdout);
      fatal_exit();
    }
  }
}

int quorvane_main(int argc, char** argv) {
  console_init();
  init_globals();

  if (argc == 2) {
    const char* arg = argv[1];
    if (std::strcmp(arg, "--ver") == 0 || std::strcmp(arg, "--version") == 0 ||
        std::strcmp(arg, "-v") == 0) {
      std::printf("quorvane version = %s %s\r\n", str_ver, str_date);
      return 0;
    }
    console_line("Usage: quorvane");
    console_line("Usage: quorvane -v (or --ver, --version) to show version");
    return 0;
  }
  if (argc > 2) {
    console_line("Usage: quorvane");
    return 0;
  }
  start_gateway();
}
