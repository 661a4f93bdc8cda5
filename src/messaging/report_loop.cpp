#include "messaging/report_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "config/fixed_settings.h"
#include "messaging/codec.h"
#include "messaging/report_book.h"
#include "modem/answers.h"
#include "modem/at_commands.h"
#include "modem/at_link.h"
#include "modem/bringup.h"

namespace {

// The loop's console texts.
constexpr const char* kStartBanner = "\r\n<--- SENT & RECEIVE PACKET START --->\r";
constexpr const char* kBannerRule = "/********************************/\r";
constexpr std::array<const char*, kStepCount> kBannerTitles = {
    "/***** Send DEVINFO Message *****/\r", "/*** Send RDO Request Message ***/\r",
    "/*** Send WDI Request Message ***/\r", "/*** Send RAO Request Message ***/\r",
    "/*** Send WAI Request Message ***/\r", "/******* Send GPS Message *******/\r",
};
// Indexed by step; DEVINFO and GPS need no slots.
constexpr std::array<const char*, kStepCount> kNoSlots = {
    nullptr, "No any DO exist\r", "No any DI exist\r", "No any AO exist\r", "No any AI exist\r",
    nullptr,
};
constexpr const char* kSendRequest = "\r\n<--- [SESSION%02d] SEND REQUEST PACKET --->\r\n";
constexpr const char* kWaitResponse = "\r\n<--- [SESSION%02d] WAIT FOR RESPONSE PACKET --->\r\n";
constexpr const char* kReceiveTimeout = "Receive timeout!! Still receive nothing!!\r";
constexpr const char* kResent = "Send packet error!! Resent packet[%d].\n";
constexpr const char* kGaveUp = "Send packet error!! Already retry %d times. Sent next message.\n";
constexpr const char* kTimePeriod = "Time Period = %lu ms\n";
constexpr const char* kNotSent = "[ERROR] [SESSION%02d] Message not sent!!\n";
constexpr const char* kAckDropped = "[ERROR] Acknowledgement not published!!";
constexpr std::string_view kMengInfoName = "MENGINFOSC";

// Longest pause of a wait pass; a line from the modem ends it at once, so a
// command is taken in as it arrives.
constexpr uint32_t kPaceMs = 20;
constexpr uint64_t kPaceUs = uint64_t{kPaceMs} * 1000;
constexpr int32_t kIdlePollLimit = 2999;  // counted passes before a time-out
constexpr int32_t kResends = 3;           // resends of a refused message
constexpr int32_t kReconnectTries = 3;    // MQTT reconnections before a bring-up

// Whether the step's message is about slots of a type the session has none of.
bool without_slots(const Mapping& mapping, ReportStep step, int32_t s) {
  switch (step) {
    case ReportStep::kRdo:
      return mapping.do_num[s] == 0;
    case ReportStep::kWdi:
      return mapping.di_num[s] == 0;
    case ReportStep::kRao:
      return mapping.ao_num[s] == 0;
    case ReportStep::kWai:
      return mapping.ai_num[s] == 0;
    case ReportStep::kDevInfo:
    case ReportStep::kGps:
      break;
  }
  return false;
}

// A session's values copied under its lock, so that one message shows one
// consistent scan; only the used slots are reported.
class Reported {
 public:
  Reported(const IoImage& io, const Mapping& mapping, int32_t s)
      : di_count_(mapping.di_num[s].size()), ai_count_(mapping.ai_num[s].size()), v_(io.copy(s)) {}
  // The values of the step's type (WDI: DI, WAI: AI).
  InputValues of(ReportStep step) const {
    if (step == ReportStep::kWdi) return std::span<const uint8_t>(v_.di_value, di_count_);
    return std::span<const uint16_t>(v_.ai_value, ai_count_);
  }

 private:
  size_t di_count_;
  size_t ai_count_;
  SessionValues v_;
};

// The GPS sentence copied under its lock.
struct ReportedGps {
  explicit ReportedGps(const GpsFix& gps) { gps.copy(text); }
  char text[GpsFix::kSize];
};

uint32_t limit_ms(int32_t seconds) {
  return static_cast<uint32_t>(seconds) * 1000U;
}

}  // namespace

struct ReportBuffers {
  AtReply reply;
  std::array<char, kCommandBufferSize> command{};
  std::array<char, kFrameBufferSize> frame{};
  std::array<char, kFrameBufferSize> json{};
  std::array<char, kTimeTextSize> time_text{};

  // The JSON members "id", "deviceId" and "time" (local time, now).
  JsonIds json_ids(const Settings& settings) {
    format_json_time(time_text, clock_time());
    return {settings.sensor_id, settings.device_id, time_text.data()};
  }
};

namespace {

// One message as it goes out.
struct Outgoing {
  ReportStep step;
  int32_t session;  // index
  int32_t packet_id;
  const DevInfoValues& devinfo;
  const ModemLink& link;
  const Settings& settings;
  const Mapping& mapping;
  const IoImage& io;
  const GpsFix& gps;
};

// A WDI or WAI step's message, its text into out.
InputMessage inputs_message(const Outgoing& m, std::span<char> out, std::span<char> scratch) {
  return build_input_message(out, scratch, m.settings, m.mapping.session_id[m.session], m.packet_id,
                             Reported(m.io, m.mapping, m.session).of(m.step), clock_time());
}

}  // namespace

class ReportLoop::Uplink {
 public:
  virtual ~Uplink() = default;
  // Whether the cycle has this message at all.
  virtual bool carries(ReportStep step) const = 0;
  // The AT line that hands the message to the modem, into buf.command;
  // false when the text does not fit.
  virtual bool build(const Outgoing& m, ReportBuffers& buf) = 0;
  // The message has been handed to the modem.
  virtual void sent(ReportBook& /*book*/, int32_t /*session*/, ReportStep /*step*/) {}
  // An ERROR from the modem means the link is to be rebuilt.
  virtual bool repairs_link_on_error() const { return false; }
};

namespace {

// Frames, scrambled, through the UDP socket; the server answers each request,
// which clears its pending bit.
class UdpUplink final : public ReportLoop::Uplink {
 public:
  bool carries(ReportStep /*step*/) const override { return true; }

  bool build(const Outgoing& m, ReportBuffers& buf) override {
    const int32_t s = m.session;
    const int32_t sid = m.mapping.session_id[s];
    const int32_t pid = m.packet_id;
    // Leave room behind the frame for the scrambler's padding.
    std::span<char> frame(buf.frame.data(), buf.frame.size() - kFramePadRoom);
    BuildResult n;
    switch (m.step) {
      case ReportStep::kDevInfo:
        n = build_devinfo_frame(frame, sid, pid, m.devinfo);
        break;
      case ReportStep::kRdo:
        n = build_rdo_frame(frame, sid, pid, m.mapping.do_num[s]);
        break;
      case ReportStep::kRao:
        n = build_rao_frame(frame, sid, pid, m.mapping.ao_num[s]);
        break;
      case ReportStep::kWdi:
      case ReportStep::kWai:
        n = inputs_message(m, frame, buf.json).length;
        break;
      case ReportStep::kGps:
        n = build_wgps_frame(frame, sid, pid, ReportedGps(m.gps).text);
        break;
    }
    if (!n) return false;
    std::memset(buf.frame.data() + *n, 0, kFramePadRoom + 1);
    auto length = static_cast<int32_t>(*n);
    auto* bytes = reinterpret_cast<uint8_t*>(buf.frame.data());
    encode_msg(bytes, &length);
    const size_t scrambled = std::min(static_cast<size_t>(std::max(length, 0)), buf.frame.size());
    return build_esosend_line(buf.command, m.link.socket_id(), {bytes, scrambled}).has_value();
  }

  void sent(ReportBook& book, int32_t session, ReportStep step) override {
    book.set_pending(session, step_bit(step));
  }
};

// Publications (wrapped in JSON when the settings ask for it); there is no RDO
// or RAO, and an ERROR means the session is to be rebuilt.
class MqttUplink final : public ReportLoop::Uplink {
 public:
  bool carries(ReportStep step) const override {
    return step != ReportStep::kRdo && step != ReportStep::kRao;
  }

  bool build(const Outgoing& m, ReportBuffers& buf) override {
    if (m.step == ReportStep::kWdi || m.step == ReportStep::kWai) {
      const InputMessage msg = inputs_message(m, buf.json, buf.frame);
      return msg.length && build_emqpub_line(buf.command, m.link.client_id(), msg.topic,
                                             {buf.json.data(), *msg.length});
    }
    std::span<char> plain(buf.frame);
    const bool devinfo = m.step == ReportStep::kDevInfo;
    const char* topic = devinfo ? m.settings.pub_topic_info : m.settings.pub_topic_gps;
    BuildResult n = devinfo ? build_devinfo_payload(plain, m.devinfo)
                            : build_text_payload(plain, ReportedGps(m.gps).text);
    if (!n) return false;
    const char* payload = plain.data();
    if (m.settings.mqtt_cht) {
      n = wrap_json(buf.json, buf.json_ids(m.settings), plain.data());
      if (!n) return false;
      payload = buf.json.data();
    }
    return build_emqpub_line(buf.command, m.link.client_id(), topic, {payload, *n}).has_value();
  }

  bool repairs_link_on_error() const override { return true; }
};

}  // namespace

ReportLoop::ReportLoop(ModemLink& link, ReportBook& book, const Settings& settings,
                       const Mapping& mapping, const IoImage& io, const GpsFix& gps)
    : link_(link),
      book_(book),
      settings_(settings),
      mapping_(mapping),
      io_(io),
      gps_(gps),
      uplink_(settings.transport == ReportTransport::kMqtt
                  ? std::unique_ptr<Uplink>(std::make_unique<MqttUplink>())
                  : std::make_unique<UdpUplink>()),
      buf_(std::make_unique<ReportBuffers>()) {
  console().line(kStartBanner);
  period_start_ = GetTimeTicks();
}

ReportLoop::~ReportLoop() = default;

void ReportLoop::run_pass() {
  // The modem port came back: the modem there knows no socket or session.
  // The link is built again and an awaited message, whose answer went with
  // the old port, is sent again.
  if (link_.at().take_port_return()) {
    bring_up_modem();
    if (phase_ == ReportPhase::kAwait) phase_ = ReportPhase::kSend;
    return;
  }
  if (phase_ == ReportPhase::kSend) {
    send_pass();
  } else {
    read_pass();
  }
}

void ReportLoop::send_pass() {
  console().line("\r");
  console().line(kBannerRule);
  console().line(kBannerTitles[step_index(message_)]);
  console().line(kBannerRule);
  const int32_t sid = mapping_.session_id[session_];
  console().print(kSendRequest, sid);

  if (without_slots(mapping_, message_, session_)) {
    console().line(kNoSlots[step_index(message_)]);
    transition(Event::kNothingSent);
    return;
  }
  if (message_ == ReportStep::kDevInfo) devinfo_queries();

  buf_->command[0] = '\0';
  if (!uplink_->build(
          {message_, session_, book_.packet_id(), devinfo_, link_, settings_, mapping_, io_, gps_},
          *buf_)) {
    // A message whose text does not fit its buffer is not sent: it counts as
    // finished, like a message without slots, and the loop moves on.
    console().print(kNotSent, sid);
    transition(Event::kNothingSent);
    return;
  }
  link_.at().begin(buf_->command.data());
  transition(Event::kSent);
  console().print(kWaitResponse, sid);
}

void ReportLoop::devinfo_queries() {
  failures_.start(link_.check_registration() == 1);
  // Whatever timed out before or during the queries is forgotten.
  timeout_seen_ = false;

  AtReply& reply = buf_->reply;
  reply = link_.at().exchange(kAtMenginfo);
  if (reply.result != AtResult::kOk || !contains(reply.lines(), kMengInfoName)) {
    devinfo_ = DevInfoValues{};
  } else {
    devinfo_ = parse_menginfo(reply.lines());
  }
  copy_text(devinfo_.value4, sizeof devinfo_.value4, io_.devinfo_value4());
}

void ReportLoop::read_pass() {
  transition(read_modem());
  if (phase_ == ReportPhase::kHold) {
    // The cycle is over but may not end yet; keep reading the modem.
    link_.at().pause(kPaceUs);
    return;
  }
  acknowledge();
}

// One receive call; what it found for the awaited message. The link is
// repaired here when the modem refused a publication or the broker dropped
// the session.
ReportLoop::Event ReportLoop::read_modem() {
  const AtResult result = link_.at().poll(buf_->reply);
  if (result == AtResult::kTimeout) timeout_seen_ = true;
  if (idle_polls_ > kIdlePollLimit) {
    idle_polls_ = 0;
    timeout_seen_ = true;
  }

  Event event = Event::kNone;
  if (result == AtResult::kOk) {
    event = Event::kAnswered;
  } else if (result == AtResult::kError) {
    event = Event::kRefused;
    if (uplink_->repairs_link_on_error()) {
      link_repair();
      link_.take_session_lost();
    }
  } else if (timeout_seen_) {
    console().line(kReceiveTimeout);
    timeout_seen_ = false;
    event = Event::kTimedOut;
    // The message counts as finished; its answer, when it comes, is dropped.
    link_.at().give_up();
  }
  if (link_.take_session_lost()) link_repair();
  return event;
}

// Every change of phase.
void ReportLoop::transition(Event event) {
  switch (phase_) {
    case ReportPhase::kSend:
      if (event == Event::kSent) {
        uplink_->sent(book_, session_, message_);
        phase_ = ReportPhase::kAwait;
      } else {
        phase_ = ReportPhase::kFinished;
      }
      return;
    case ReportPhase::kAwait:
      if (event == Event::kNone) return;
      if (event == Event::kRefused) {
        // The modem refused the message: resend it, at most three times.
        book_.clear_pending(session_, step_bit(message_));
        if (resend_left_ > 0) {
          --resend_left_;
          console().print(kResent, kResends - resend_left_);
          phase_ = ReportPhase::kSend;
          return;
        }
        resend_left_ = kResends;
        console().print(kGaveUp, kResends);
        failures_.give_up(message_);
        phase_ = ReportPhase::kFinished;
        return;
      }
      move_on();
      return;
    case ReportPhase::kFinished:
    case ReportPhase::kHold:
      move_on();
      return;
  }
}

// After a finished message: the next message, the next session, a new cycle,
// or the hold when the cycle's last message is finished but the cycle may not
// end yet.
void ReportLoop::move_on() {
  resend_left_ = kResends;
  if (message_ != ReportStep::kGps) {
    advance();
    phase_ = ReportPhase::kSend;
    return;
  }
  if (session_ + 1 < mapping_.session_count) {
    ++session_;
    advance();
    phase_ = ReportPhase::kSend;
    return;
  }
  if (cycle_may_end()) {
    period_start_ = GetTimeTicks();
    start_new_cycle();
  } else if (failures_.modem_to_reinitialise()) {
    // Modem re-initialisation; the period keeps its start.
    reinitialise();
    start_new_cycle();
  } else {
    phase_ = ReportPhase::kHold;
  }
}

// The period is over and every request has been answered (or the answer wait
// is over too).
bool ReportLoop::cycle_may_end() {
  const uint32_t elapsed = ticks_elapsed(GetTimeTicks(), period_start_);
  if (elapsed <= limit_ms(settings_.send_interval) ||
      !(book_.all_answered(mapping_.session_count) || elapsed > limit_ms(wait_timeout))) {
    return false;
  }
  console().print(kTimePeriod, static_cast<unsigned long>(elapsed));
  return true;
}

void ReportLoop::reinitialise() {
  link_.close_socket();
  bring_up_modem();
  failures_.clear();
}

void ReportLoop::start_new_cycle() {
  book_.next_cycle();
  session_ = 0;
  message_ = ReportStep::kDevInfo;
  phase_ = ReportPhase::kSend;
}

// The next message of the uplink, after the current one (GPS is the last).
void ReportLoop::advance() {
  do {
    message_ = next_step(message_);
  } while (!uplink_->carries(message_));
}

// At most one acknowledgement per pass, in the order the commands came.
void ReportLoop::acknowledge() {
  if (auto ack = book_.pop_ack()) publish_ack(*ack);
  // The pause ends early when the modem sends a byte. A pass counts for the
  // part of its 20 ms it waited, so that the limit stays about 60 s of pauses
  // however busy the modem is.
  const uint32_t start = GetTimeTicks();
  link_.at().pause(kPaceUs);
  paused_ms_ += std::min(ticks_elapsed(GetTimeTicks(), start), kPaceMs);
  idle_polls_ += static_cast<int32_t>(paused_ms_ / kPaceMs);
  paused_ms_ %= kPaceMs;
}

void ReportLoop::publish_ack(const std::string& ack) {
  std::string_view payload = ack;
  if (settings_.mqtt_cht) {
    BuildResult n = wrap_json(buf_->json, buf_->json_ids(settings_), ack.c_str());
    if (!n) {
      console().line(kAckDropped);
      return;
    }
    payload = {buf_->json.data(), *n};
  }
  if (!build_emqpub_line(buf_->command, link_.client_id(), settings_.pub_topic_ack, payload)) {
    console().line(kAckDropped);
    return;
  }
  if (link_.at().exchange(buf_->command.data()).result == AtResult::kTimeout) timeout_seen_ = true;
}

// MQTT link lost: three reconnections, then a full bring-up.
void ReportLoop::link_repair() {
  for (int32_t i = 0; i < kReconnectTries; ++i) {
    if (link_.reconnect_mqtt()) {
      timeout_seen_ = false;
      return;
    }
    if (i + 1 < kReconnectTries) clock_sleep_seconds(1);
  }
  bring_up_modem();
}

// Until the modem and its transport are ready.
void ReportLoop::bring_up_modem() {
  while (!link_.bring_up()) clock_sleep_seconds(1);
  timeout_seen_ = false;
}

void thread_main(ModemLink& link, ReportBook& book, const Settings& settings,
                 const Mapping& mapping, const IoImage& io, const GpsFix& gps, Beat* beat) {
  ReportLoop loop(link, book, settings, mapping, io, gps);
  for (;;) {
    loop.run_pass();
    if (beat != nullptr) beat->mark();
  }
}
