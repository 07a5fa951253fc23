#include "vlm_stub_server.hpp"

#include <httplib.h>
#include <json/json.h>

#include <sstream>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "velmora_water_stain/vlm_client.hpp"
#include "vlm_stub_rule.hpp"

namespace vlm_stub
{

namespace
{

constexpr char kLoopback[] = "127.0.0.1";
// A floor patch is a few hundred kilobytes at most; refuse bodies far beyond that.
constexpr std::size_t kMaxRequestBytes = 32u << 20;

struct VlmStubRequest
{
  std::string prompt;
  cv::Mat image;
};

bool looksLikeJpeg(const std::vector<uint8_t> & bytes)
{
  return bytes.size() >= 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff;
}

// The request's prompt and image, or why it is malformed.
std::pair<VlmStubRequest, std::string> parseRequest(const std::string & body)
{
  Json::Value root;
  std::string errors;
  std::istringstream stream(body);
  if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &root, &errors)) {
    return {{}, "body is not JSON: " + errors};
  }
  if (!root.isObject()) {
    return {{}, "body is not a JSON object"};
  }
  if (!root["image_url"].isString()) {
    return {{}, "\"image_url\" is missing or not a string"};
  }
  if (!root["prompt"].isString()) {
    return {{}, "\"prompt\" is missing or not a string"};
  }
  const auto jpeg = velmora_water_stain::base64Decode(root["image_url"].asString());
  if (!jpeg) {
    return {{}, "\"image_url\" is not Base64"};
  }
  if (!looksLikeJpeg(*jpeg)) {
    return {{}, "\"image_url\" does not hold a JPEG image"};
  }
  cv::Mat image = cv::imdecode(*jpeg, cv::IMREAD_COLOR);
  if (image.empty()) {
    return {{}, "\"image_url\" holds a JPEG that cannot be decoded"};
  }
  return {{root["prompt"].asString(), image}, ""};
}

void answerJson(
  httplib::Response & response, int status, const char * member, const std::string & text)
{
  Json::Value reply;
  reply[member] = text;
  response.status = status;
  response.set_content(Json::writeString(Json::StreamWriterBuilder(), reply), "application/json");
}

}  // namespace

VlmStubServer::VlmStubServer(VlmStubOptions options)
: options_(std::move(options))
{
}

VlmStubServer::~VlmStubServer()
{
  stop();
}

bool VlmStubServer::start(int port)
{
  if (server_) {
    return false;
  }
  auto server = std::make_unique<httplib::Server>();
  server->set_payload_max_length(kMaxRequestBytes);
  server->Post(
    "/", [this](const httplib::Request & request, httplib::Response & response) {
      handle(request, response);
    });
  port_ = port == 0 ? server->bind_to_any_port(kLoopback) :
    (server->bind_to_port(kLoopback, port) ? port : -1);
  if (port_ < 0) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stopping_ = false;
  }
  server_ = std::move(server);
  listening_ended_ = false;
  listener_ = std::thread(
    [this] {
      server_->listen_after_bind();
      listening_ended_ = true;
    });
  // stop() is ignored by httplib until its accept loop runs, so do not hand out a server
  // that could not be stopped yet. The socket already listens, so nothing is lost meanwhile.
  while (!server_->is_running() && !listening_ended_) {
    std::this_thread::yield();
  }
  if (!server_->is_running()) {
    listener_.join();
    server_.reset();
    return false;
  }
  return true;
}

void VlmStubServer::stop()
{
  if (!server_) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  server_->stop();
  listener_.join();
  server_.reset();
}

std::string VlmStubServer::url() const
{
  return std::string("http://") + kLoopback + ":" + std::to_string(port_);
}

void VlmStubServer::handle(const httplib::Request & request, httplib::Response & response)
{
  const auto received = std::chrono::system_clock::now();
  ++request_count_;
  auto [parsed, problem] = parseRequest(request.body);
  if (!problem.empty()) {
    answerJson(response, 400, "error", problem);
    return;
  }
  StainJudgement judgement = judgeFloorPatch(parsed.image);
  if (options_.knows_stained) {
    judgement.stained = options_.knows_stained().value_or(judgement.stained);
  }
  const std::string answer = options_.fixed_answer.value_or(stubAnswer(judgement));
  holdAnswer();
  answerJson(response, 200, "output", answer);
  if (options_.on_exchange) {
    options_.on_exchange(
      {received, parsed.image.size(), std::move(parsed.prompt), answer, judgement.stain_share});
  }
}

void VlmStubServer::holdAnswer()
{
  std::unique_lock<std::mutex> lock(stop_mutex_);
  stop_signal_.wait_for(lock, options_.delay, [this] {return stopping_;});
}

}  // namespace vlm_stub
