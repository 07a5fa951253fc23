#include "bag/msg_definition.hpp"

#include <algorithm>
#include <limits>
#include <set>
#include <sstream>

#include "bag/cdr.hpp"

namespace velmora_bag
{

namespace
{

// Nesting deeper than this is a definition that refers to itself.
constexpr int kDepthLimit = 32;

const std::set<std::string> & primitiveTypes()
{
  static const std::set<std::string> types{
    "bool", "byte", "char", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64",
    "uint64", "float32", "float64", "string", "wstring"};
  return types;
}

const std::map<std::string, std::string> & knownTypes()
{
  static const std::map<std::string, std::string> known{
    {"builtin_interfaces/msg/Time", "int32 sec\nuint32 nanosec\n"},
    {"builtin_interfaces/msg/Duration", "int32 sec\nuint32 nanosec\n"},
    {"std_msgs/msg/Header", "builtin_interfaces/Time stamp\nstring frame_id\n"},
  };
  return known;
}

std::string trim(const std::string & text)
{
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return "";
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Lines are checked by hand rather than with std::regex, whose matcher recurses per character
// and overflows the stack on a line of a few hundred thousand characters.
bool isSeparator(const std::string & line)
{
  const std::string text = trim(line);
  return text.size() >= 3 && text.find_first_not_of('=') == std::string::npos;
}

// The type named by a "MSG: pkg/Type" line; empty for any other line.
std::string sectionName(const std::string & line)
{
  const std::string text = trim(line);
  if (text.rfind("MSG:", 0) != 0) {
    return "";
  }
  const std::string name = trim(text.substr(4));
  return name.find_first_of(" \t") == std::string::npos ? name : "";
}

bool isFieldName(const std::string & name)
{
  const auto is_letter = [](char c) {return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');};
  const auto is_word = [&is_letter](char c) {
      return is_letter(c) || (c >= '0' && c <= '9') || c == '_';
    };
  return !name.empty() && is_letter(name[0]) && std::all_of(name.begin(), name.end(), is_word);
}

// The size of a fixed array; a size no message could hold is refused here, not met while
// decoding.
std::size_t arraySize(const std::string & digits, const std::string & where)
{
  std::size_t size = 0;
  for (char digit : digits) {
    const auto value = static_cast<std::size_t>(digit - '0');
    if (size > (std::numeric_limits<std::size_t>::max() - value) / 10) {
      throw DefinitionError(where + ": array size " + digits + " is too large");
    }
    size = size * 10 + value;
  }
  if (size == 0) {
    throw DefinitionError(where + ": an array of size 0");
  }
  return size;
}

// Takes the shape off "type[N]", "type[]" and "type[<=N]"; other types are left as they are.
void takeArrayShape(std::string & raw_type, FieldDefinition & field, const std::string & where)
{
  const std::size_t open = raw_type.find('[');
  if (open == 0 || open == std::string::npos || raw_type.back() != ']') {
    return;
  }
  std::string inside = raw_type.substr(open + 1, raw_type.size() - open - 2);
  const bool bounded = inside.rfind("<=", 0) == 0;
  if (bounded) {
    inside.erase(0, 2);
  }
  if (inside.find_first_not_of("0123456789") != std::string::npos) {
    return;
  }
  const bool fixed = !bounded && !inside.empty();
  field.shape = fixed ? FieldDefinition::Shape::fixed_array : FieldDefinition::Shape::sequence;
  field.count = fixed ? arraySize(inside, where) : 0;
  raw_type.erase(open);
}

std::string packageOf(const std::string & type)
{
  return type.substr(0, type.find('/'));
}

// A field's element type in canonical form, resolved against the package that uses it.
std::string resolveType(const std::string & raw, const std::string & package)
{
  std::string type = raw;
  if (const std::size_t bound = type.find("<="); bound != std::string::npos) {
    type = type.substr(0, bound);  // bounded strings read like strings
  }
  if (primitiveTypes().count(type) != 0) {
    return type;
  }
  if (type == "Header") {
    return "std_msgs/msg/Header";
  }
  if (type.find('/') == std::string::npos) {
    return package + "/msg/" + type;
  }
  return canonicalType(type);
}

template<typename T>
FieldValue readNumber(CdrReader & in)
{
  const T value = in.number<T>();
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(value);
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<int64_t>(value);
  } else {
    return static_cast<uint64_t>(value);
  }
}

std::size_t primitiveSize(const std::string & type)
{
  static const std::map<std::string, std::size_t> sizes{
    {"bool", 1}, {"byte", 1}, {"char", 1}, {"int8", 1}, {"uint8", 1}, {"int16", 2},
    {"uint16", 2}, {"int32", 4}, {"uint32", 4}, {"float32", 4}, {"int64", 8}, {"uint64", 8},
    {"float64", 8}, {"string", 4}, {"wstring", 4}};
  const auto found = sizes.find(type);
  return found == sizes.end() ? 1 : found->second;
}

FieldValue readPrimitive(CdrReader & in, const std::string & type)
{
  if (type == "bool" || type == "byte" || type == "uint8" || type == "char") {
    return readNumber<uint8_t>(in);
  }
  if (type == "int8") {
    return readNumber<int8_t>(in);
  }
  if (type == "int16") {
    return readNumber<int16_t>(in);
  }
  if (type == "uint16") {
    return readNumber<uint16_t>(in);
  }
  if (type == "int32") {
    return readNumber<int32_t>(in);
  }
  if (type == "uint32") {
    return readNumber<uint32_t>(in);
  }
  if (type == "int64") {
    return readNumber<int64_t>(in);
  }
  if (type == "uint64") {
    return readNumber<uint64_t>(in);
  }
  if (type == "float32") {
    return readNumber<float>(in);
  }
  if (type == "float64") {
    return readNumber<double>(in);
  }
  if (type == "wstring") {
    // Fast-CDR writes wide characters as 32-bit units.
    const uint32_t length = in.sequenceLength(4);
    for (uint32_t i = 0; i < length; ++i) {
      in.number<uint32_t>();
    }
    return std::string();
  }
  return in.text();
}

class Walker
{
public:
  Walker(const MessageDefinitions & definitions, CdrReader & in)
  : definitions_(definitions), in_(in) {}

  void message(
    const std::string & type, const std::string & prefix, bool keep, int depth,
    std::map<std::string, FieldValue> & values)
  {
    if (depth > kDepthLimit) {
      throw MessageError("definition of " + type + " nests too deeply");
    }
    for (const FieldDefinition & field : definitions_.fields(type)) {
      const std::string path = prefix + field.name;
      if (field.shape == FieldDefinition::Shape::single) {
        element(field.type, path, keep, depth, values);
        continue;
      }
      const std::size_t count = field.shape == FieldDefinition::Shape::fixed_array ?
        fixedArrayCount(field, path) : in_.sequenceLength(primitiveSize(field.type));
      for (std::size_t i = 0; i < count; ++i) {
        element(field.type, path, false, depth, values);
      }
    }
  }

private:
  // Every element takes at least one byte, so a larger count cannot be in the message.
  std::size_t fixedArrayCount(const FieldDefinition & field, const std::string & path) const
  {
    if (field.count > in_.left()) {
      throw MessageError(
              "message shorter than its type (" + path + " holds " +
              std::to_string(field.count) + " elements)");
    }
    return field.count;
  }

  void element(
    const std::string & type, const std::string & path, bool keep, int depth,
    std::map<std::string, FieldValue> & values)
  {
    if (primitiveTypes().count(type) != 0) {
      FieldValue value = readPrimitive(in_, type);
      if (keep) {
        values[path] = std::move(value);
      }
      return;
    }
    message(type, path + ".", keep, depth + 1, values);
  }

  const MessageDefinitions & definitions_;
  CdrReader & in_;
};

}  // namespace

const char kStatusDefinition[] =
  "std_msgs/Header header\n"
  "int32 state\n"
  "int32 sub_state\n"
  "string state_name\n"
  "string sub_state_name\n";

std::string canonicalType(const std::string & type)
{
  const std::size_t first = type.find('/');
  if (first == std::string::npos || type.find('/', first + 1) != std::string::npos) {
    return type;
  }
  return type.substr(0, first) + "/msg/" + type.substr(first + 1);
}

MessageDefinitions::MessageDefinitions(const std::string & type, const std::string & text)
: top_(canonicalType(type))
{
  std::istringstream lines(text);
  std::string line;
  std::string section_type = top_;
  std::string section;
  bool expect_name = false;
  const auto finish = [&]() {
      if (!section_type.empty() && types_.count(section_type) == 0) {
        parseSection(section_type, section);
      }
      section.clear();
    };
  while (std::getline(lines, line)) {
    if (isSeparator(line)) {
      finish();
      section_type.clear();
      expect_name = true;
    } else if (expect_name && !sectionName(line).empty()) {
      section_type = canonicalType(sectionName(line));
      expect_name = false;
    } else {
      section += line + "\n";
    }
  }
  finish();
  for (const auto & [known, fields] : knownTypes()) {
    if (types_.count(known) == 0) {
      parseSection(known, fields);
    }
  }
  checkTypesKnown();
}

void MessageDefinitions::parseSection(const std::string & type, const std::string & text)
{
  std::vector<FieldDefinition> fields;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) {
      continue;
    }
    std::istringstream words(line);
    std::string raw_type;
    std::string name;
    words >> raw_type >> name;
    if (const std::size_t equals = name.find('='); equals != std::string::npos) {
      continue;  // a constant
    }
    std::string rest;
    std::getline(words, rest);
    if (trim(rest).rfind('=', 0) == 0) {
      continue;  // a constant written "TYPE NAME = VALUE"
    }
    if (!isFieldName(name)) {
      throw DefinitionError(type + ": cannot read the line '" + line + "'");
    }
    FieldDefinition field;
    field.name = name;
    takeArrayShape(raw_type, field, type + " field '" + name + "'");
    field.type = resolveType(raw_type, packageOf(type));
    fields.push_back(field);
  }
  if (fields.empty()) {
    // rosidl gives a type without fields this one member, and CDR carries its byte.
    fields.push_back(
      {"uint8", "structure_needs_at_least_one_member", FieldDefinition::Shape::single, 0});
  }
  types_[type] = fields;
}

void MessageDefinitions::checkTypesKnown() const
{
  if (types_.count(top_) == 0) {
    throw DefinitionError(top_ + ": no definition");
  }
  for (const auto & [type, fields] : types_) {
    for (const FieldDefinition & field : fields) {
      if (primitiveTypes().count(field.type) == 0 && types_.count(field.type) == 0) {
        throw DefinitionError(type + ": field '" + field.name + "' has the undefined type " +
                field.type);
      }
    }
  }
}

const std::vector<FieldDefinition> & MessageDefinitions::fields(const std::string & type) const
{
  const auto found = types_.find(type);
  if (found == types_.end()) {
    throw DefinitionError("no definition of " + type);
  }
  return found->second;
}

std::map<std::string, FieldValue> decodeByDefinition(
  const MessageDefinitions & definitions, const std::vector<uint8_t> & data)
{
  CdrReader in(data);
  std::map<std::string, FieldValue> values;
  Walker(definitions, in).message(definitions.topType(), "", true, 0, values);
  return values;
}

StatusDecoder::StatusDecoder(MessageDefinitions definitions)
: definitions_(std::move(definitions))
{
  for (const char * name : {"state", "sub_state"}) {
    bool found = false;
    for (const FieldDefinition & field : definitions_.fields(definitions_.topType())) {
      found = found || (field.name == name && field.type == "int32" &&
        field.shape == FieldDefinition::Shape::single);
    }
    if (!found) {
      throw DefinitionError(
              definitions_.topType() + " has no int32 field '" + name + "' to gate the cameras by");
    }
  }
}

velmora_protocol::msg::TaskCenterFsmStatus StatusDecoder::decode(
  const std::vector<uint8_t> & data) const
{
  const std::map<std::string, FieldValue> values = decodeByDefinition(definitions_, data);
  const auto integer = [&values](const std::string & path) -> int64_t {
      const auto found = values.find(path);
      if (found == values.end()) {
        return 0;
      }
      if (const auto * value = std::get_if<int64_t>(&found->second)) {
        return *value;
      }
      if (const auto * value = std::get_if<uint64_t>(&found->second)) {
        return static_cast<int64_t>(*value);
      }
      return 0;
    };
  const auto text = [&values](const std::string & path) {
      const auto found = values.find(path);
      const auto * value = found == values.end() ? nullptr : std::get_if<std::string>(&found->second);
      return value == nullptr ? std::string() : *value;
    };
  velmora_protocol::msg::TaskCenterFsmStatus status;
  status.state = static_cast<int32_t>(integer("state"));
  status.sub_state = static_cast<int32_t>(integer("sub_state"));
  status.header.stamp.sec = static_cast<int32_t>(integer("header.stamp.sec"));
  status.header.stamp.nanosec = static_cast<uint32_t>(integer("header.stamp.nanosec"));
  status.header.frame_id = text("header.frame_id");
  status.state_name = text("state_name");
  status.sub_state_name = text("sub_state_name");
  return status;
}

std::vector<uint8_t> encodeStatus(const velmora_protocol::msg::TaskCenterFsmStatus & status)
{
  CdrWriter out;
  out.number(status.header.stamp.sec).number(status.header.stamp.nanosec)
  .text(status.header.frame_id).number(status.state).number(status.sub_state)
  .text(status.state_name).text(status.sub_state_name);
  return out.take();
}

}  // namespace velmora_bag
