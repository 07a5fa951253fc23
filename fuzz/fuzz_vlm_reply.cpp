// Arbitrary reply bodies from the vision-language model server: the verdict is always yes, no
// or failed, and nothing is thrown, whatever the server sends.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.hpp"
#include "velmora_water_stain/vlm_client.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * bytes, std::size_t size)
{
  const std::string body(reinterpret_cast<const char *>(bytes), size);
  velmora_water_stain::VlmVerdict verdict;
  try {
    verdict = velmora_water_stain::interpretVlmReply(body);
  } catch (const std::exception & error) {
    fuzz_support::fail("interpretVlmReply threw:", error.what());
  } catch (...) {
    fuzz_support::fail("interpretVlmReply threw a non-standard exception");
  }
  if (verdict.value != -1 && verdict.value != 0 && verdict.value != 1) {
    fuzz_support::fail("the verdict is not -1, 0 or 1");
  }
  if (verdict.value != -1 && !verdict.error.empty()) {
    fuzz_support::fail("a yes/no verdict carries a parse error:", verdict.error.c_str());
  }
  return 0;
}
