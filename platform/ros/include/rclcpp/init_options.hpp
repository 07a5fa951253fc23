#ifndef RCLCPP__INIT_OPTIONS_HPP_
#define RCLCPP__INIT_OPTIONS_HPP_

namespace rclcpp
{

class InitOptions
{
public:
  InitOptions() = default;

  bool auto_initialize_logging() const;
  InitOptions & auto_initialize_logging(bool initialize_logging);

private:
  bool initialize_logging_{true};
};

}  // namespace rclcpp

#endif  // RCLCPP__INIT_OPTIONS_HPP_
