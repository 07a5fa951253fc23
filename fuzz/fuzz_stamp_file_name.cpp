// Arbitrary header stamps through the archive's file naming: "<sec>.<nanosec>.jpg", digits only,
// and the name reads back as the stamp it came from.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "builtin_interfaces/msg/time.hpp"
#include "fuzz_support.hpp"
#include "velmora_water_stain/archive.hpp"

namespace
{

long long parseNumber(const std::string & text)
{
  errno = 0;
  char * end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) {
    fuzz_support::fail("a part of the file name is not a number:", text.c_str());
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * bytes, std::size_t size)
{
  static const std::regex kFileName(R"(^(-?[0-9]+)\.([0-9]+)\.jpg$)");
  FuzzedDataProvider data(bytes, size);
  builtin_interfaces::msg::Time stamp;
  stamp.sec = data.ConsumeIntegral<int32_t>();
  stamp.nanosec = data.ConsumeIntegral<uint32_t>();

  const std::string name = velmora_water_stain::stampFileName(stamp);
  std::smatch parts;
  if (!std::regex_match(name, parts, kFileName)) {
    fuzz_support::fail("the file name has the wrong form:", name.c_str());
  }
  const std::string sec_digits = parts[1].str().substr(stamp.sec < 0 ? 1 : 0);
  if ((sec_digits.size() > 1 && sec_digits[0] == '0') ||
    (parts[2].length() > 1 && parts[2].str()[0] == '0'))
  {
    fuzz_support::fail("the file name is zero padded:", name.c_str());
  }
  if (parseNumber(parts[1]) != stamp.sec || parseNumber(parts[2]) != stamp.nanosec) {
    fuzz_support::fail("the file name does not read back as its stamp:", name.c_str());
  }
  return 0;
}
