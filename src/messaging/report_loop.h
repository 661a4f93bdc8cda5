// The report session loop: for each session in turn it sends the report
// messages one at a time (DEVINFO, RDO, WDI, RAO, WAI, WGPS over UDP; DEVINFO,
// DI, AI, GPS over MQTT), waits for the modem's final result to each, ends a
// cycle when the period is over and the server has answered (or the answer
// wait is over), and rebuilds the modem link when it is lost. While it waits it
// is the reader of the modem port, so the server's answers and commands are
// handled from inside it.
//
// The loop is a ReportLoop object driven pass by pass; thread_main runs one
// for ever. Tests drive passes themselves, with the virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "common/gps_fix.h"
#include "messaging/uplink.h"
#include "modbus/io_image.h"

struct ReportLoopState {
  int32_t step = -1;           // current message, 0 DEVINFO ... 5 GPS
  int32_t session_idx = 0;     // session being reported
  int32_t awaiting_reply = 0;  // 0: next pass sends; 1: next pass waits
  int32_t step_done = 0;       // current message finished
  int32_t step_failed = 0;     // "ERROR" received and not yet handled
  int32_t resend_left = 3;     // resends still allowed for the current message
  uint32_t failed_steps = 0;   // bit t: step t given up; 63: modem not registered
  int32_t idle_polls = 0;      // counted wait passes since the last time-out raised here
  uint32_t period_start = 0;   // tick at which the current cycle began
};

class ReportLoop {
 public:
  // Prints the start banner and starts the first cycle's period. io and gps:
  // the values reported.
  ReportLoop(const IoImage& io, const GpsFix& gps);
  ~ReportLoop();
  ReportLoop(const ReportLoop&) = delete;
  ReportLoop& operator=(const ReportLoop&) = delete;

  // One pass: a send pass when no reply is awaited, a wait pass otherwise.
  void run_pass();

  const ReportLoopState& state() const { return st_; }
  const DevInfoValues& devinfo() const { return devinfo_; }

 private:
  struct Buffers;

  void send_pass();
  void wait_pass();
  void devinfo_queries();
  bool build_command();
  bool build_udp_command();
  bool build_mqtt_command();
  JsonIds json_ids();
  void handle_refusal();
  bool next_message();
  void start_new_cycle();
  void reset_message();
  void acknowledge();
  void publish_ack();
  void link_repair();

  const IoImage& io_;
  const GpsFix& gps_;
  ReportLoopState st_;
  DevInfoValues devinfo_;
  std::unique_ptr<Buffers> buf_;
};

// The report loop on the calling thread; never returns.
[[noreturn]] void thread_main(const IoImage& io, const GpsFix& gps);
