// The engineering report parse (the answer to AT*MENGINFO=0) on arbitrary
// text: value 2 always stays a short NUL-terminated text, "NULL" or one
// character. The answer is taken up to its first NUL, as the receive routine's
// buffer holds it.
#include <cstring>

#include "fuzz_check.h"
#include "messaging/uplink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view answer = fuzz_text(data, strnlen(reinterpret_cast<const char*>(data), size));
  DevInfoValues v = parse_menginfo(answer);
  size_t len = strnlen(v.value2, sizeof v.value2);
  FUZZ_CHECK(len < sizeof v.value2);
  FUZZ_CHECK(len == 1 || std::strcmp(v.value2, "NULL") == 0);
  return 0;
}
