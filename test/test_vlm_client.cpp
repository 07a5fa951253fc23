#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_water_stain/vlm_client.hpp"

using velmora_water_stain::base64Decode;
using velmora_water_stain::base64Encode;
using velmora_water_stain::queryVlm;

namespace
{

constexpr char kPrompt[] = "is there any dirt or water stain in the image? answer yes or no.";

struct RecordedRequest
{
  std::string method;
  std::string path;
  std::string content_type;
  std::string body;
};

// A loopback HTTP server whose answer each test scripts; it records what it was sent.
class ScriptedServer
{
public:
  using Script = std::function<void(httplib::Response &)>;

  explicit ScriptedServer(Script script)
  : script_(std::move(script))
  {
    server_.Post(
      "/", [this](const httplib::Request & request, httplib::Response & response) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(
            {request.method, request.path, request.get_header_value("Content-Type"),
              request.body});
        }
        script_(response);
      });
    port_ = server_.bind_to_any_port("127.0.0.1");
    listener_ = std::thread([this] {server_.listen_after_bind();});
    while (!server_.is_running()) {
      std::this_thread::yield();
    }
  }

  ~ScriptedServer()
  {
    server_.stop();
    listener_.join();
  }

  std::string url() const {return "http://127.0.0.1:" + std::to_string(port_);}

  std::vector<RecordedRequest> requests() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

private:
  Script script_;
  httplib::Server server_;
  std::thread listener_;
  int port_{-1};
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
};

ScriptedServer::Script reply(const std::string & body, int status = 200)
{
  return [body, status](httplib::Response & response) {
           response.status = status;
           response.set_content(body, "application/json");
         };
}

// A loopback socket bound to a port chosen by the system; listening or not, it never answers.
class SilentSocket
{
public:
  explicit SilentSocket(bool listen_for_connections)
  {
    descriptor_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(descriptor_, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(descriptor_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (listen_for_connections) {
      listen(descriptor_, 4);
    }
  }
  ~SilentSocket() {close();}

  void close()
  {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
      descriptor_ = -1;
    }
  }
  std::string url() const {return "http://127.0.0.1:" + std::to_string(port_);}
  int port() const {return port_;}

  // Whether a client has connected (and waits to be accepted).
  bool connectionWaiting() const
  {
    pollfd waiting{descriptor_, POLLIN, 0};
    return poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0;
  }

private:
  int descriptor_{-1};
  int port_{0};
};

cv::Mat floorPatch(int width = 96, int height = 64)
{
  cv::Mat patch(height, width, CV_8UC3, cv::Scalar(120, 130, 140));
  cv::circle(patch, {width / 2, height / 2}, height / 4, cv::Scalar(40, 40, 40), cv::FILLED);
  return patch;
}

// The failure carries the whole line the node logs.
void expectFailureStartingWith(
  const velmora_water_stain::Result<bool> & answer, const std::string & prefix)
{
  ASSERT_FALSE(answer.ok());
  EXPECT_EQ(answer.error().rfind(prefix, 0), 0u) << answer.error();
}

int historyEntry(const velmora_water_stain::Result<bool> & answer)
{
  return velmora_water_stain::vlmHistoryEntry(answer);
}

}  // namespace

TEST(VlmClient, Base64MatchesTheRfc4648Vectors)
{
  const std::vector<std::pair<std::string, std::string>> vectors{
    {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto & [plain, encoded] : vectors) {
    const std::vector<uint8_t> bytes(plain.begin(), plain.end());
    EXPECT_EQ(base64Encode(bytes), encoded) << plain;
    const auto decoded = base64Decode(encoded);
    ASSERT_TRUE(decoded.ok()) << encoded << ": " << decoded.error();
    EXPECT_EQ(*decoded, bytes) << encoded;
  }
  std::vector<uint8_t> every_byte(256);
  for (int i = 0; i < 256; ++i) {
    every_byte[i] = static_cast<uint8_t>(i);
  }
  const std::string encoded = base64Encode(every_byte);
  EXPECT_EQ(encoded.find_first_not_of(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="), std::string::npos);
  const auto decoded = base64Decode(encoded);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(*decoded, every_byte);
}

TEST(VlmClient, Base64DecodeRejectsMalformedText)
{
  for (const std::string text :
    {"Zg=", "Zm9v!A==", "Zm9v YmFy", "Zg==Zg==", "=Zg=", "Z===", "Zm=v", "Zh==", "Zm9=",
      "Zm9vYg\n=="})
  {
    EXPECT_FALSE(base64Decode(text).ok()) << text;
  }
}

TEST(VlmClient, RequestIsAJsonPostOfTheJpegAndThePrompt)
{
  ScriptedServer server(reply(R"({"output": "no"})"));
  const cv::Mat patch = floorPatch(96, 64);
  EXPECT_EQ(historyEntry(queryVlm(patch, server.url(), kPrompt)), 0);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest & request = requests.front();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/");
  EXPECT_EQ(request.content_type, "application/json");

  const std::size_t image_at = request.body.find("\"image_url\"");
  const std::size_t prompt_at = request.body.find("\"prompt\"");
  ASSERT_NE(image_at, std::string::npos);
  ASSERT_NE(prompt_at, std::string::npos);
  EXPECT_LT(image_at, prompt_at);

  Json::Value body;
  std::string errors;
  std::istringstream stream(request.body);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &body, &errors)) << errors;
  EXPECT_EQ(body.getMemberNames(), (std::vector<std::string>{"image_url", "prompt"}));
  EXPECT_EQ(body["prompt"].asString(), kPrompt);
  const auto jpeg = base64Decode(body["image_url"].asString());
  ASSERT_TRUE(jpeg.ok()) << jpeg.error();
  ASSERT_GE(jpeg->size(), 2u);
  EXPECT_EQ((*jpeg)[0], 0xff);
  EXPECT_EQ((*jpeg)[1], 0xd8);
  const cv::Mat decoded = cv::imdecode(*jpeg, cv::IMREAD_COLOR);
  EXPECT_EQ(decoded.size(), patch.size());
  EXPECT_LT(cv::norm(decoded, patch, cv::NORM_L1) / patch.total(), 6.0);
}

TEST(VlmClient, AnswersBecomeVerdicts)
{
  const std::string oversized =
    R"({"output": "yes", "padding": ")" + std::string(velmora_water_stain::kVlmMaxReplyBytes, 'x') +
    "\"}";
  struct Case
  {
    std::string name;
    std::string body;
    int status;
    int verdict;
    std::string log_prefix;  // empty: no line at all
  };
  const std::vector<Case> cases{
    {"sentence starting with Yes", R"({"output": "Yes, there is a stain"})", 200, 1, ""},
    {"plain yes", R"({"output": "yes"})", 200, 1, ""},
    {"plain no", R"({"output": "no"})", 200, 0, ""},
    {"capital NO", R"({"output": "NO"})", 200, 0, ""},
    {"capital YES is not an exact form", R"({"output": "YES"})", 200, 0, ""},
    {"eyes contains yes", R"({"output": "eyes"})", 200, 1, ""},
    {"empty object", "{}", 200, 0, ""},
    {"empty answer", R"({"output": ""})", 200, 0, ""},
    {"null answer", R"({"output": null})", 200, 0, ""},
    {"HTML error page", "<html><body>Bad Gateway</body></html>", 502, -1,
      "Failed to parse response JSON: "},
    {"top-level array", R"(["yes"])", 200, -1, "Failed to parse response JSON: "},
    {"object-valued answer", R"({"output": {"text": "yes"}})", 200, -1,
      "Failed to parse response JSON: "},
    {"array-valued answer", R"({"output": ["yes"]})", 200, -1, "Failed to parse response JSON: "},
    {"nesting beyond the parser's limit", R"({"output": )" + std::string(1200, '['), 200, -1,
      "Failed to parse response JSON: "},
    {"HTTP 500 with an answer", R"({"output": "yes"})", 500, 1, ""},
    {"reply over the size cap", oversized, 200, -1, "Request failed: "},
  };
  for (const Case & test_case : cases) {
    SCOPED_TRACE(test_case.name);
    ScriptedServer server(reply(test_case.body, test_case.status));
    const auto answer = queryVlm(floorPatch(), server.url(), kPrompt);
    EXPECT_EQ(historyEntry(answer), test_case.verdict);
    if (test_case.log_prefix.empty()) {
      EXPECT_TRUE(answer.ok()) << answer.error();
    } else {
      expectFailureStartingWith(answer, test_case.log_prefix);
    }
  }
}

// A redirect would send the floor image to wherever the reply points; its own body is the answer.
TEST(VlmClient, RedirectsAreNotFollowed)
{
  ScriptedServer elsewhere(reply(R"({"output": "yes"})"));
  const std::string target = elsewhere.url() + "/";
  ScriptedServer server([target](httplib::Response & response) {
      response.status = 307;  // keeps the POST, unlike 302
      response.set_header("Location", target);
      response.set_content(R"({"output": "no"})", "application/json");
    });
  const auto answer = queryVlm(floorPatch(), server.url(), kPrompt);
  EXPECT_EQ(historyEntry(answer), 0);
  EXPECT_TRUE(elsewhere.requests().empty());
}

TEST(VlmClient, RefusedConnectionFailsWithTheRequestLine)
{
  SilentSocket closed_port(false);
  const std::string url = closed_port.url();
  closed_port.close();
  const auto answer = queryVlm(floorPatch(), url, kPrompt);
  EXPECT_EQ(historyEntry(answer), -1);
  expectFailureStartingWith(answer, "Request failed: ");
}

TEST(VlmClient, ServerThatNeverAnswersTimesOut)
{
  SilentSocket never_answers(true);
  const auto started = std::chrono::steady_clock::now();
  const auto answer = queryVlm(floorPatch(), never_answers.url(), kPrompt);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(historyEntry(answer), -1);
  // The client's 4 s limit, give or take: neither cut short nor left to hang.
  EXPECT_GE(waited, std::chrono::milliseconds(3500));
  EXPECT_LE(waited, std::chrono::milliseconds(5000));
  expectFailureStartingWith(answer, "Request failed: ");
}

TEST(VlmClient, OnlyHttpAndHttpsUrlsWithAHostAreAccepted)
{
  using velmora_water_stain::checkVlmUrl;
  for (const std::string url :
    {"http://vlm.example:32771", "https://vlm.example:8443/ask", "HTTP://127.0.0.1:1"})
  {
    EXPECT_TRUE(checkVlmUrl(url).ok()) << url;
  }
  for (const std::string url :
    {"", "http://", "https://:80", "http:/127.0.0.1", "127.0.0.1:32771", "file:///etc/passwd",
      "ftp://127.0.0.1/", "gopher://127.0.0.1:70", "dict://127.0.0.1:11211"})
  {
    EXPECT_FALSE(checkVlmUrl(url).ok()) << url;
  }
}

TEST(VlmClient, OtherSchemesFailWithoutARequest)
{
  // A file that would read as a "yes" if libcurl were allowed to fetch it.
  char directory[] = "/tmp/velmora_vlm_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string reply_file = std::string(directory) + "/reply.json";
  std::ofstream(reply_file) << "{\"output\": \"yes\"}";
  SilentSocket ftp_server(true);

  for (const std::string & url :
    {"file://" + reply_file, "ftp://127.0.0.1:" + std::to_string(ftp_server.port()) + "/"})
  {
    const auto started = std::chrono::steady_clock::now();
    const auto answer = queryVlm(floorPatch(), url, kPrompt);
    EXPECT_EQ(historyEntry(answer), -1) << url;
    expectFailureStartingWith(answer, "Request refused: \"" + url + "\" is not an http");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  }
  EXPECT_FALSE(ftp_server.connectionWaiting());
  std::remove(reply_file.c_str());
  rmdir(directory);
}

TEST(VlmClient, UnencodableImageFailsWithoutARequest)
{
  ScriptedServer server(reply(R"({"output": "yes"})"));
  const std::vector<std::pair<std::string, cv::Mat>> images{
    {"empty", cv::Mat()},
    {"floating point", cv::Mat(8, 8, CV_32FC3, cv::Scalar(0.5, 0.5, 0.5))},
    {"two channels", cv::Mat(8, 8, CV_8UC2, cv::Scalar(1, 2))},
    {"wider than JPEG allows", cv::Mat(1, 70000, CV_8UC1, cv::Scalar(9))},
  };
  for (const auto & [name, image] : images) {
    SCOPED_TRACE(name);
    const auto answer = queryVlm(image, server.url(), kPrompt);
    EXPECT_EQ(historyEntry(answer), -1);
    expectFailureStartingWith(answer, "Failed to encode image for the VLM: ");
  }
  EXPECT_TRUE(server.requests().empty());
}
