// The report session loop: for each session in turn it sends the report
// messages one at a time (DEVINFO, RDO, WDI, RAO, WAI, WGPS over UDP; DEVINFO,
// DI, AI, GPS over MQTT), waits for the modem's final result to each, ends a
// cycle when the period is over and the server has answered (or the answer
// wait is over), and rebuilds the modem link when it is lost. While it waits it
// is the reader of the modem port, so the server's answers and commands are
// handled from inside it.
//
// The loop is a state machine driven pass by pass; thread_main runs one for
// ever. Tests drive passes themselves, with the virtual clock.
//
//   phase     what a pass does              -> next phase
//   kSend     sends the current message     -> kAwait, or kFinished when
//                                                there is nothing to send
//   kAwait    reads the modem: OK or time-out -> move on
//             ERROR, resends left           -> kSend (the same message)
//             ERROR, none left              -> kFinished (the message failed)
//             nothing yet                   -> kAwait
//   kFinished reads the modem once          -> move on
//   kHold     reads the modem               -> move on when the cycle may end
//
// "Move on" is the next message (kSend), the next session's first, a new
// cycle, or kHold when the cycle's last message is finished but the cycle may
// not end yet. Every transition is made in ReportLoop::transition.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "common/gps_fix.h"
#include "common/heartbeat.h"
#include "config/configuration.h"
#include "messaging/uplink.h"
#include "modbus/io_image.h"

class ModemLink;
class ReportBook;
struct ReportBuffers;

enum class ReportPhase : uint8_t { kSend, kAwait, kFinished, kHold };

// What went wrong in the current cycle: the modem found unregistered at a
// DEVINFO step, or steps given up after their resends. An unregistered modem,
// or every step given up, has the modem re-initialised at the cycle's end.
class CycleFailures {
 public:
  // Each session's DEVINFO step starts the record again.
  void start(bool registered) {
    registered_ = registered;
    given_up_ = 0;
  }
  void give_up(ReportStep step) { given_up_ |= step_bit(step); }
  void clear() { start(true); }

  bool registered() const { return registered_; }
  uint8_t given_up() const { return given_up_; }  // a step's bit when it was given up
  bool modem_to_reinitialise() const { return !registered_ || given_up_ == kAllSteps; }

 private:
  static constexpr uint8_t kAllSteps = (1U << kStepCount) - 1;
  bool registered_ = true;
  uint8_t given_up_ = 0;
};

class ReportLoop {
 public:
  // How the messages go out: UDP frames or MQTT publications.
  class Uplink;

  // Prints the start banner and starts the first cycle's period. The
  // settings choose the uplink (transport, mqtt_cht) and give the period,
  // the identities and the topics; the mapping gives the sessions and their
  // slot counts; io and gps hold the values reported.
  ReportLoop(ModemLink& link, ReportBook& book, const Settings& settings, const Mapping& mapping,
             const IoImage& io, const GpsFix& gps);

  ~ReportLoop();
  ReportLoop(const ReportLoop&) = delete;
  ReportLoop& operator=(const ReportLoop&) = delete;

  // One pass: a send pass in kSend, a read pass otherwise.
  void run_pass();

  ReportPhase phase() const { return phase_; }
  ReportStep message() const { return message_; }  // the current step
  int32_t session() const { return session_; }     // index of the session being reported
  const CycleFailures& failures() const { return failures_; }
  int32_t idle_polls() const { return idle_polls_; }
  uint32_t period_start() const { return period_start_; }

 private:
  // What a pass did or found.
  enum class Event : uint8_t { kSent, kNothingSent, kNone, kAnswered, kRefused, kTimedOut };

  void send_pass();
  void read_pass();
  Event read_modem();
  void transition(Event event);
  void move_on();
  bool cycle_may_end();
  void reinitialise();
  void devinfo_queries();
  void start_new_cycle();
  void advance();
  void acknowledge();
  void publish_ack(const std::string& ack);
  void link_repair();
  void bring_up_modem();

  ModemLink& link_;
  ReportBook& book_;
  const Settings& settings_;
  const Mapping& mapping_;
  const IoImage& io_;
  const GpsFix& gps_;
  std::unique_ptr<Uplink> uplink_;
  std::unique_ptr<ReportBuffers> buf_;

  DevInfoValues devinfo_;

  ReportPhase phase_ = ReportPhase::kSend;
  ReportStep message_ = ReportStep::kDevInfo;
  int32_t session_ = 0;
  int32_t resend_left_ = 3;  // resends still allowed for the current message
  CycleFailures failures_;
  int32_t idle_polls_ = 0;     // counted read passes since the limit was last reached
  uint32_t paused_ms_ = 0;     // waited in passes not yet counted (less than one pause)
  uint32_t period_start_ = 0;  // tick at which the current cycle began
  // A receive time-out (or the idle-pass limit) not yet taken as the end of a
  // message: the next read pass ends the message it finds awaited.
  bool timeout_seen_ = false;
};

// The report loop on the calling thread; never returns. beat, when given, is
// marked after every pass.
[[noreturn]] void thread_main(ModemLink& link, ReportBook& book, const Settings& settings,
                              const Mapping& mapping, const IoImage& io, const GpsFix& gps,
                              Beat* beat = nullptr);
