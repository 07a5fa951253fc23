#include <sstream>
#include <string>
#include <vector>

#include "rclcpp/parameter.hpp"
#include "rclcpp/parameter_value.hpp"

namespace rclcpp
{
namespace
{

// rclcpp's form: "[a, b]", bytes in hexadecimal with a 0x prefix (none on zero), bools as words.
template<typename T, typename PrintT = T>
std::string arrayToString(
  const std::vector<T> & values, std::ios::fmtflags format_flags = std::ios::dec)
{
  std::ostringstream text;
  text << "[";
  text.setf(format_flags, std::ios_base::basefield | std::ios::boolalpha);
  text << std::showbase;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      text << ", ";
    }
    text << static_cast<PrintT>(values[i]);
  }
  text << "]";
  return text.str();
}

template<typename To, typename From>
std::vector<To> convertAll(const std::vector<From> & values)
{
  return std::vector<To>(values.begin(), values.end());
}

}  // namespace

std::string to_string(ParameterType type)
{
  switch (type) {
    case PARAMETER_NOT_SET: return "not set";
    case PARAMETER_BOOL: return "bool";
    case PARAMETER_INTEGER: return "integer";
    case PARAMETER_DOUBLE: return "double";
    case PARAMETER_STRING: return "string";
    case PARAMETER_BYTE_ARRAY: return "byte_array";
    case PARAMETER_BOOL_ARRAY: return "bool_array";
    case PARAMETER_INTEGER_ARRAY: return "integer_array";
    case PARAMETER_DOUBLE_ARRAY: return "double_array";
    case PARAMETER_STRING_ARRAY: return "string_array";
  }
  return "unknown type";
}

ParameterValue::ParameterValue(bool bool_value) : value_(bool_value) {}
ParameterValue::ParameterValue(int int_value) : value_(static_cast<int64_t>(int_value)) {}
ParameterValue::ParameterValue(int64_t int_value) : value_(int_value) {}
ParameterValue::ParameterValue(float double_value) : value_(static_cast<double>(double_value)) {}
ParameterValue::ParameterValue(double double_value) : value_(double_value) {}
ParameterValue::ParameterValue(const std::string & string_value) : value_(string_value) {}
ParameterValue::ParameterValue(const char * string_value) : value_(std::string(string_value)) {}
ParameterValue::ParameterValue(const std::vector<uint8_t> & byte_array_value)
: value_(byte_array_value) {}
ParameterValue::ParameterValue(const std::vector<bool> & bool_array_value)
: value_(bool_array_value) {}
ParameterValue::ParameterValue(const std::vector<int> & int_array_value)
: value_(convertAll<int64_t>(int_array_value)) {}
ParameterValue::ParameterValue(const std::vector<int64_t> & int_array_value)
: value_(int_array_value) {}
ParameterValue::ParameterValue(const std::vector<float> & double_array_value)
: value_(convertAll<double>(double_array_value)) {}
ParameterValue::ParameterValue(const std::vector<double> & double_array_value)
: value_(double_array_value) {}
ParameterValue::ParameterValue(const std::vector<std::string> & string_array_value)
: value_(string_array_value) {}

ParameterType ParameterValue::get_type() const
{
  return static_cast<ParameterType>(value_.index());
}

bool ParameterValue::operator==(const ParameterValue & rhs) const {return value_ == rhs.value_;}
bool ParameterValue::operator!=(const ParameterValue & rhs) const {return value_ != rhs.value_;}

std::string to_string(const ParameterValue & value)
{
  switch (value.get_type()) {
    case PARAMETER_NOT_SET: return "not set";
    case PARAMETER_BOOL: return value.get<bool>() ? "true" : "false";
    case PARAMETER_INTEGER: return std::to_string(value.get<int64_t>());
    // std::to_string, as rclcpp: fixed notation with six decimals ("2.000000").
    case PARAMETER_DOUBLE: return std::to_string(value.get<double>());
    case PARAMETER_STRING: return value.get<std::string>();
    case PARAMETER_BYTE_ARRAY:
      return arrayToString<uint8_t, int>(value.get<std::vector<uint8_t>>(), std::ios::hex);
    case PARAMETER_BOOL_ARRAY:
      return arrayToString(value.get<std::vector<bool>>(), std::ios::boolalpha);
    case PARAMETER_INTEGER_ARRAY: return arrayToString(value.get<std::vector<int64_t>>());
    case PARAMETER_DOUBLE_ARRAY: return arrayToString(value.get<std::vector<double>>());
    case PARAMETER_STRING_ARRAY: return arrayToString(value.get<std::vector<std::string>>());
  }
  return "unknown type";
}

Parameter::Parameter(const std::string & name) : name_(name) {}

Parameter::Parameter(const std::string & name, const ParameterValue & value)
: name_(name), value_(value) {}

bool Parameter::operator==(const Parameter & rhs) const
{
  return name_ == rhs.name_ && value_ == rhs.value_;
}

bool Parameter::operator!=(const Parameter & rhs) const {return !(*this == rhs);}

ParameterType Parameter::get_type() const {return value_.get_type();}
std::string Parameter::get_type_name() const {return rclcpp::to_string(get_type());}
const std::string & Parameter::get_name() const {return name_;}
const ParameterValue & Parameter::get_parameter_value() const {return value_;}

bool Parameter::as_bool() const {return value_.get<PARAMETER_BOOL>();}
int64_t Parameter::as_int() const {return value_.get<PARAMETER_INTEGER>();}
double Parameter::as_double() const {return value_.get<PARAMETER_DOUBLE>();}
const std::string & Parameter::as_string() const {return value_.get<PARAMETER_STRING>();}

const std::vector<uint8_t> & Parameter::as_byte_array() const
{
  return value_.get<PARAMETER_BYTE_ARRAY>();
}

const std::vector<bool> & Parameter::as_bool_array() const
{
  return value_.get<PARAMETER_BOOL_ARRAY>();
}

const std::vector<int64_t> & Parameter::as_integer_array() const
{
  return value_.get<PARAMETER_INTEGER_ARRAY>();
}

const std::vector<double> & Parameter::as_double_array() const
{
  return value_.get<PARAMETER_DOUBLE_ARRAY>();
}

const std::vector<std::string> & Parameter::as_string_array() const
{
  return value_.get<PARAMETER_STRING_ARRAY>();
}

std::string Parameter::value_to_string() const {return rclcpp::to_string(value_);}

}  // namespace rclcpp
