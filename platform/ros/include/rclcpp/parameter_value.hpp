#ifndef RCLCPP__PARAMETER_VALUE_HPP_
#define RCLCPP__PARAMETER_VALUE_HPP_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace rclcpp
{

enum ParameterType : uint8_t
{
  PARAMETER_NOT_SET = 0,
  PARAMETER_BOOL = 1,
  PARAMETER_INTEGER = 2,
  PARAMETER_DOUBLE = 3,
  PARAMETER_STRING = 4,
  PARAMETER_BYTE_ARRAY = 5,
  PARAMETER_BOOL_ARRAY = 6,
  PARAMETER_INTEGER_ARRAY = 7,
  PARAMETER_DOUBLE_ARRAY = 8,
  PARAMETER_STRING_ARRAY = 9,
};

std::string to_string(ParameterType type);

class ParameterTypeException : public std::runtime_error
{
public:
  ParameterTypeException(ParameterType expected, ParameterType actual)
  : std::runtime_error("expected [" + rclcpp::to_string(expected) + "] got [" +
      rclcpp::to_string(actual) + "]") {}
};

class ParameterValue
{
public:
  ParameterValue() = default;
  explicit ParameterValue(bool bool_value);
  explicit ParameterValue(int int_value);
  explicit ParameterValue(int64_t int_value);
  explicit ParameterValue(float double_value);
  explicit ParameterValue(double double_value);
  explicit ParameterValue(const std::string & string_value);
  explicit ParameterValue(const char * string_value);
  explicit ParameterValue(const std::vector<uint8_t> & byte_array_value);
  explicit ParameterValue(const std::vector<bool> & bool_array_value);
  explicit ParameterValue(const std::vector<int> & int_array_value);
  explicit ParameterValue(const std::vector<int64_t> & int_array_value);
  explicit ParameterValue(const std::vector<float> & double_array_value);
  explicit ParameterValue(const std::vector<double> & double_array_value);
  explicit ParameterValue(const std::vector<std::string> & string_array_value);

  ParameterType get_type() const;

  bool operator==(const ParameterValue & rhs) const;
  bool operator!=(const ParameterValue & rhs) const;

  template<ParameterType type>
  const auto & get() const
  {
    if (get_type() != type) {
      throw ParameterTypeException(type, get_type());
    }
    return std::get<static_cast<size_t>(type)>(value_);
  }

  template<typename T>
  decltype(auto) get() const
  {
    using Type = std::decay_t<T>;
    if constexpr (std::is_same_v<Type, bool>) {
      return get<PARAMETER_BOOL>();
    } else if constexpr (std::is_integral_v<Type>) {
      return get<PARAMETER_INTEGER>();
    } else if constexpr (std::is_floating_point_v<Type>) {
      return get<PARAMETER_DOUBLE>();
    } else if constexpr (std::is_convertible_v<Type, std::string>) {
      return get<PARAMETER_STRING>();
    } else if constexpr (std::is_same_v<Type, std::vector<uint8_t>>) {
      return get<PARAMETER_BYTE_ARRAY>();
    } else if constexpr (std::is_same_v<Type, std::vector<bool>>) {
      return get<PARAMETER_BOOL_ARRAY>();
    } else if constexpr (std::is_same_v<Type, std::vector<int64_t>>) {
      return get<PARAMETER_INTEGER_ARRAY>();
    } else if constexpr (std::is_same_v<Type, std::vector<double>>) {
      return get<PARAMETER_DOUBLE_ARRAY>();
    } else if constexpr (std::is_same_v<Type, std::vector<std::string>>) {
      return get<PARAMETER_STRING_ARRAY>();
    } else if constexpr (std::is_same_v<Type, ParameterValue>) {
      return static_cast<const ParameterValue &>(*this);
    } else {
      static_assert(std::is_same_v<Type, bool>, "type not supported by ParameterValue");
    }
  }

private:
  // Alternatives are in ParameterType order, so a type's index is its enumerator.
  std::variant<
    std::monostate, bool, int64_t, double, std::string, std::vector<uint8_t>, std::vector<bool>,
    std::vector<int64_t>, std::vector<double>, std::vector<std::string>> value_;
};

std::string to_string(const ParameterValue & value);

}  // namespace rclcpp

#endif  // RCLCPP__PARAMETER_VALUE_HPP_
