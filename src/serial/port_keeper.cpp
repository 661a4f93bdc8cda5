#include "serial/port_keeper.h"

#include <cstring>

#include "common/clock.h"
#include "common/console.h"

namespace {

constexpr const char* kTxtCannotOpen = "%s port %s cannot be opened (%s), retrying!!\n";
constexpr const char* kTxtLost = "%s port %s lost (%s), reopening!!\n";
constexpr const char* kTxtBack = "%s port %s back\n";

constexpr uint32_t kPathCheckMs = 1000;

}  // namespace

PortKeeper::PortKeeper(ByteStream& port, const char* name) : port_(port), name_(name) {}

int PortKeeper::open(const LineSettings& line) {
  const int rc = port_.open_line(line);
  if (rc != 0) {
    console().print(kTxtCannotOpen, name_, port_.path().c_str(), strerrordesc_np(-rc));
    backoff_.failed(GetTimeTicks());
  }
  path_checked_ = GetTimeTicks();
  return rc;
}

bool PortKeeper::ready() {
  const uint32_t now = GetTimeTicks();
  if (port_.is_open()) {
    const bool check_path = ticks_elapsed(now, path_checked_) >= kPathCheckMs;
    if (check_path) path_checked_ = now;
    const char* reason = port_.lost_reason(check_path);
    if (reason == nullptr) return true;
    lose(reason);
    return false;
  }
  if (!backoff_.due(now)) return false;
  if (port_.reopen() != 0) {
    backoff_.failed(now);
    return false;
  }
  backoff_.reset();
  path_checked_ = now;
  ++returns_;
  console().print(kTxtBack, name_, port_.path().c_str());
  return true;
}

void PortKeeper::lose(const char* reason) {
  if (!port_.is_open()) return;
  console().print(kTxtLost, name_, port_.path().c_str(), reason);
  port_.close();
  backoff_.failed(GetTimeTicks());
}
