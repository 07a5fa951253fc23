#ifndef VELMORA_WATER_STAIN__VLM_CLIENT_HPP_
#define VELMORA_WATER_STAIN__VLM_CLIENT_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_water_stain/result.hpp"

namespace velmora_water_stain
{

constexpr long kVlmTimeoutMs = 4000;
// A yes/no answer is tiny; anything larger is not an answer and is cut off.
constexpr std::size_t kVlmMaxReplyBytes = 1 << 20;

// RFC 4648 standard alphabet with padding, one line.
std::string base64Encode(const std::vector<uint8_t> & bytes);
// The inverse; fails for text that is not canonical padded Base64.
Result<std::vector<uint8_t>> base64Decode(const std::string & text);

// {"image_url": <base64 jpeg>, "prompt": <prompt>} as jsoncpp's default writer prints it.
std::string buildVlmRequestBody(const std::string & image_base64, const std::string & prompt);

// Reads the server's reply body: yes (true) when "output" contains "yes" or "Yes", else no;
// fails with the parse problem when the body is not a JSON object or "output" is not a plain value.
Result<bool> interpretVlmReply(const std::string & body);

// Succeeds for an http:// or https:// URL with a host; the node talks to nothing else.
Status checkVlmUrl(const std::string & url);

// Readies the HTTP library for the process. Before libcurl 7.84 (Humble's Ubuntu has 7.81) that
// is safe only while no other thread runs, so main calls it before starting ROS; queryVlm calls
// it too, once, for programs that did not.
void initializeVlmClient();

// The whole exchange: yes (true) or no; on failure the error is the line the node logs. A URL
// that checkVlmUrl refuses fails without a request; redirects are not followed.
Result<bool> queryVlm(
  const cv::Mat & image, const std::string & server_url, const std::string & prompt);

// The history's encoding of an answer: 1 yes, 0 no, -1 failed.
int vlmHistoryEntry(const Result<bool> & answer);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__VLM_CLIENT_HPP_
