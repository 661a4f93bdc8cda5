#include "serial/port_keeper.h"

#include <cerrno>
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

// The device path without the doubled slashes of the port formats.
std::string PortKeeper::shown_path() const {
  std::string path = port_.path();
  for (size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
  return path;
}

int PortKeeper::open(uint32_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop) {
  const int rc = port_.open_line(baud, data_bits, parity, stop);
  if (!port_.is_open()) {
    const int error = errno;
    console().print(kTxtCannotOpen, name_, shown_path().c_str(), strerrordesc_np(error));
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
  if (port_.reopen() != 0 || !port_.is_open()) {
    port_.close();
    backoff_.failed(now);
    return false;
  }
  backoff_.reset();
  path_checked_ = now;
  ++returns_;
  console().print(kTxtBack, name_, shown_path().c_str());
  return true;
}

void PortKeeper::lose(const char* reason) {
  if (!port_.is_open()) return;
  console().print(kTxtLost, name_, shown_path().c_str(), reason);
  port_.close();
  backoff_.failed(GetTimeTicks());
}
