#include "app/startup.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "app/gps_reader.h"
#include "common/clock.h"
#include "common/console.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "config/prog_conf.h"
#include "config/records.h"
#include "messaging/downlink_handlers.h"
#include "messaging/report_book.h"
#include "messaging/report_loop.h"
#include "modbus/modbus_io.h"
#include "modem/bringup.h"
#include "serial/uart.h"

namespace {

constexpr char kTxtPollingThreadError[] = "Create polling thread error!!";
constexpr char kTxtGpsThreadError[] = "Create gps thread error!!";

void* polling_body(void* /*argument*/) {
  thread_polling();
}

// No session to report: the process stays up with the modem brought up and the
// ports open, and wakes every 10 seconds only to sleep again.
[[noreturn]] void idle_forever() {
  for (;;) clock_sleep_seconds(10);
}

[[noreturn]] void start_gateway() {
  console_line("\r\n<--- Read Configure File --->\r");
  allocate_records();
  read_prog_conf();
  flag_mqtt = programInfo->mqtt_enable;
  flag_mqtt_CHT = programInfo->mqtt_cht;
  // The server's answers and commands arrive while the modem port is read,
  // from the bring-up on.
  AtChannel modem(modem_port);
  ReportBook book;
  install_downlink_handlers(modem, book);

  // Modem and GPS ports; a port that failed to open shows up as a modem that
  // never answers, which keeps start-up in the bring-up below.
  UART_Init(modem_port, 9600, 8, 0, 0);
  UART_Init(gps_port, 9600, 8, 0, 0);
  ModemLink link(modem);
  while (!link.bring_up()) clock_sleep_seconds(1);

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
  poll_sessions_once();
  start_worker_threads(polling_body, thread_gps);

  // The report loop runs on the main thread, one second after the polling and
  // GPS threads have started; it never returns.
  clock_sleep_seconds(1);
  thread_main(link, book);
}

}  // namespace

bool start_thread(ThreadBody body) {
  pthread_t id;
  return pthread_create(&id, nullptr, body, nullptr) == 0;
}

void start_worker_threads(ThreadBody polling, ThreadBody gps, bool (*start)(ThreadBody)) {
  const std::pair<ThreadBody, const char*> threads[] = {{polling, kTxtPollingThreadError},
                                                        {gps, kTxtGpsThreadError}};
  for (const auto& [body, error] : threads) {
    if (!start(body)) {
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
