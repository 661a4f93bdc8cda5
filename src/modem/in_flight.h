// The commands written to the modem whose answers are still to be paired, and
// the rule that pairs a result line with one of them. Pure: the AT channel
// feeds it what each line is, so the rule is tested without a port.
//
// The modem answers in the order the commands were written, so the first
// result belongs to the oldest command still owed one. Commands given up
// (their callers stopped waiting) are owed theirs first, as long as the echo
// is on and the command that would take the result has not echoed yet: its
// echo shows that the modem has moved past them. Once a command takes a
// result, what commands given up were owed is forgotten. An awaited command
// whose later command has echoed lets that command's result pass first. With
// the echo off nothing tells a late result from the awaited one's, which then
// takes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Size of an answer's text.
inline constexpr int kResponseSize = 1024;

// How an exchange ended. Only a result line ends one: a line that is exactly
// "OK" or "ERROR" once its line end is removed, or one that begins with
// "+CME ERROR".
enum class AtResult : uint8_t {
  kPending,  // no result (yet): nothing waited, or no command is awaited
  kOk,
  kError,
  kTimeout,  // the receive time-out passed without a result
};

// One command written to the modem.
struct InFlight {
  enum class State : uint8_t {
    kAwaited,   // its caller waits for its result
    kGivenUp,   // its caller gave up (give_up, a time-out, a reset): the
                // result it is owed is dropped when it comes
    kAnswered,  // took a result; kept while it is the last command written,
                // since its echo may still come
  };
  std::array<char, kResponseSize> text{};  // without its line end: its echo
  size_t len = 0;
  State state = State::kAwaited;
  bool saw_echo = false;
  // A result taken for it while a later command was collected.
  AtResult result = AtResult::kPending;
  std::array<char, kResponseSize> result_line{};

  std::string_view echo() const { return {text.data(), len}; }
};

class InFlightQueue {
 public:
  // Two are awaited at most (the report loop's message and a command begun
  // while it waits); the rest are given up. At the cap, writing one more
  // forgets the oldest given-up entry: a modem eight answers behind is out of
  // step, and the echo of the next command pairs it again.
  static constexpr size_t kCapacity = 8;

  // A command is written: awaited, and collected until its result. The last
  // command's entry, if it was answered, goes.
  void push(std::string_view echo);
  // The entry a receive call collects for: the newest awaited one, or null.
  InFlight* collecting();
  const InFlight* collecting() const;

  // The entries in the order an echo is matched against them: the awaited
  // ones, then the rest, each newest first (an echo of the same text is the
  // awaited command's, then the last written's).
  using Order = std::array<size_t, kCapacity>;
  Order echo_order() const;
  // The echo of entry i (oldest first) arrived; true when it is the
  // collecting entry's (part of its answer). An answered entry whose echo
  // comes after its result took a result that was an earlier command's: its
  // own is still to come, and is dropped.
  bool echo_of(size_t i);
  // An echo of any command: the modem echoes.
  void echo_seen() { echo_on_ = true; }

  enum class Verdict : uint8_t {
    kDrop,     // owed to a command given up, or to none
    kCollect,  // the collecting entry's: the caller ends its answer (finish)
    kKept,     // an older awaited entry's, kept for it (entry's result)
  };
  // Pairs a result line. `collecting_call`: a receive call collects for the
  // collecting entry now (not so while the next command is being prepared).
  Verdict on_result(AtResult result, std::string_view line, bool collecting_call);
  // An information line belongs to the collected answer unless the next
  // result goes to another entry.
  bool information_collected() const;

  // The collecting entry's wait ends: with a result (the entry is answered;
  // commands given up are owed nothing more), or at the time-out
  // (it is given up). Whether the echo is on is learnt from it. The awaited
  // entry before it, if any, is collected again.
  void finish(AtResult result);
  // The caller stops waiting for the collecting entry.
  void give_up();
  // Forgets every entry; the echo is taken to be on.
  void clear();

  size_t size() const { return size_; }
  const InFlight& operator[](size_t i) const { return entries_[i]; }
  bool echo_on() const { return echo_on_; }
  // Each entry, oldest first: "<echo>:<state>" (awaited, given-up, answered).
  std::string summary() const;

 private:
  // The index of the entry the next result goes to; size_ when none.
  size_t owner() const;
  size_t collecting_index() const;
  void erase(size_t i);
  // Entries given up are owed nothing more; i follows its entry.
  void forget_given_up(size_t& i);

  std::array<InFlight, kCapacity> entries_{};
  size_t size_ = 0;
  bool echo_on_ = true;  // the last exchange saw its own echo
};
