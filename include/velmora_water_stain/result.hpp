#ifndef VELMORA_WATER_STAIN__RESULT_HPP_
#define VELMORA_WATER_STAIN__RESULT_HPP_

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velmora_water_stain
{

// Why something failed; converts to a failed Result of any type.
struct Failure
{
  std::string why;
};

// What a subsystem function that can fail returns: its value, or why there is none. The caller
// decides whether and how to log; the subsystems themselves never log.
template<typename T = std::monostate>
class Result
{
public:
  Result(T value)  // NOLINT(runtime/explicit): `return value;` reads as success
  : value_(std::move(value)) {}
  Result(Failure failure)  // NOLINT(runtime/explicit): `return Failure{why};` reads as failure
  : error_(std::move(failure.why)) {}

  bool ok() const {return value_.has_value();}
  explicit operator bool() const {return ok();}
  const T & value() const {return value_.value();}
  const T & operator*() const {return *value_;}
  const T * operator->() const {return &*value_;}
  // Empty when the call succeeded.
  const std::string & error() const {return error_;}

private:
  std::optional<T> value_;
  std::string error_;
};

// A failable step with nothing to return.
using Status = Result<>;

inline Status success() {return Status(std::monostate{});}

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__RESULT_HPP_
