#ifndef RCLCPP__EXCEPTIONS_HPP_
#define RCLCPP__EXCEPTIONS_HPP_

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rclcpp
{
namespace exceptions
{

class RCLErrorBase
{
public:
  RCLErrorBase(int ret, const std::string & message)
  : ret(ret), message(message) {}
  virtual ~RCLErrorBase() = default;

  int ret;
  std::string message;
};

class RCLError : public RCLErrorBase, public std::runtime_error
{
public:
  RCLError(int ret, const std::string & message, const std::string & prefix = "")
  : RCLErrorBase(ret, message),
    std::runtime_error(prefix.empty() ? message : prefix + ": " + message) {}
};

class NameValidationError : public std::invalid_argument
{
public:
  NameValidationError(
    const char * name_type, const char * name, const char * error_msg, size_t invalid_index)
  : std::invalid_argument(
      std::string("Invalid ") + name_type + ": " + error_msg + ":\n  '" + name + "'\n   " +
      std::string(invalid_index, ' ') + "^\n"),
    name_type(name_type), name(name), error_msg(error_msg), invalid_index(invalid_index) {}

  const std::string name_type;
  const std::string name;
  const std::string error_msg;
  const size_t invalid_index;
};

class InvalidNodeNameError : public NameValidationError
{
public:
  InvalidNodeNameError(const char * node_name, const char * error_msg, size_t invalid_index)
  : NameValidationError("node name", node_name, error_msg, invalid_index) {}
};

class InvalidNamespaceError : public NameValidationError
{
public:
  InvalidNamespaceError(const char * namespace_, const char * error_msg, size_t invalid_index)
  : NameValidationError("namespace", namespace_, error_msg, invalid_index) {}
};

class InvalidTopicNameError : public NameValidationError
{
public:
  InvalidTopicNameError(const char * topic_name, const char * error_msg, size_t invalid_index)
  : NameValidationError("topic name", topic_name, error_msg, invalid_index) {}
};

class InvalidParametersException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class InvalidParameterValueException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class InvalidParameterTypeException : public std::runtime_error
{
public:
  InvalidParameterTypeException(const std::string & name, const std::string & message)
  : std::runtime_error("parameter '" + name + "' has invalid type: " + message) {}
};

class UninitializedStaticallyTypedParameterException : public std::runtime_error
{
public:
  explicit UninitializedStaticallyTypedParameterException(const std::string & name)
  : std::runtime_error("Statically typed parameter '" + name + "' must be initialized.") {}
};

class ParameterAlreadyDeclaredException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterNotDeclaredException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterImmutableException : public std::runtime_error
{
  using std::runtime_error::runtime_error;
};

class ParameterUninitializedException : public std::runtime_error
{
public:
  explicit ParameterUninitializedException(const std::string & name)
  : std::runtime_error("parameter '" + name + "' is not initialized") {}
};

class UnknownROSArgsError : public std::runtime_error
{
public:
  explicit UnknownROSArgsError(std::vector<std::string> && unknown_ros_args_in)
  : std::runtime_error("found unknown ROS arguments: " + join(unknown_ros_args_in)),
    unknown_ros_args(std::move(unknown_ros_args_in)) {}

  const std::vector<std::string> unknown_ros_args;

private:
  static std::string join(const std::vector<std::string> & arguments)
  {
    std::string text;
    for (const auto & argument : arguments) {
      text += (text.empty() ? "'" : ", '") + argument + "'";
    }
    return text;
  }
};

}  // namespace exceptions
}  // namespace rclcpp

#endif  // RCLCPP__EXCEPTIONS_HPP_
