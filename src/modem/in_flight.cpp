#include "modem/in_flight.h"

#include <algorithm>

#include "common/text.h"

void InFlightQueue::push(std::string_view echo) {
  for (size_t i = 0; i < size_; ++i) {
    if (entries_[i].state == InFlight::State::kAnswered) erase(i--);
  }
  if (size_ == kCapacity) {
    size_t oldest = 0;
    while (oldest < size_ && entries_[oldest].state != InFlight::State::kGivenUp) ++oldest;
    erase(oldest == size_ ? 0 : oldest);
  }
  InFlight& e = entries_[size_++];
  e = InFlight{};
  e.len = std::min(echo.size(), e.text.size() - 1);
  std::copy_n(echo.data(), e.len, e.text.data());
}

size_t InFlightQueue::collecting_index() const {
  for (size_t i = size_; i > 0; --i) {
    if (entries_[i - 1].state == InFlight::State::kAwaited) return i - 1;
  }
  return size_;
}

InFlight* InFlightQueue::collecting() {
  const size_t i = collecting_index();
  return i == size_ ? nullptr : &entries_[i];
}

const InFlight* InFlightQueue::collecting() const {
  const size_t i = collecting_index();
  return i == size_ ? nullptr : &entries_[i];
}

InFlightQueue::Order InFlightQueue::echo_order() const {
  Order order{};
  size_t n = 0;
  for (const bool awaited : {true, false}) {
    for (size_t i = size_; i > 0; --i) {
      if ((entries_[i - 1].state == InFlight::State::kAwaited) == awaited) order[n++] = i - 1;
    }
  }
  return order;
}

bool InFlightQueue::echo_of(size_t i) {
  InFlight& e = entries_[i];
  if (e.state == InFlight::State::kAnswered && !e.saw_echo) e.state = InFlight::State::kGivenUp;
  e.saw_echo = true;
  return i == collecting_index();
}

size_t InFlightQueue::owner() const {
  // Awaited entries older than the newest one whose echo has come wait
  // behind it.
  size_t from = 0;
  for (size_t i = 0; i < size_; ++i) {
    if (entries_[i].state == InFlight::State::kAwaited && entries_[i].saw_echo) from = i;
  }
  size_t taker = from;
  while (taker < size_ && (entries_[taker].state != InFlight::State::kAwaited ||
                           entries_[taker].result != AtResult::kPending)) {
    ++taker;
  }
  size_t given_up = 0;
  while (given_up < size_ && entries_[given_up].state != InFlight::State::kGivenUp) ++given_up;
  // A command given up is owed the result first, unless the taker's echo has
  // come or the echo is off.
  if (given_up < size_ && (taker == size_ || (echo_on_ && !entries_[taker].saw_echo))) {
    return given_up;
  }
  return taker;
}

InFlightQueue::Verdict InFlightQueue::on_result(AtResult result, std::string_view line,
                                                bool collecting_call) {
  size_t i = owner();
  if (i == size_) return Verdict::kDrop;
  if (entries_[i].state == InFlight::State::kGivenUp) {
    erase(i);
    return Verdict::kDrop;
  }
  if (collecting_call && i == collecting_index()) return Verdict::kCollect;
  forget_given_up(i);
  entries_[i].result = result;
  copy_text(entries_[i].result_line.data(), entries_[i].result_line.size(), line);
  return Verdict::kKept;
}

bool InFlightQueue::information_collected() const {
  const size_t c = collecting_index();
  return c == size_ || owner() == c;
}

void InFlightQueue::finish(AtResult result) {
  size_t c = collecting_index();
  if (c == size_) return;
  echo_on_ = entries_[c].saw_echo;
  if (result == AtResult::kTimeout) {
    entries_[c].state = InFlight::State::kGivenUp;
    return;
  }
  forget_given_up(c);
  entries_[c].state = InFlight::State::kAnswered;
  entries_[c].result = AtResult::kPending;
  // An awaited entry before it is collected again; only the last command
  // written is kept answered.
  if (collecting_index() != size_) erase(c);
}

void InFlightQueue::give_up() {
  const size_t c = collecting_index();
  if (c != size_) entries_[c].state = InFlight::State::kGivenUp;
}

void InFlightQueue::clear() {
  size_ = 0;
  echo_on_ = true;
}

void InFlightQueue::erase(size_t i) {
  std::move(entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1,
            entries_.begin() + static_cast<std::ptrdiff_t>(size_),
            entries_.begin() + static_cast<std::ptrdiff_t>(i));
  --size_;
}

void InFlightQueue::forget_given_up(size_t& i) {
  for (size_t j = 0; j < size_;) {
    if (entries_[j].state == InFlight::State::kGivenUp) {
      erase(j);
      if (j < i) --i;
    } else {
      ++j;
    }
  }
}

std::string InFlightQueue::summary() const {
  static constexpr std::array<const char*, 3> kStates = {"awaited", "given-up", "answered"};
  std::string out;
  for (size_t i = 0; i < size_; ++i) {
    if (i > 0) out += ' ';
    out.append(entries_[i].echo())
        .append(":")
        .append(kStates[static_cast<size_t>(entries_[i].state)]);
  }
  return out;
}
