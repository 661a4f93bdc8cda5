#include "modbus/board.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <utility>

#include "common/paths.h"
#include "common/unique_fd.h"
#include "modbus/modbus_io.h"

namespace {

using FileDesc = UniqueFd;

// The scan and the write-back both call in, from two threads.
std::mutex board_mutex;
FileDesc mem_fd;
FileDesc gpio_fd;

FileDesc open_board_file(const char* path) {
  return FileDesc(::open(resolve_path(path).c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
}

}  // namespace

int ostril_init() {
  std::lock_guard<std::mutex> lock(board_mutex);
  if (mem_fd.valid() && gpio_fd.valid()) return 1;
  FileDesc mem = open_board_file("/dev/mem");
  FileDesc gpio = open_board_file("/dev/GPIO");
  // Both or neither: a half-open board is tried again from the start.
  if (!mem.valid() || !gpio.valid()) return 0;
  mem_fd = std::move(mem);
  gpio_fd = std::move(gpio);
  return 1;
}

void ostril_release() {
  std::lock_guard<std::mutex> lock(board_mutex);
  mem_fd.reset();
  gpio_fd.reset();
}
