#ifndef FUZZ__FUZZ_SUPPORT_HPP_
#define FUZZ__FUZZ_SUPPORT_HPP_

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzz_support
{

// Stops the run so libFuzzer records the input; `why` names the broken property.
[[noreturn]] inline void fail(const char * why, const char * detail = "")
{
  std::fprintf(stderr, "FUZZ FAILURE: %s%s%s\n", why, *detail != '\0' ? " " : "", detail);
  std::abort();
}

// A double near `typical` most of the time, so the code under test gets past its first checks,
// but also special values (NaN, infinities, zeros, extremes) and arbitrary bit patterns.
inline double consumeDouble(FuzzedDataProvider & data, double typical)
{
  static constexpr std::array<double, 12> kSpecial{
    0.0, -0.0, 1.0, -1.0,
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::max(),
    std::numeric_limits<double>::lowest(),
    std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::epsilon(),
    1e-300};
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return typical;
    case 1:
      return typical + data.ConsumeFloatingPointInRange<double>(-2.0, 2.0) *
             (typical == 0.0 ? 1.0 : typical);
    case 2:
      return data.PickValueInArray(kSpecial);
    default: {
        const uint64_t bits = data.ConsumeIntegral<uint64_t>();
        double value;
        std::memcpy(&value, &bits, sizeof(value));
        return value;
      }
  }
}

}  // namespace fuzz_support

#endif  // FUZZ__FUZZ_SUPPORT_HPP_
