#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/utilities.hpp"
#include "rcutils/logging.h"
#include "ros_arguments.hpp"

namespace rclcpp
{
namespace
{

std::mutex g_arguments_mutex;
detail::RosArguments g_arguments;

std::vector<std::string> toVector(int argc, char const * const argv[])
{
  std::vector<std::string> arguments;
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  return arguments;
}

// Signals are turned into a byte on a pipe; a watcher thread reads it and shuts the context down,
// since nothing but write() is safe inside the handler itself.
class SignalHandler
{
public:
  static SignalHandler & instance()
  {
    static SignalHandler * handler = new SignalHandler();
    return *handler;
  }

  bool install(SignalHandlerOptions options)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (installed_) {
      return false;
    }
    if (pipe2(pipe_, O_CLOEXEC) != 0) {
      throw std::runtime_error("could not create the signal handler pipe");
    }
    options_ = options;
    watcher_ = std::thread([this] {watch();});
    if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigInt) {
      setHandler(SIGINT, &old_sigint_);
    }
    if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigTerm) {
      setHandler(SIGTERM, &old_sigterm_);
    }
    installed_ = true;
    return true;
  }

  bool uninstall()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!installed_) {
      return false;
    }
    if (options_ == SignalHandlerOptions::All || options_ == SignalHandlerOptions::SigInt) {
      sigaction(SIGINT, &old_sigint_, nullptr);
    }
    if (options_ == SignalHandlerOptions::All || options_ == SignalHandlerOptions::SigTerm) {
      sigaction(SIGTERM, &old_sigterm_, nullptr);
    }
    installed_ = false;
    options_ = SignalHandlerOptions::None;
    writeByte(kQuit);
    if (watcher_.get_id() == std::this_thread::get_id()) {
      watcher_.detach();
    } else {
      watcher_.join();
    }
    close(pipe_[0]);
    close(pipe_[1]);
    pipe_[0] = pipe_[1] = -1;
    return true;
  }

  bool installed() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_;
  }

  SignalHandlerOptions options() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
  }

private:
  static constexpr char kQuit = 0;

  static void onSignal(int signal_number, siginfo_t * info, void * context)
  {
    const int saved_errno = errno;
    SignalHandler & self = instance();
    self.writeByte(static_cast<char>(signal_number));
    const struct sigaction & old = signal_number == SIGINT ? self.old_sigint_ : self.old_sigterm_;
    if (old.sa_flags & SA_SIGINFO) {
      if (old.sa_sigaction != nullptr) {
        old.sa_sigaction(signal_number, info, context);
      }
    } else if (
      old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN && old.sa_handler != nullptr)
    {
      old.sa_handler(signal_number);
    }
    errno = saved_errno;
  }

  void setHandler(int signal_number, struct sigaction * old)
  {
    struct sigaction action {};
    action.sa_sigaction = &SignalHandler::onSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, old);
  }

  void writeByte(char byte)
  {
    const int fd = pipe_[1];
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
  }

  void watch()
  {
    while (true) {
      char byte = kQuit;
      const ssize_t got = read(pipe_[0], &byte, 1);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0 || byte == kQuit) {
        return;
      }
      RCLCPP_INFO(rclcpp::get_logger("rclcpp"), "signal_handler(signum=%d)", byte);
      contexts::get_global_default_context()->shutdown("signal handler");
    }
  }

  mutable std::mutex mutex_;
  bool installed_{false};
  SignalHandlerOptions options_{SignalHandlerOptions::None};
  int pipe_[2]{-1, -1};
  std::thread watcher_;
  struct sigaction old_sigint_ {};
  struct sigaction old_sigterm_ {};
};

Context::SharedPtr contextOrDefault(const Context::SharedPtr & context)
{
  return context ? context : contexts::get_global_default_context();
}

}  // namespace

namespace detail
{

RosArguments globalRosArguments()
{
  std::lock_guard<std::mutex> lock(g_arguments_mutex);
  return g_arguments;
}

}  // namespace detail

bool InitOptions::auto_initialize_logging() const {return initialize_logging_;}

InitOptions & InitOptions::auto_initialize_logging(bool initialize_logging)
{
  initialize_logging_ = initialize_logging;
  return *this;
}

void Context::init(int argc, char const * const * argv, const InitOptions & init_options)
{
  auto arguments = toVector(argc, argv);
  auto parsed = detail::parseRosArguments(arguments);
  if (init_options.auto_initialize_logging() &&
    rcutils_logging_initialize() != RCUTILS_RET_OK)
  {
    throw exceptions::RCLError(1, "failed to initialize logging");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (valid_) {
    throw std::runtime_error("context is already initialized");
  }
  {
    std::lock_guard<std::mutex> arguments_lock(g_arguments_mutex);
    g_arguments = std::move(parsed);
  }
  raw_arguments_ = std::move(arguments);
  shutdown_reason_.clear();
  valid_ = true;
}

bool Context::is_valid() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return valid_;
}

const std::vector<std::string> & Context::get_raw_arguments() const {return raw_arguments_;}

std::string Context::shutdown_reason() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_reason_;
}

bool Context::shutdown(const std::string & reason)
{
  std::vector<OnShutdownCallback> callbacks;
  std::set<std::shared_ptr<detail::WakeSignal>> wake_signals;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) {
      return false;
    }
    valid_ = false;
    shutdown_reason_ = reason;
    callbacks = on_shutdown_callbacks_;
    wake_signals = wake_signals_;
  }
  shutdown_condition_.notify_all();
  for (const auto & callback : callbacks) {
    callback();
  }
  for (const auto & wake_signal : wake_signals) {
    wake_signal->notify();
  }
  return true;
}

Context::OnShutdownCallback Context::on_shutdown(OnShutdownCallback callback)
{
  std::lock_guard<std::mutex> lock(mutex_);
  on_shutdown_callbacks_.push_back(callback);
  return callback;
}

bool Context::sleep_for(const std::chrono::nanoseconds & nanoseconds)
{
  std::unique_lock<std::mutex> lock(mutex_);
  const bool interrupted = shutdown_condition_.wait_for(
    lock, nanoseconds, [this] {return !valid_;});
  return !interrupted;
}

void Context::addWakeSignal(const std::shared_ptr<detail::WakeSignal> & wake_signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  wake_signals_.insert(wake_signal);
}

void Context::removeWakeSignal(const std::shared_ptr<detail::WakeSignal> & wake_signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  wake_signals_.erase(wake_signal);
}

namespace contexts
{

Context::SharedPtr get_global_default_context()
{
  // Never destroyed: endpoints held by static objects may outlive any exit-time destruction.
  static auto * context = new Context::SharedPtr(std::make_shared<Context>());
  return *context;
}

}  // namespace contexts

void init(
  int argc, char const * const argv[], const InitOptions & init_options,
  SignalHandlerOptions signal_handler_options)
{
  contexts::get_global_default_context()->init(argc, argv, init_options);
  install_signal_handlers(signal_handler_options);
}

bool install_signal_handlers(SignalHandlerOptions signal_handler_options)
{
  if (signal_handler_options == SignalHandlerOptions::None) {
    return false;
  }
  return SignalHandler::instance().install(signal_handler_options);
}

bool signal_handlers_installed()
{
  return SignalHandler::instance().installed();
}

SignalHandlerOptions get_current_signal_handler_options()
{
  return SignalHandler::instance().options();
}

bool uninstall_signal_handlers()
{
  return SignalHandler::instance().uninstall();
}

std::vector<std::string> init_and_remove_ros_arguments(
  int argc, char const * const argv[], const InitOptions & init_options)
{
  init(argc, argv, init_options);
  return remove_ros_arguments(argc, argv);
}

std::vector<std::string> remove_ros_arguments(int argc, char const * const argv[])
{
  return detail::stripRosArguments(toVector(argc, argv));
}

bool ok(Context::SharedPtr context)
{
  return contextOrDefault(context)->is_valid();
}

bool shutdown(Context::SharedPtr context, const std::string & reason)
{
  const auto default_context = contexts::get_global_default_context();
  const auto target = contextOrDefault(context);
  const bool result = target->shutdown(reason);
  if (target == default_context) {
    uninstall_signal_handlers();
  }
  return result;
}

void on_shutdown(std::function<void()> callback, Context::SharedPtr context)
{
  contextOrDefault(context)->on_shutdown(std::move(callback));
}

bool sleep_for(const std::chrono::nanoseconds & nanoseconds, Context::SharedPtr context)
{
  return contextOrDefault(context)->sleep_for(nanoseconds);
}

}  // namespace rclcpp
