#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_water_stain/vlm_client.hpp"
#include "vlm_stub_rule.hpp"
#include "vlm_stub_server.hpp"

using vlm_stub::judgeFloorPatch;

namespace
{

constexpr char kPrompt[] = "is there any vomit or dark stain in the image? answer yes or no.";

// A light floor with sensor noise, the kind of patch a clean floor gives.
cv::Mat cleanFloor()
{
  cv::Mat floor(120, 160, CV_8UC3, cv::Scalar(150, 160, 165));
  cv::Mat noise(floor.size(), CV_16SC3);
  cv::theRNG().state = 7;
  cv::randn(noise, 0, 8);
  cv::Mat noisy;
  cv::add(floor, noise, noisy, cv::noArray(), CV_8UC3);
  return noisy;
}

// `floor` with a filled rectangle covering `share` of it, in `colour`.
cv::Mat withPatchOf(const cv::Mat & floor, double share, const cv::Scalar & colour)
{
  cv::Mat stained = floor.clone();
  const int width = static_cast<int>(floor.cols * share);
  cv::rectangle(stained, cv::Rect(0, 0, width, floor.rows), colour, cv::FILLED);
  return stained;
}

std::string requestBody(const std::string & image_base64, const Json::Value & prompt)
{
  Json::Value body;
  body["image_url"] = image_base64;
  body["prompt"] = prompt;
  return Json::writeString(Json::StreamWriterBuilder(), body);
}

std::string jpegBase64(const cv::Mat & image)
{
  std::vector<uint8_t> jpeg;
  cv::imencode(".jpg", image, jpeg);
  return velmora_water_stain::base64Encode(jpeg);
}

int historyEntry(const velmora_water_stain::Result<bool> & answer)
{
  return velmora_water_stain::vlmHistoryEntry(answer);
}

}  // namespace

TEST(VlmStubRule, JudgesDarkAndColouredStainsAgainstTheFloor)
{
  const cv::Mat clean = cleanFloor();
  cv::Mat grey_clean;
  cv::cvtColor(clean, grey_clean, cv::COLOR_BGR2GRAY);
  struct Case
  {
    std::string name;
    cv::Mat patch;
    bool stained;
  };
  const std::vector<Case> cases{
    {"clean floor", clean, false},
    {"clean grey floor", grey_clean, false},
    {"dark floor without stain", clean * 0.3, false},
    {"dark stain", withPatchOf(clean, 0.2, cv::Scalar(40, 40, 45)), true},
    {"orange spill", withPatchOf(clean, 0.1, cv::Scalar(0, 140, 255)), true},
    {"speck below the share", withPatchOf(clean, 0.01, cv::Scalar(20, 20, 20)), false},
    {"spot above the share", withPatchOf(clean, 0.04, cv::Scalar(20, 20, 20)), true},
    {"empty patch", cv::Mat(), false},
  };
  for (const Case & test_case : cases) {
    SCOPED_TRACE(test_case.name);
    const vlm_stub::StainJudgement judgement = judgeFloorPatch(test_case.patch);
    EXPECT_EQ(judgement.stained, test_case.stained) << "share " << judgement.stain_share;
    const std::string answer = vlm_stub::stubAnswer(judgement);
    EXPECT_EQ(answer.rfind(test_case.stained ? "Yes, " : "No, ", 0), 0u) << answer;
  }
  EXPECT_THROW(judgeFloorPatch(cv::Mat(4, 4, CV_32FC3)), std::invalid_argument);
}

TEST(VlmStubServer, AnswersTheNodeClientByTheRule)
{
  std::mutex mutex;
  std::vector<vlm_stub::VlmStubExchange> exchanges;
  vlm_stub::VlmStubOptions options;
  options.on_exchange = [&](const vlm_stub::VlmStubExchange & exchange) {
      std::lock_guard<std::mutex> lock(mutex);
      exchanges.push_back(exchange);
    };
  vlm_stub::VlmStubServer server(options);
  ASSERT_TRUE(server.start());
  EXPECT_GT(server.port(), 0);

  const cv::Mat clean = cleanFloor();
  const cv::Mat stained = withPatchOf(clean, 0.2, cv::Scalar(40, 40, 45));
  EXPECT_EQ(historyEntry(velmora_water_stain::queryVlm(stained, server.url(), kPrompt)), 1);
  EXPECT_EQ(historyEntry(velmora_water_stain::queryVlm(clean, server.url(), kPrompt)), 0);
  EXPECT_EQ(server.requestCount(), 2u);

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].image_size, stained.size());
  EXPECT_EQ(exchanges[0].prompt, kPrompt);
  EXPECT_GT(exchanges[0].stain_share, exchanges[1].stain_share);
}

TEST(VlmStubServer, FixedAnswerOverridesTheRule)
{
  vlm_stub::VlmStubOptions options;
  options.fixed_answer = "Yes, always.";
  vlm_stub::VlmStubServer server(options);
  ASSERT_TRUE(server.start());
  EXPECT_EQ(historyEntry(velmora_water_stain::queryVlm(cleanFloor(), server.url(), kPrompt)), 1);
}

TEST(VlmStubServer, ACallerThatKnowsTheImageOverridesTheRuleUntilItDoesNot)
{
  constexpr int kUnknown = -1;
  std::atomic<int> known{kUnknown};  // read on the server's thread
  vlm_stub::VlmStubOptions options;
  options.knows_stained = [&known]() -> std::optional<bool> {
      const int stained = known.load();
      return stained == kUnknown ? std::nullopt : std::optional<bool>(stained == 1);
    };
  vlm_stub::VlmStubServer server(options);
  ASSERT_TRUE(server.start());
  const cv::Mat clean = cleanFloor();
  const cv::Mat stained = withPatchOf(clean, 0.2, cv::Scalar(40, 40, 45));

  known = 1;
  EXPECT_EQ(historyEntry(velmora_water_stain::queryVlm(clean, server.url(), kPrompt)), 1);
  known = 0;
  EXPECT_EQ(historyEntry(velmora_water_stain::queryVlm(stained, server.url(), kPrompt)), 0);
  known = kUnknown;
  EXPECT_EQ(historyEntry(velmora_water_stain::queryVlm(stained, server.url(), kPrompt)), 1);
}

TEST(VlmStubServer, MalformedRequestsGetAJsonError)
{
  vlm_stub::VlmStubServer server;
  ASSERT_TRUE(server.start());
  httplib::Client client("127.0.0.1", server.port());

  const std::string jpeg = jpegBase64(cleanFloor());
  const std::vector<std::pair<std::string, std::string>> bodies{
    {"not JSON", "image please"},
    {"not an object", R"(["image", "prompt"])"},
    {"no image", R"({"prompt": "is it clean?"})"},
    {"prompt not a string", requestBody(jpeg, Json::Value(5))},
    {"image not Base64", requestBody("not*base64", "is it clean?")},
    {"image not a JPEG", requestBody(velmora_water_stain::base64Encode({'G', 'I', 'F', '8'}),
      "is it clean?")},
    {"truncated JPEG", requestBody(jpeg.substr(0, 16), "is it clean?")},
  };
  for (const auto & [name, body] : bodies) {
    SCOPED_TRACE(name);
    const httplib::Result result = client.Post("/", body, "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    Json::Value error;
    std::istringstream stream(result->body);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &error, nullptr));
    EXPECT_TRUE(error["error"].isString()) << result->body;
  }
  EXPECT_EQ(server.requestCount(), bodies.size());
}
