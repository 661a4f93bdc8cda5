// The pairing rule on its own: scripts of what the channel tells the queue of
// commands in flight, and where each result line went.
#include "modem/in_flight.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// "+X" writes AT+X, "eX" is its echo (matched as the channel does), "g" gives
// up, "t" times out; "ok" is a result line (traced c: collected, k: kept for
// an older awaited command, d: dropped), "in" one while the next command is
// prepared; "i" asks whether an information line is collected (i or -).
std::string run(InFlightQueue& q, const std::string& script) {
  std::istringstream ops(script);
  std::string trace;
  for (std::string op; ops >> op;) {
    const std::string echo = "AT+" + op.substr(1);
    if (op[0] == '+') q.push(echo);
    if (op[0] == 'e') {
      const InFlightQueue::Order order = q.echo_order();
      size_t i = 0;
      while (q[order[i]].echo() != echo) ++i;
      q.echo_seen();
      q.echo_of(order[i]);
    }
    if (op == "g") q.give_up();
    if (op == "t") q.finish(AtResult::kTimeout);
    if (op == "i") trace += q.information_collected() ? 'i' : '-';
    if (op == "ok" || op == "in") {
      const auto v = q.on_result(AtResult::kOk, "OK", op == "ok");
      trace += "dck"[static_cast<int>(v)];
      if (v == InFlightQueue::Verdict::kCollect) q.finish(AtResult::kOk);
    }
  }
  return trace;
}

TEST(InFlight, EachResultGoesToTheOldestCommandStillOwedOne) {
  struct Row {
    const char *script, *trace, *left;
  };
  const Row rows[] = {
      // A command begun while another waits: the first result is the older's.
      {"+A +B i ok i ok", "-kic", "AT+A:awaited"},
      {"+A +B eB ok", "c", "AT+A:awaited"},  // ... unless the later one has echoed
      {"+A in", "k", "AT+A:awaited"},        // a result before the next is written
      // Given up inside a wait, echo on: its result comes before the older's.
      {"+A +B eB t i ok i ok", "-dic", "AT+A:answered"},
      {"+A eA t +B i eB i ok", "-ic", "AT+B:answered"},
      {"+A eA ok +B g ok in", "cdd", ""},  // nothing owed: dropped all the same
      // A result taken before the echo says nothing about the next command, nor
      // about the one it was begun inside: that one owes one for its time-out.
      {"+A ok +B g eB in +C", "cd", "AT+C:awaited"},
      {"+A +B eB ok t eA +D", "c", "AT+A:given-up AT+D:awaited"},
      // An echo of the same text is the awaited command's.
      {"+A g +A eA ok", "c", "AT+A:answered"},
      // At the cap the oldest command given up is forgotten.
      {"+A g +B g +C g +D g +E g +F g +G g +H g +I", "",
       "AT+B:given-up AT+C:given-up AT+D:given-up AT+E:given-up AT+F:given-up AT+G:given-up "
       "AT+H:given-up AT+I:awaited"},
  };
  for (const Row& r : rows) {
    InFlightQueue q;
    EXPECT_EQ(run(q, r.script), r.trace) << r.script;
    EXPECT_EQ(q.summary(), r.left) << r.script;
  }
}

}  // namespace
