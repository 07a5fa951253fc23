#ifndef ROSIDL_RUNTIME_CPP__TRAITS_HPP_
#define ROSIDL_RUNTIME_CPP__TRAITS_HPP_

#include <memory>
#include <type_traits>

namespace rosidl_generator_traits
{

// Interface type name as "package/msg/Type"; publishers and subscriptions match on it.
template<typename T>
inline const char * name();

// C++ type name as "package::msg::Type".
template<typename T>
inline const char * data_type();

template<typename T>
struct is_message : std::false_type {};

}  // namespace rosidl_generator_traits

// Stand-in for what rosidl generates per message: the explicit constructor and pointer aliases
// inside the struct and the traits outside. Used only by the stand-in message headers. The
// generated constructor makes a message no aggregate, so brace-listed fields do not compile there
// and must not here.
#define ROSIDL_STAND_IN_MESSAGE_POINTERS(Type) \
  explicit Type() = default; \
  using SharedPtr = std::shared_ptr<Type>; \
  using ConstSharedPtr = std::shared_ptr<const Type>; \
  using UniquePtr = std::unique_ptr<Type>; \
  using ConstUniquePtr = std::unique_ptr<const Type>; \
  using WeakPtr = std::weak_ptr<Type>; \
  using ConstWeakPtr = std::weak_ptr<const Type>; \
  bool operator!=(const Type & other) const {return !(*this == other);}

#define ROSIDL_STAND_IN_MESSAGE_TRAITS(Package, Type) \
  namespace rosidl_generator_traits \
  { \
  template<> \
  inline const char * name<Package::msg::Type>() {return #Package "/msg/" #Type;} \
  template<> \
  inline const char * data_type<Package::msg::Type>() {return #Package "::msg::" #Type;} \
  template<> \
  struct is_message<Package::msg::Type>: std::true_type {}; \
  }

#endif  // ROSIDL_RUNTIME_CPP__TRAITS_HPP_
