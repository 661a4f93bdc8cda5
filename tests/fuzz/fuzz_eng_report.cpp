// The engineering report (AT*MENGINFO=0's answer, up to its first NUL): value 2
// stays a short NUL-terminated text, "NULL" or one character.
#include "fuzz_check.h"
#include "messaging/uplink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DevInfoValues v = parse_menginfo(fuzz_c_text(data, size));
  size_t len = strnlen(v.value2, sizeof v.value2);
  FUZZ_CHECK(len == 1 || std::strcmp(v.value2, "NULL") == 0);
  return 0;
}
