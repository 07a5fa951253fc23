#ifndef RCLCPP__MACROS_HPP_
#define RCLCPP__MACROS_HPP_

#include <memory>
#include <utility>

#define RCLCPP_DISABLE_COPY(...) \
  __VA_ARGS__(const __VA_ARGS__ &) = delete; \
  __VA_ARGS__ & operator=(const __VA_ARGS__ &) = delete;

#define RCLCPP_SHARED_PTR_DEFINITIONS(...) \
  using SharedPtr = std::shared_ptr<__VA_ARGS__>; \
  using ConstSharedPtr = std::shared_ptr<const __VA_ARGS__>; \
  template<typename ... Args> \
  static std::shared_ptr<__VA_ARGS__> make_shared(Args && ... args) \
  { \
    return std::make_shared<__VA_ARGS__>(std::forward<Args>(args) ...); \
  }

#define RCLCPP_WEAK_PTR_DEFINITIONS(...) \
  using WeakPtr = std::weak_ptr<__VA_ARGS__>; \
  using ConstWeakPtr = std::weak_ptr<const __VA_ARGS__>;

#define RCLCPP_UNIQUE_PTR_DEFINITIONS(...) \
  using UniquePtr = std::unique_ptr<__VA_ARGS__>; \
  template<typename ... Args> \
  static std::unique_ptr<__VA_ARGS__> make_unique(Args && ... args) \
  { \
    return std::unique_ptr<__VA_ARGS__>(new __VA_ARGS__(std::forward<Args>(args) ...)); \
  }

#define RCLCPP_SMART_PTR_DEFINITIONS(...) \
  RCLCPP_SHARED_PTR_DEFINITIONS(__VA_ARGS__) \
  RCLCPP_WEAK_PTR_DEFINITIONS(__VA_ARGS__) \
  RCLCPP_UNIQUE_PTR_DEFINITIONS(__VA_ARGS__)

#define RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(...) \
  RCLCPP_SHARED_PTR_DEFINITIONS(__VA_ARGS__) \
  RCLCPP_WEAK_PTR_DEFINITIONS(__VA_ARGS__) \
  using UniquePtr = std::unique_ptr<__VA_ARGS__>;

#define RCLCPP_SMART_PTR_ALIASES_ONLY(...) \
  using SharedPtr = std::shared_ptr<__VA_ARGS__>; \
  using ConstSharedPtr = std::shared_ptr<const __VA_ARGS__>; \
  using WeakPtr = std::weak_ptr<__VA_ARGS__>; \
  using ConstWeakPtr = std::weak_ptr<const __VA_ARGS__>; \
  using UniquePtr = std::unique_ptr<__VA_ARGS__>;

#endif  // RCLCPP__MACROS_HPP_
