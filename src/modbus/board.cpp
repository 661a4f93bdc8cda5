#include "modbus/board.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "common/paths.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"
#include "modbus/modbus_io.h"

namespace {

// The scan and the write-back both call in, from two threads.
Mutex board_mutex;
UniqueFd mem_fd GUARDED_BY(board_mutex);
UniqueFd gpio_fd GUARDED_BY(board_mutex);

UniqueFd open_board_file(const char* path) {
  return UniqueFd(::open(resolve_path(path).c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
}

}  // namespace

int ostril_init() {
  MutexLock lock(board_mutex);
  if (mem_fd.valid() && gpio_fd.valid()) return 1;
  UniqueFd mem = open_board_file("/dev/mem");
  UniqueFd gpio = open_board_file("/dev/GPIO");
  // Both or neither: a half-open board is tried again from the start.
  if (!mem.valid() || !gpio.valid()) return 0;
  mem_fd = std::move(mem);
  gpio_fd = std::move(gpio);
  return 1;
}

void ostril_release() {
  MutexLock lock(board_mutex);
  mem_fd.reset();
  gpio_fd.reset();
}
