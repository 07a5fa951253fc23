// Just enough JSON writing for the review page's answers.
#ifndef VELMORA_REVIEW__JSON_TEXT_HPP_
#define VELMORA_REVIEW__JSON_TEXT_HPP_

#include <cstdio>
#include <string>

namespace velmora_review
{

inline std::string jsonString(const std::string & text)
{
  std::string quoted = "\"";
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (character == '"' || character == '\\') {
      quoted += '\\';
      quoted += character;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      quoted += escaped;
    } else {
      quoted += character;
    }
  }
  return quoted + "\"";
}

inline std::string jsonNumber(double value)
{
  char text[32];
  std::snprintf(text, sizeof(text), "%.15g", value);
  return text;
}

}  // namespace velmora_review

#endif  // VELMORA_REVIEW__JSON_TEXT_HPP_
