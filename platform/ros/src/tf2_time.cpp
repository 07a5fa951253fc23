#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tf2/time.h"

namespace tf2
{

TimePoint get_now()
{
  return std::chrono::time_point_cast<Duration>(std::chrono::system_clock::now());
}

Duration durationFromSec(double t_sec)
{
  return Duration(static_cast<int64_t>(std::llround(t_sec * 1e9)));
}

TimePoint timeFromSec(double t_sec)
{
  return TimePoint(durationFromSec(t_sec));
}

double durationToSec(const tf2::Duration & input)
{
  // Whole seconds and the remainder apart, so large stamps keep their nanoseconds.
  const int64_t count = input.count();
  const int64_t seconds = count / 1000000000LL;
  const int64_t nanoseconds = count % 1000000000LL;
  return static_cast<double>(seconds) + static_cast<double>(nanoseconds) * 1e-9;
}

double timeToSec(const TimePoint & timepoint)
{
  return durationToSec(timepoint.time_since_epoch());
}

std::string displayTimePoint(const TimePoint & stamp)
{
  char text[64];
  std::snprintf(text, sizeof(text), "%.6f", timeToSec(stamp));
  return text;
}

}  // namespace tf2
