#include "app/startup.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <tuple>

#include "app/gps_reader.h"
#include "app/polling.h"
#include "app/watchdog.h"
#include "common/clock.h"
#include "common/console.h"
#include "config/fixed_settings.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "config/options_conf.h"
#include "config/prog_conf.h"
#include "messaging/downlink_handlers.h"
#include "messaging/report_book.h"
#include "messaging/report_loop.h"
#include "modbus/modbus_io.h"
#include "modem/bringup.h"
#include "serial/port_keeper.h"
#include "serial/serial_port.h"

namespace {

constexpr char kTxtPollingThreadError[] = "Create polling thread error!!";
constexpr char kTxtGpsThreadError[] = "Create gps thread error!!";
constexpr char kTxtWatchdogThreadError[] = "Create watchdog thread error!!";

// The modem and the GPS receiver: the board's first and second USB serial
// devices, both at 9600 bit/s, 8 data bits, no parity, one stop bit.
constexpr const char* kModemDevice = "/dev/ttyUSB0";
constexpr const char* kGpsDevice = "/dev/ttyUSB1";
constexpr LineSettings kPortLine{9600, 8, Parity::kNone, 1};

// No session to report: the process stays up with the modem brought up and the
// ports open, and wakes every 10 seconds only to sleep again (a sign of life
// each time).
[[noreturn]] void idle_forever(Beat& alive) {
  for (;;) {
    alive.mark();
    clock_sleep_seconds(10);
  }
}

// A refused configuration ends start-up: its line, then status 1.
[[noreturn]] void refuse(const Refusal& refusal) {
  console().line(refusal.text);
  fatal_exit();
}

// What a configuration reader printed, then its value, or the end of start-up.
template <typename T>
T take(ConfResult<T>&& read) {
  console().write(read.console());
  if (const Refusal* refusal = read.refusal()) refuse(*refusal);
  return std::move(read.value());
}

// The mapping start-up runs with; a regenerated one is written to the file and
// read back from it.
Mapping read_mapping(const DeviceList& devices) {
  auto write_and_read_back = [&](const Mapping& built) -> ConfResult<Mapping> {
    if (auto refusal = write_mb_mapping_conf(built, configFile_mb_mapping)) return *refusal;
    return read_mb_mapping_conf(configFile_mb_mapping, MappingRead::kReadBack, devices);
  };
  return take(
      read_startup_mapping(configFile_mb_mapping, configFile_mb, devices, write_and_read_back));
}

[[noreturn]] void start_gateway() {
  console().line("\r\n<--- Read Configure File --->\r");
  IoImage io;
  GpsFix gps;
  // Until the device and mapping files are read (after the bring-up), a
  // command finds no session and no device.
  const DeviceList no_devices;
  const Mapping no_mapping{};
  const Settings settings = take(read_prog_conf(configFile_prog));
  // Before the ports and the modem: a refused options file ends start-up
  // before the modem is restarted or the mapping rewritten.
  const Options options = take(read_options_conf(configFile_options));
  // Then no scan, write-back or command ends the process for a device that
  // cannot be reached (threads and configuration still do).
  if (keeps_running(options)) io.watch_devices(reports_unreachable(options));
  // The server's answers and commands arrive while the modem port is read,
  // from the bring-up on.
  SerialPort modem_port_io(kModemDevice, modem_port);
  SerialPort gps_port_io(kGpsDevice, gps_port);
  PortKeeper modem_keeper(modem_port_io, "Modem");
  PortKeeper gps_keeper(gps_port_io, "GPS");
  AtChannel modem(modem_keeper);
  ReportBook book;
  book.set_answers_current_cycle_only(answers_current_cycle_only(options));
  install_downlink_handlers(modem, book, io, no_mapping, no_devices, exit_unreachable_device,
                            settings.mqtt_cht);

  // The main thread's sign of life: every AT exchange (the bring-up's waits
  // are exchanges and one-second sleeps), every report pass. The polling
  // thread's joins it once that thread runs.
  ServiceWatchdog watchdog;
  Beat main_beat;
  Beat polling_beat;
  modem.set_beat(&main_beat);
  watchdog.watch(main_beat);
  if (!watchdog.start()) {
    console().write(kTxtWatchdogThreadError);
    fatal_exit();
  }

  // Modem and GPS ports. A port that does not open, or is lost later, is
  // opened again by its keeper as soon as it can be; the bring-up below
  // begins again when the modem's comes back.
  modem_keeper.open(kPortLine);
  gps_keeper.open(kPortLine);
  ModemLink link(modem, settings, mqtt_client_id(options));
  while (!link.bring_up()) clock_sleep_seconds(1);

  const DeviceList devices = take(read_mb_conf(configFile_mb));
  const Mapping mapping = read_mapping(devices);
  install_downlink_handlers(modem, book, io, mapping, devices, exit_unreachable_device,
                            settings.mqtt_cht);
  if (mapping.session_count == 0) {
    watchdog.ready();
    idle_forever(main_beat);
  }

  // First scan, exactly as one pass of the polling thread; a device that
  // cannot be reached ends the process there (unless the devices are watched).
  if (poll_sessions_once(io, mapping, devices) == IoResult::kUnreachable) exit_unreachable_device();
  main_beat.mark();
  PollingJob polling{io, mapping, devices, &polling_beat};
  GpsJob gps_job{gps_keeper, gps, gps_talkers(options)};
  watchdog.watch(polling_beat);
  start_worker_threads(polling_thread, &polling, thread_gps, &gps_job);

  // The report loop runs on the main thread, one second after the polling and
  // GPS threads have started; it never returns.
  clock_sleep_seconds(1);
  watchdog.ready();
  thread_main(link, book, settings, mapping, io, gps, &main_beat);
}

}  // namespace

bool start_thread(ThreadBody body, void* argument) {
  pthread_t id;
  return pthread_create(&id, nullptr, body, argument) == 0;
}

void start_worker_threads(ThreadBody polling, void* polling_job, ThreadBody gps, void* gps_fix,
                          bool (*start)(ThreadBody, void*)) {
  const std::tuple<ThreadBody, void*, const char*> threads[] = {
      {polling, polling_job, kTxtPollingThreadError}, {gps, gps_fix, kTxtGpsThreadError}};
  for (const auto& [body, argument, error] : threads) {
    if (!start(body, argument)) {
      console().write(error);
      fatal_exit();
    }
  }
}

int quorvane_main(int argc, char** argv) {
  console_init();

  if (argc == 2) {
    const char* arg = argv[1];
    if (std::strcmp(arg, "--ver") == 0 || std::strcmp(arg, "--version") == 0 ||
        std::strcmp(arg, "-v") == 0) {
      console().print("quorvane version = %s %s\r\n", str_ver, str_date);
      return 0;
    }
    console().line("Usage: quorvane");
    console().line("Usage: quorvane -v (or --ver, --version) to show version");
    return 0;
  }
  if (argc > 2) {
    console().line("Usage: quorvane");
    return 0;
  }
  start_gateway();
}
