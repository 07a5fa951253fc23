#ifndef RCLCPP__DETAIL__WAKE_SIGNAL_HPP_
#define RCLCPP__DETAIL__WAKE_SIGNAL_HPP_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace rclcpp
{
namespace detail
{

// Wakes a waiting executor. The generation counter closes the gap between an executor finding
// no work and starting to wait: it sleeps only while nothing happened since it looked.
class WakeSignal
{
public:
  uint64_t generation() const;
  void notify();
  // Returns at the deadline, or earlier once something happened after `seen_generation`.
  void waitUntil(uint64_t seen_generation, std::chrono::steady_clock::time_point deadline);

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t generation_{0};
};

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__WAKE_SIGNAL_HPP_
