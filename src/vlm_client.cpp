#include "velmora_water_stain/vlm_client.hpp"

#include <curl/curl.h>
#include <json/json.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <mutex>
#include <sstream>

#include <opencv2/imgcodecs.hpp>


namespace velmora_water_stain
{

namespace
{

constexpr char kBase64Alphabet[] =
  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Padding = '=';
constexpr int kNotBase64 = -1;

int base64Value(char symbol)
{
  if (symbol >= 'A' && symbol <= 'Z') {
    return symbol - 'A';
  }
  if (symbol >= 'a' && symbol <= 'z') {
    return symbol - 'a' + 26;
  }
  if (symbol >= '0' && symbol <= '9') {
    return symbol - '0' + 52;
  }
  if (symbol == '+') {
    return 62;
  }
  if (symbol == '/') {
    return 63;
  }
  return kNotBase64;
}

// Decodes one four-symbol group into `bytes`; false when the group is malformed or its unused
// bits are not zero (so every byte string has exactly one accepted spelling).
bool decodeBase64Group(const char * group, bool last_group, std::vector<uint8_t> & bytes)
{
  const std::size_t padding =
    last_group ? (group[3] == kBase64Padding) + (group[2] == kBase64Padding) : 0;
  if (padding == 1 && group[2] == kBase64Padding) {
    return false;
  }
  uint32_t triple = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const int value = i < 4 - padding ? base64Value(group[i]) : 0;
    if (value == kNotBase64) {
      return false;
    }
    triple = (triple << 6) | static_cast<uint32_t>(value);
  }
  const std::array<uint8_t, 3> decoded{
    static_cast<uint8_t>(triple >> 16), static_cast<uint8_t>(triple >> 8),
    static_cast<uint8_t>(triple)};
  for (std::size_t i = 3 - padding; i < 3; ++i) {
    if (decoded[i] != 0) {
      return false;
    }
  }
  bytes.insert(bytes.end(), decoded.begin(), decoded.end() - padding);
  return true;
}

// Appends a received block; returning less than it was given makes libcurl abort the transfer.
std::size_t appendReply(char * data, std::size_t size, std::size_t count, void * user_data)
{
  auto * reply = static_cast<std::string *>(user_data);
  const std::size_t length = size * count;
  if (length > kVlmMaxReplyBytes - reply->size()) {
    return 0;
  }
  reply->append(data, length);
  return length;
}

struct CurlEasyDeleter
{
  void operator()(CURL * handle) const {curl_easy_cleanup(handle);}
};

struct CurlListDeleter
{
  void operator()(curl_slist * list) const {curl_slist_free_all(list);}
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlListDeleter>;

// Whether `image` can be sent as a JPEG, and why not.
Status checkJpegEncodable(const cv::Mat & image)
{
  if (image.empty()) {
    return Failure{"image is empty"};
  }
  const int channels = image.channels();
  if (image.depth() != CV_8U || (channels != 1 && channels != 3 && channels != 4)) {
    return Failure{"unsupported image type " + cv::typeToString(image.type())};
  }
  return success();
}

Result<std::vector<uint8_t>> encodeJpeg(const cv::Mat & image)
{
  const Status encodable = checkJpegEncodable(image);
  if (!encodable) {
    return Failure{encodable.error()};
  }
  std::vector<uint8_t> jpeg;
  try {
    if (!cv::imencode(".jpg", image, jpeg, std::vector<int>()) || jpeg.empty()) {
      return Failure{"the JPEG encoder refused the image"};
    }
  } catch (const cv::Exception & error) {
    return Failure{error.err};
  }
  return jpeg;
}

// Runs the POST; returns the libcurl result and fills `reply`.
CURLcode postJson(
  CURL * handle, curl_slist * headers, const std::string & url, const std::string & body,
  std::string & reply)
{
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendReply);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, kVlmTimeoutMs);
  // Only ever an HTTP server: no other protocol, and no redirect to anywhere else.
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  // A long, as libcurl reads it; the CURLPROTO_ flags are ints.
  constexpr long kHttpOnly = CURLPROTO_HTTP | CURLPROTO_HTTPS;
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS, kHttpOnly);
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, kHttpOnly);
#endif
  // Timeouts must not use signals: other threads of the process would receive them.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  return curl_easy_perform(handle);
}

bool startsWithIgnoringCase(const std::string & text, const std::string & prefix)
{
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char given) {
             return std::tolower(static_cast<unsigned char>(given)) == lower;
           });
}

}  // namespace

Status checkVlmUrl(const std::string & url)
{
  for (const std::string scheme : {"http://", "https://"}) {
    if (startsWithIgnoringCase(url, scheme)) {
      const std::string rest = url.substr(scheme.size());
      if (rest.empty() || rest.front() == '/' || rest.front() == ':') {
        return Failure{"no host in \"" + url + "\""};
      }
      return success();
    }
  }
  return Failure{"\"" + url + "\" is not an http:// or https:// URL"};
}

std::string base64Encode(const std::vector<uint8_t> & bytes)
{
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t triple = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    text += kBase64Alphabet[(triple >> 18) & 0x3f];
    text += kBase64Alphabet[(triple >> 12) & 0x3f];
    text += kBase64Alphabet[(triple >> 6) & 0x3f];
    text += kBase64Alphabet[triple & 0x3f];
  }
  const std::size_t remaining = bytes.size() - i;
  if (remaining > 0) {
    const uint32_t triple = (bytes[i] << 16) | (remaining == 2 ? bytes[i + 1] << 8 : 0);
    text += kBase64Alphabet[(triple >> 18) & 0x3f];
    text += kBase64Alphabet[(triple >> 12) & 0x3f];
    text += remaining == 2 ? kBase64Alphabet[(triple >> 6) & 0x3f] : kBase64Padding;
    text += kBase64Padding;
  }
  return text;
}

Result<std::vector<uint8_t>> base64Decode(const std::string & text)
{
  if (text.size() % 4 != 0) {
    return Failure{"the length is not a multiple of four"};
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    if (!decodeBase64Group(text.data() + i, i + 4 == text.size(), bytes)) {
      return Failure{"malformed group at offset " + std::to_string(i)};
    }
  }
  return bytes;
}

std::string buildVlmRequestBody(const std::string & image_base64, const std::string & prompt)
{
  Json::Value request;
  request["image_url"] = image_base64;
  request["prompt"] = prompt;
  return Json::writeString(Json::StreamWriterBuilder(), request);
}

Result<bool> interpretVlmReply(const std::string & body)
{
  Json::Value root;
  std::string errors;
  std::istringstream stream(body);
  try {
    if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &root, &errors)) {
      return Failure{errors};
    }
  } catch (const Json::Exception & error) {
    // jsoncpp throws instead of failing for some inputs, e.g. nesting beyond its stack limit.
    return Failure{error.what()};
  }
  if (!root.isObject()) {
    return Failure{"top level is not an object"};
  }
  const Json::Value & output = root["output"];
  if (output.isObject() || output.isArray()) {
    return Failure{"\"output\" is not a string"};
  }
  const std::string answer = output.asString();
  const bool yes = answer.find("yes") != std::string::npos ||
    answer.find("Yes") != std::string::npos;
  return yes;
}

void initializeVlmClient()
{
  // Costly, so once per process, never per request.
  static std::once_flag once;
  std::call_once(once, [] {curl_global_init(CURL_GLOBAL_DEFAULT);});
}

Result<bool> queryVlm(
  const cv::Mat & image, const std::string & server_url, const std::string & prompt)
{
  const Status url_usable = checkVlmUrl(server_url);
  if (!url_usable) {
    return Failure{"Request refused: " + url_usable.error()};
  }
  const Result<std::vector<uint8_t>> jpeg = encodeJpeg(image);
  if (!jpeg) {
    return Failure{"Failed to encode image for the VLM: " + jpeg.error()};
  }
  const std::string body = buildVlmRequestBody(base64Encode(*jpeg), prompt);

  initializeVlmClient();
  CurlEasy handle(curl_easy_init());
  CurlHeaders headers(curl_slist_append(nullptr, "Content-Type: application/json"));
  if (!handle || !headers) {
    return Failure{"Failed to initialize CURL."};
  }
  std::string reply;
  const CURLcode result = postJson(handle.get(), headers.get(), server_url, body, reply);
  handle.reset();
  headers.reset();
  if (result != CURLE_OK) {
    return Failure{std::string("Request failed: ") + curl_easy_strerror(result)};
  }

  const Result<bool> answer = interpretVlmReply(reply);
  if (!answer) {
    return Failure{"Failed to parse response JSON: " + answer.error()};
  }
  return answer;
}

int vlmHistoryEntry(const Result<bool> & answer)
{
  if (!answer) {
    return -1;
  }
  return *answer ? 1 : 0;
}

}  // namespace velmora_water_stain
