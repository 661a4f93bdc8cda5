// What the report cycle shares with the downlink handlers, which run inside
// its receive calls on the main thread: the cycle's packet ID, the pending bit
// of every request still unanswered, and the acknowledgements the MQTT command
// handler leaves for the cycle to publish. app/ builds one at start-up and
// hands it to both.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"

class ReportBook {
 public:
  static constexpr int32_t kMaxPacketId = 65535;
  // Acknowledgements kept unpublished; a command beyond them replaces the last.
  static constexpr size_t kMaxAcks = 8;

  int32_t packet_id() const { return packet_id_; }
  // Tests that start from a given packet ID.
  void set_packet_id_for_test(int32_t id) { packet_id_ = id; }
  // The next cycle: the next packet ID (65535 wraps to 0), nothing pending.
  void next_cycle() {
    packet_id_ = packet_id_ >= kMaxPacketId ? 0 : packet_id_ + 1;
    pending_.fill(0);
  }

  // Bit t of a session: the request of step t is sent and not yet answered.
  uint8_t pending(int session) const { return pending_.at(static_cast<size_t>(session)); }
  void set_pending(int session, uint8_t bits) { pending_.at(static_cast<size_t>(session)) |= bits; }
  // Clearing also clears bits 6 and 7, which are never set.
  void clear_pending(int session, uint8_t bits) {
    pending_.at(static_cast<size_t>(session)) &= static_cast<uint8_t>(0x3F & ~bits);
  }
  bool all_answered(int32_t sessions) const {
    for (int32_t s = 0; s < sessions && s < kMaxSessions; ++s) {
      if (pending_[static_cast<size_t>(s)] != 0) return false;
    }
    return true;
  }

  // Whether RDO and RAO answers set outputs only when they answer a request
  // still in flight (this cycle's packet ID, its bit still pending): a
  // replayed or late answer then sets nothing.
  bool answers_current_cycle_only() const { return current_only_; }
  void set_answers_current_cycle_only(bool on) { current_only_ = on; }

  // Acknowledgements in the order the commands arrived.
  void push_ack(std::string_view text) {
    if (acks_.size() >= kMaxAcks) acks_.pop_back();
    acks_.emplace_back(text);
  }
  std::optional<std::string> pop_ack() {
    if (acks_.empty()) return std::nullopt;
    std::string text = std::move(acks_.front());
    acks_.pop_front();
    return text;
  }
  const std::deque<std::string>& acks() const { return acks_; }

 private:
  int32_t packet_id_ = 0;
  std::array<uint8_t, kMaxSessions> pending_{};
  std::deque<std::string> acks_;
  bool current_only_ = false;
};
