// The parses of the answers to the bring-up commands on arbitrary text: no read
// outside the answer; the address +EDNS answers lies inside it and is not empty.
#include "fuzz_check.h"
#include "modem/answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view answer = fuzz_text(data, size);
  (void)parse_cereg(answer), (void)parse_csq(answer), (void)parse_emqnew(answer);
  (void)parse_esoc(answer);
  if (auto address = parse_edns(answer)) FUZZ_CHECK(!address->empty() && inside(*address, answer));
  return 0;
}
