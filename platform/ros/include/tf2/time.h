#ifndef TF2__TIME_H_
#define TF2__TIME_H_

#include <chrono>
#include <string>

namespace tf2
{
using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Duration>;

using IDuration = std::chrono::duration<int, std::nano>;
// Zero time asks for the latest available data.
static const TimePoint TimePointZero = TimePoint(IDuration::zero());

TimePoint get_now();

Duration durationFromSec(double t_sec);

TimePoint timeFromSec(double t_sec);

double durationToSec(const tf2::Duration & input);

double timeToSec(const TimePoint & timepoint);

// Seconds with six decimals, as tf2 prints times in its messages.
std::string displayTimePoint(const TimePoint & stamp);

}  // namespace tf2

#endif  // TF2__TIME_H_
