#include "messaging/report_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "config/records.h"
#include "messaging/codec.h"
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

constexpr uint64_t kPaceUs = 20000;       // pause of a wait pass
constexpr int32_t kIdlePollLimit = 2999;  // counted passes before a time-out
constexpr int32_t kResends = 3;           // resends of a refused message
constexpr int32_t kReconnectTries = 3;    // MQTT reconnections before a bring-up
constexpr uint32_t kAllStepsFailed = 63;  // all six steps: modem not registered
constexpr int32_t kMaxPacketId = 65535;

// Slots the step's message is about: -1 for the messages that need none.
int32_t slot_count(int32_t step, int32_t s) {
  switch (step) {
    case kStepRdo:
      return modbusIO->do_num[s];
    case kStepWdi:
      return modbusIO->di_num[s];
    case kStepRao:
      return modbusIO->ao_num[s];
    case kStepWai:
      return modbusIO->ai_num[s];
    default:
      return -1;
  }
}

size_t used_slots(int32_t count) {
  return static_cast<size_t>(std::clamp(count, 0, kMaxSlots));
}

// A session's values copied under its lock, so that one message shows one
// consistent scan; only the used slots are reported.
class Reported {
 public:
  Reported(const IoImage& io, int32_t s) : s_(s), v_(io.copy(s)) {}
  std::span<const uint8_t> di() const { return {v_.di_value, used_slots(modbusIO->di_num[s_])}; }
  std::span<const uint16_t> ai() const { return {v_.ai_value, used_slots(modbusIO->ai_num[s_])}; }

 private:
  int32_t s_;
  SessionValues v_;
};

// The GPS sentence copied under its lock.
struct ReportedGps {
  explicit ReportedGps(const GpsFix& gps) { gps.copy(text); }
  char text[GpsFix::kSize];
};

// Calls nbiot_init until the modem and its transport are ready.
void bring_up_modem() {
  while (nbiot_init() != 1) clock_sleep_seconds(1);
}

uint32_t limit_ms(int32_t seconds) {
  return static_cast<uint32_t>(seconds) * 1000U;
}

}  // namespace

struct ReportLoop::Buffers {
  AtReply reply;
  std::array<char, kCommandBufferSize> command{};
  std::array<char, kFrameBufferSize> frame{};
  std::array<char, kFrameBufferSize> json{};
  std::array<char, kTimeTextSize> time_text{};
};

ReportLoop::ReportLoop(const IoImage& io, const GpsFix& gps)
    : io_(io), gps_(gps), buf_(std::make_unique<Buffers>()) {
  console().line(kStartBanner);
  st_.period_start = GetTimeTicks();
}

ReportLoop::~ReportLoop() = default;

void ReportLoop::run_pass() {
  if (st_.awaiting_reply == 0) {
    send_pass();
  } else {
    wait_pass();
  }
}

void ReportLoop::send_pass() {
  st_.step = st_.step + 1;
  if (st_.step >= kStepCount) st_.step = kStepDevInfo;
  if (flag_mqtt != 0 && (st_.step == kStepRdo || st_.step == kStepRao)) ++st_.step;

  console().line("\r");
  console().line(kBannerRule);
  console().line(kBannerTitles[static_cast<size_t>(st_.step)]);
  console().line(kBannerRule);
  const int32_t sid = modbusIO->session_id[st_.session_idx];
  console().print(kSendRequest, sid);

  if (slot_count(st_.step, st_.session_idx) == 0) {
    console().line(kNoSlots[static_cast<size_t>(st_.step)]);
    st_.awaiting_reply = 1;
    st_.step_done = 1;
    return;
  }
  if (st_.step == kStepDevInfo) devinfo_queries();

  if (!build_command()) {
    handle_refusal();
    return;
  }
  at_channel(modem_port).begin(buf_->command.data());
  if (flag_mqtt == 0) packetID_send_check[st_.session_idx] |= static_cast<uint8_t>(1U << st_.step);
  console().print(kWaitResponse, sid);
  st_.awaiting_reply = 1;
}

// A message whose text does not fit its buffer is not sent: it counts as
// finished, like a message without slots, and the loop moves on.
void ReportLoop::handle_refusal() {
  console().print(kNotSent, modbusIO->session_id[st_.session_idx]);
  st_.awaiting_reply = 1;
  st_.step_done = 1;
}

void ReportLoop::devinfo_queries() {
  const int32_t creg = read_registration();
  flag_recv_timeout = 0;
  const int32_t csq = read_signal();
  flag_recv_timeout = 0;
  write_modem_status(creg, csq);
  st_.failed_steps = creg == 1 ? 0 : kAllStepsFailed;

  AtReply& reply = buf_->reply;
  reply = at_channel(modem_port).exchange(kAtMenginfo);
  if (reply.result != AtResult::kOk || !contains(reply.lines(), kMengInfoName)) {
    devinfo_ = DevInfoValues{};
    flag_recv_timeout = 0;
  } else {
    devinfo_ = parse_menginfo(reply.lines());
  }
}

bool ReportLoop::build_command() {
  buf_->command[0] = '\0';
  return flag_mqtt != 0 ? build_mqtt_command() : build_udp_command();
}

// The frame, scrambled in place, then the AT+ESOSEND line.
bool ReportLoop::build_udp_command() {
  const int32_t s = st_.session_idx;
  const int32_t sid = modbusIO->session_id[s];
  const int32_t pid = packetID_send;
  // Leave room behind the frame for the scrambler's padding.
  std::span<char> frame(buf_->frame.data(), buf_->frame.size() - kFramePadRoom);
  BuildResult n;
  switch (st_.step) {
    case kStepDevInfo:
      n = build_devinfo_frame(frame, sid, pid, devinfo_);
      break;
    case kStepRdo:
      n = build_rdo_frame(frame, sid, pid, modbusIO->do_num[s]);
      break;
    case kStepRao:
      n = build_rao_frame(frame, sid, pid, modbusIO->ao_num[s]);
      break;
    case kStepWdi:
      n = build_wdi_frame(frame, sid, pid, Reported(io_, s).di());
      break;
    case kStepWai:
      n = build_wai_frame(frame, sid, pid, Reported(io_, s).ai());
      break;
    default:
      n = build_wgps_frame(frame, sid, pid, ReportedGps(gps_).text);
      break;
  }
  if (!n) return false;
  std::memset(buf_->frame.data() + *n, 0, kFramePadRoom + 1);
  *dataLen_tmp = static_cast<int32_t>(*n);
  auto* bytes = reinterpret_cast<uint8_t*>(buf_->frame.data());
  encode_msg(bytes, dataLen_tmp);
  const size_t scrambled =
      std::min(static_cast<size_t>(std::max(*dataLen_tmp, 0)), buf_->frame.size());
  return build_esosend_line(buf_->command, udp_sock_id, {bytes, scrambled}).has_value();
}

// The payload, wrapped in JSON when flag_mqtt_CHT is set, then the AT+EMQPUB line.
bool ReportLoop::build_mqtt_command() {
  const int32_t s = st_.session_idx;
  std::span<char> plain(buf_->frame);
  const char* topic = nullptr;
  BuildResult n;
  switch (st_.step) {
    case kStepDevInfo:
      topic = programInfo->pub_topic_info;
      n = build_devinfo_payload(plain, devinfo_);
      break;
    case kStepWdi:
      topic = programInfo->pub_topic_di;
      n = build_di_payload(plain, Reported(io_, s).di());
      break;
    case kStepWai:
      topic = programInfo->pub_topic_ai;
      n = build_ai_payload(plain, Reported(io_, s).ai());
      break;
    default:
      topic = programInfo->pub_topic_gps;
      n = build_text_payload(plain, ReportedGps(gps_).text);
      break;
  }
  if (!n) return false;
  const char* payload = plain.data();
  if (flag_mqtt_CHT != 0) {
    const JsonIds ids = json_ids();
    const int32_t sid = modbusIO->session_id[s];
    if (st_.step == kStepWdi) {
      n = wrap_json_di(buf_->json, ids, sid, plain.data());
    } else if (st_.step == kStepWai) {
      n = wrap_json_ai(buf_->json, ids, sid, plain.data());
    } else {
      n = wrap_json(buf_->json, ids, plain.data());
    }
    if (!n) return false;
    payload = buf_->json.data();
  }
  return build_emqpub_line(buf_->command, mqtt_id, topic, {payload, *n}).has_value();
}

// The JSON members "id", "deviceId" and "time" (local time, now).
JsonIds ReportLoop::json_ids() {
  format_json_time(buf_->time_text, clock_time());
  return {programInfo->sensor_id, programInfo->device_id, buf_->time_text.data()};
}

void ReportLoop::wait_pass() {
  AtChannel& modem = at_channel(modem_port);
  const AtResult result = modem.poll(buf_->reply);
  if (st_.idle_polls > kIdlePollLimit) {
    st_.idle_polls = 0;
    flag_recv_timeout = 1;
  }

  if (result == AtResult::kOk) {
    st_.step_done = 1;
  } else if (result == AtResult::kError) {
    st_.step_failed = 1;
    if (flag_mqtt != 0) {
      link_repair();
      flag_EMQDISCON = 0;
    }
  } else if (flag_recv_timeout != 0) {
    console().line(kReceiveTimeout);
    flag_recv_timeout = 0;
    st_.step_done = 1;
    // The message counts as finished; its answer, when it comes, is dropped.
    modem.give_up();
  }
  if (flag_EMQDISCON != 0) {
    flag_EMQDISCON = 0;
    link_repair();
  }

  if (st_.step_done == 0) {
    if (st_.step_failed != 0 && st_.step >= 0) {
      // The modem refused the message: resend it, at most three times.
      packetID_send_check[st_.session_idx] &= static_cast<uint8_t>(~(1U << st_.step));
      if (st_.resend_left > 0) {
        --st_.resend_left;
        console().print(kResent, kResends - st_.resend_left);
        --st_.step;
        st_.step_failed = 0;
        st_.awaiting_reply = 0;
      } else {
        st_.resend_left = kResends;
        console().print(kGaveUp, kResends);
        st_.failed_steps |= 1U << st_.step;
        st_.step_done = 1;
        st_.step_failed = 0;
      }
    }
  } else if (!next_message()) {
    // Hold: the cycle is over but may not end yet; keep reading the modem.
    clock_sleep_us(kPaceUs);
    return;
  }
  acknowledge();
}

// Moves on after a finished message. False when the cycle's last message is
// finished but the cycle may not end yet (hold).
bool ReportLoop::next_message() {
  if (st_.step != kStepGps) {
    reset_message();
    return true;
  }
  if (st_.session_idx + 1 < modbusIO->session_count) {
    ++st_.session_idx;
    reset_message();
    return true;
  }

  bool all_answered = true;
  for (int32_t s = 0; s < modbusIO->session_count && s < kMaxSessions; ++s) {
    if (packetID_send_check[s] != 0) all_answered = false;
  }
  const uint32_t elapsed = ticks_elapsed(GetTimeTicks(), st_.period_start);
  if (elapsed > limit_ms(programInfo->send_interval) &&
      (all_answered || elapsed > limit_ms(wait_timeout))) {
    console().print(kTimePeriod, static_cast<unsigned long>(elapsed));
    st_.period_start = GetTimeTicks();
    start_new_cycle();
    return true;
  }
  if (st_.failed_steps == kAllStepsFailed) {
    // Modem re-initialisation; the period keeps its start.
    bformat(buf_->command.data(), buf_->command.size(), kAtEsocl, udp_sock_id);
    at_channel(modem_port).exchange(buf_->command.data());
    bring_up_modem();
    st_.failed_steps = 0;
    start_new_cycle();
    return true;
  }
  return false;
}

void ReportLoop::start_new_cycle() {
  packetID_send = packetID_send + 1;
  if (packetID_send > kMaxPacketId) packetID_send = 0;
  std::memset(packetID_send_check, 0, sizeof packetID_send_check);
  st_.session_idx = 0;
  reset_message();
}

void ReportLoop::reset_message() {
  st_.resend_left = kResends;
  st_.step_done = 0;
  st_.awaiting_reply = 0;
}

void ReportLoop::acknowledge() {
  if (flag_ACK != 0) {
    flag_ACK = 0;
    publish_ack();
  }
  clock_sleep_us(kPaceUs);
  ++st_.idle_polls;
}

void ReportLoop::publish_ack() {
  data_ACK[sizeof data_ACK - 1] = '\0';
  if (flag_mqtt_CHT != 0) {
    BuildResult n = wrap_json(buf_->json, json_ids(), data_ACK);
    if (!n || !copy_text(data_ACK, sizeof data_ACK, {buf_->json.data(), *n})) {
      console().line(kAckDropped);
      return;
    }
  }
  if (!build_emqpub_line(buf_->command, mqtt_id, programInfo->pub_topic_ack,
                         c_text(data_ACK, sizeof data_ACK))) {
    console().line(kAckDropped);
    return;
  }
  at_channel(modem_port).exchange(buf_->command.data());
}

// MQTT link lost: three reconnections, then a full bring-up.
void ReportLoop::link_repair() {
  for (int32_t i = 0; i < kReconnectTries; ++i) {
    if (mqtt_reconnect() == 1) return;
    if (i + 1 < kReconnectTries) clock_sleep_seconds(1);
  }
  bring_up_modem();
}

void thread_main(const IoImage& io, const GpsFix& gps) {
  ReportLoop loop(io, gps);
  for (;;) loop.run_pass();
}
