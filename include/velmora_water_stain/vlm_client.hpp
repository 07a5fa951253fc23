#ifndef VELMORA_WATER_STAIN__VLM_CLIENT_HPP_
#define VELMORA_WATER_STAIN__VLM_CLIENT_HPP_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "rclcpp/logger.hpp"

namespace velmora_water_stain
{

constexpr long kVlmTimeoutMs = 4000;
// A yes/no answer is tiny; anything larger is not an answer and is cut off.
constexpr std::size_t kVlmMaxReplyBytes = 1 << 20;

// RFC 4648 standard alphabet with padding, one line.
std::string base64Encode(const std::vector<uint8_t> & bytes);
// The inverse; nullopt for text that is not canonical padded Base64.
std::optional<std::vector<uint8_t>> base64Decode(const std::string & text);

// {"image_url": <base64 jpeg>, "prompt": <prompt>} as jsoncpp's default writer prints it.
std::string buildVlmRequestBody(const std::string & image_base64, const std::string & prompt);

struct VlmVerdict
{
  int value{-1};      // 1 yes, 0 no, -1 failed
  std::string error;  // the parse problem when value is -1
};

// Reads the server's reply body: 1 when "output" contains "yes" or "Yes", else 0; -1 when the
// body is not a JSON object or "output" is not a plain value.
VlmVerdict interpretVlmReply(const std::string & body);

// The whole exchange; logs its failures through `logger` and returns 1, 0 or -1.
int queryVlm(
  const cv::Mat & image, const std::string & server_url, const std::string & prompt,
  const rclcpp::Logger & logger);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__VLM_CLIENT_HPP_
