#ifndef VLM_STUB_SERVER_HPP_
#define VLM_STUB_SERVER_HPP_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

namespace httplib
{
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vlm_stub
{

// One answered request, as the stand-in saw it.
struct VlmStubExchange
{
  std::chrono::system_clock::time_point received;
  cv::Size image_size;
  std::string prompt;
  std::string answer;
  double stain_share{0.0};
};

struct VlmStubOptions
{
  // Held before answering, to let callers meet a slow model; cut short by stop().
  std::chrono::milliseconds delay{0};
  // Answer this text instead of applying the stain rule.
  std::optional<std::string> fixed_answer;
  // Asked first, from the server's worker threads, by callers that know what the image shows;
  // nullopt leaves the answer to the stain rule.
  std::function<std::optional<bool>()> knows_stained;
  // Called once per answered request, from the server's worker threads.
  std::function<void(const VlmStubExchange &)> on_exchange;
};

// A loopback HTTP server that stands in for the VLM server: POST "/" with the client's JSON
// ("image_url": Base64 JPEG, "prompt": text) is answered with {"output": <sentence>} from the
// stain rule of vlm_stub_rule.hpp; a malformed request gets HTTP 400 and {"error": <why>}.
class VlmStubServer
{
public:
  explicit VlmStubServer(VlmStubOptions options = VlmStubOptions());
  ~VlmStubServer();

  VlmStubServer(const VlmStubServer &) = delete;
  VlmStubServer & operator=(const VlmStubServer &) = delete;

  // Binds 127.0.0.1:`port` (0 lets the system choose) and serves on a background thread until
  // stop(); false when the port cannot be bound or the server already runs.
  bool start(int port = 0);
  void stop();

  int port() const {return port_;}
  // "http://127.0.0.1:<port>", the form the node's client is given.
  std::string url() const;
  // Requests received on "/", answered or refused.
  std::size_t requestCount() const {return request_count_.load();}

private:
  void handle(const httplib::Request & request, httplib::Response & response);
  // Waits out the configured delay; returns early when the server stops.
  void holdAnswer();

  VlmStubOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::atomic<bool> listening_ended_{false};
  int port_{-1};
  std::atomic<std::size_t> request_count_{0};
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_{false};
};

}  // namespace vlm_stub

#endif  // VLM_STUB_SERVER_HPP_
