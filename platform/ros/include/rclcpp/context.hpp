#ifndef RCLCPP__CONTEXT_HPP_
#define RCLCPP__CONTEXT_HPP_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "rclcpp/detail/wake_signal.hpp"
#include "rclcpp/init_options.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{

// The one process-wide context: initialised by rclcpp::init, shut down by rclcpp::shutdown or a
// signal, and initialisable again afterwards.
class Context : public std::enable_shared_from_this<Context>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Context)

  using OnShutdownCallback = std::function<void()>;

  Context() = default;

  void init(int argc, char const * const * argv, const InitOptions & init_options = InitOptions());
  bool is_valid() const;
  const std::vector<std::string> & get_raw_arguments() const;
  std::string shutdown_reason() const;
  bool shutdown(const std::string & reason);
  OnShutdownCallback on_shutdown(OnShutdownCallback callback);
  // Sleeps unless shut down meanwhile; returns whether the full time passed.
  bool sleep_for(const std::chrono::nanoseconds & nanoseconds);

  // Stand-in internals: executors waiting on these are woken at shutdown.
  void addWakeSignal(const std::shared_ptr<detail::WakeSignal> & wake_signal);
  void removeWakeSignal(const std::shared_ptr<detail::WakeSignal> & wake_signal);

private:
  mutable std::mutex mutex_;
  std::condition_variable shutdown_condition_;
  bool valid_{false};
  std::string shutdown_reason_;
  std::vector<std::string> raw_arguments_;
  std::vector<OnShutdownCallback> on_shutdown_callbacks_;
  std::set<std::shared_ptr<detail::WakeSignal>> wake_signals_;
};

namespace contexts
{

Context::SharedPtr get_global_default_context();

}  // namespace contexts
}  // namespace rclcpp

#endif  // RCLCPP__CONTEXT_HPP_
