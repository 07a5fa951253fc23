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
  velmora_water_stain::Result<bool> verdict = velmora_water_stain::Failure{"not interpreted"};
  try {
    verdict = velmora_water_stain::interpretVlmReply(body);
  } catch (const std::exception & error) {
    fuzz_support::fail("interpretVlmReply threw:", error.what());
  } catch (...) {
    fuzz_support::fail("interpretVlmReply threw a non-standard exception");
  }
  if (verdict.ok() && !verdict.error().empty()) {
    fuzz_support::fail("a yes/no verdict carries a parse error:", verdict.error().c_str());
  }
  if (!verdict.ok() && verdict.error().empty()) {
    fuzz_support::fail("a failed verdict does not say why");
  }
  return 0;
}
