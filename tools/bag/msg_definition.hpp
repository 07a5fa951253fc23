#ifndef BAG__MSG_DEFINITION_HPP_
#define BAG__MSG_DEFINITION_HPP_

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "velmora_protocol/msg/task_center_fsm_status.hpp"

namespace velmora_bag
{

class DefinitionError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct FieldDefinition
{
  enum class Shape {single, fixed_array, sequence};

  std::string type;  // a primitive ("int32", "string") or a message ("std_msgs/msg/Header")
  std::string name;
  Shape shape{Shape::single};
  std::size_t count{0};  // elements of a fixed array
};

// A message type and the types it uses, parsed from ros2msg text: the top type's fields, then
// for each dependency a line of "=" signs, "MSG: pkg/Type" and its fields (the form MCAP schemas
// and rosbag2's message_definitions carry, and a plain .msg file is the first part of).
// builtin_interfaces/Time and Duration and std_msgs/Header are known without being given.
class MessageDefinitions
{
public:
  // Throws DefinitionError for lines that are not fields or constants, or unknown field types.
  MessageDefinitions(const std::string & type, const std::string & text);

  const std::string & topType() const {return top_;}
  const std::vector<FieldDefinition> & fields(const std::string & type) const;
  bool has(const std::string & type) const {return types_.count(type) != 0;}

private:
  void parseSection(const std::string & type, const std::string & text);
  void checkTypesKnown() const;

  std::string top_;
  std::map<std::string, std::vector<FieldDefinition>> types_;
};

// "pkg/Type" and "pkg/msg/Type" both become "pkg/msg/Type".
std::string canonicalType(const std::string & type);

using FieldValue = std::variant<int64_t, uint64_t, double, std::string>;

// The scalar fields of one CDR message decoded by its definition, by dotted path
// ("state", "header.stamp.sec"); arrays are read past, not kept. Throws MessageError.
std::map<std::string, FieldValue> decodeByDefinition(
  const MessageDefinitions & definitions, const std::vector<uint8_t> & data);

// The task centre's status type read through its recorded definition: `state` and `sub_state`
// must be top-level int32 fields; a std_msgs/Header `header` and string `state_name` /
// `sub_state_name` are taken when present.
class StatusDecoder
{
public:
  // Throws DefinitionError when the definition lacks int32 `state` or `sub_state`.
  explicit StatusDecoder(MessageDefinitions definitions);

  velmora_protocol::msg::TaskCenterFsmStatus decode(const std::vector<uint8_t> & data) const;

private:
  MessageDefinitions definitions_;
};

// The definition of the stand-in status type, as its encoder writes it.
extern const char kStatusDefinition[];
std::vector<uint8_t> encodeStatus(const velmora_protocol::msg::TaskCenterFsmStatus & status);

}  // namespace velmora_bag

#endif  // BAG__MSG_DEFINITION_HPP_
