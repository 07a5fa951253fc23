// The review server over HTTP on loopback: path safety, the JSON API, labelling, and archives
// that are missing or change while it runs.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "review/review_server.hpp"
#include "review_fixture.hpp"

namespace
{

namespace fs = std::filesystem;

struct Reply
{
  int status{0};
  std::string body;
};

// A request sent byte for byte as given, so that no client library tidies the path first. The
// reply is read until the server closes, or for `kept_open_for_s` seconds when that is set.
Reply rawRequest(int port, const std::string & request, time_t kept_open_for_s = 0)
{
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
    ::close(socket);
    return {};
  }
  if (kept_open_for_s > 0) {
    // The server may keep the connection for a next request; stop reading after a while.
    const timeval limit{kept_open_for_s, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  ::send(socket, request.data(), request.size(), 0);
  std::string reply;
  char buffer[65536];
  for (ssize_t got; (got = ::recv(socket, buffer, sizeof(buffer), 0)) > 0; ) {
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(socket);
  Reply parsed;
  if (reply.rfind("HTTP/1.1 ", 0) == 0) {
    parsed.status = std::stoi(reply.substr(9, 3));
  }
  const auto body = reply.find("\r\n\r\n");
  parsed.body = body == std::string::npos ? std::string() : reply.substr(body + 4);
  return parsed;
}

class ReviewServerTest : public review_test::ScratchArchive
{
protected:
  void startServer(const fs::path & archive)
  {
    velmora_review::ReviewOptions options;
    options.archive = archive;
    options.labels = labels_;
    options.web_dir = fs::path(VELMORA_SOURCE_DIR) / "tools" / "review" / "web";
    options.min_rescan_interval = std::chrono::milliseconds(0);
    server_ = std::make_unique<velmora_review::ReviewServer>(options);
    ASSERT_EQ(server_->start(0), "");
  }

  void TearDown() override
  {
    server_.reset();
    ScratchArchive::TearDown();
  }

  std::string host() const {return "127.0.0.1:" + std::to_string(server_->port());}

  Reply get(const std::string & target, const std::string & extra_headers = "")
  {
    return rawRequest(server_->port(), "GET " + target + " HTTP/1.1\r\nHost: " + host() +
             "\r\n" + extra_headers + "Connection: close\r\n\r\n");
  }

  Reply post(const std::string & target, const std::string & extra_headers)
  {
    return rawRequest(server_->port(), "POST " + target + " HTTP/1.1\r\nHost: " + host() +
             "\r\nContent-Length: 0\r\n" + extra_headers + "Connection: close\r\n\r\n");
  }

  Json::Value getJson(const std::string & target)
  {
    const Reply reply = get(target);
    EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    reader->parse(reply.body.data(), reply.body.data() + reply.body.size(), &value, &errors);
    return value;
  }

  std::unique_ptr<velmora_review::ReviewServer> server_;
};

TEST_F(ReviewServerTest, RefusesEveryPathOutsideTheArchiveAndLabels)
{
  writePatch("dirty", "1.5.jpg");
  const std::string secret = "secret outside the archive";
  std::ofstream(scratch_ / "5.5.jpg") << secret;
  std::ofstream(scratch_ / "secret.txt") << secret;
  fs::create_symlink(scratch_ / "5.5.jpg", archive_ / "dirty" / "6.6.jpg");
  fs::create_directory_symlink(scratch_, archive_ / "clean");
  startServer(archive_);
  ASSERT_EQ(post("/api/label?id=rear/1.5&label=dirty", "X-Review-Request: 1\r\n").status, 200);

  const std::vector<std::string> attempts{
    "/archive/../5.5.jpg", "/archive/../../../../etc/passwd", "/archive/dirty/../../5.5.jpg",
    "/archive/dirty/..%2f..%2f5.5.jpg", "/archive/%2e%2e/5.5.jpg", "/archive/..%2f5.5.jpg",
    "/archive/dirty/%2e%2e%2f%2e%2e%2fsecret.txt", "/archive/dirty/..%252f..%252f5.5.jpg",
    "/thumb/dirty/..%2F..%2F5.5.jpg", "/thumb/../images/../5.5.jpg",
    "/archive/dirty/6.6.jpg", "/thumb/dirty/6.6.jpg",  // a link out of the archive
    "/archive/clean/5.5.jpg",  // a category folder that is a link out of the archive
    "/archive//etc/passwd", "/archive/dirty//etc/passwd", "/archive/dirty/%2fetc%2fpasswd",
    "/archive/dirty/1.5.jpg%00.txt", "/archive/dirty/..\\..\\5.5.jpg",
    "/archive/labels/x.jpg", "/archive/images/1.5.jpg", "/archive/dirty/.1.5.jpg.partial",
    "/labels/dirty/../../5.5.jpg", "/labels/decisions.csv", "/labels/dirty/..%2f..%2f5.5.jpg",
    "/labels/unusable/rear_1.5.jpg", "/labels/../secret.txt", "/review.js/../../secret.txt",
    "/index.html/..%2f..%2f..%2fsecret.txt", "/../secret.txt", "/%2e%2e/secret.txt",
  };
  for (const std::string & attempt : attempts) {
    SCOPED_TRACE(attempt);
    const Reply reply = get(attempt);
    EXPECT_NE(reply.status, 200);
    EXPECT_EQ(reply.body.find("secret"), std::string::npos);
  }
  EXPECT_EQ(get("/archive/dirty/1.5.jpg").status, 200);
  EXPECT_EQ(get("/labels/dirty/rear_1.5.jpg").status, 200);
}

TEST_F(ReviewServerTest, ServesImagesThumbnailsAndThePage)
{
  const fs::path patch = writePatch("stubborn_front", "7.250.jpg");
  cv::imwrite(patch.string(), cv::Mat(480, 320, CV_8UC3, cv::Scalar(20, 60, 90)));
  startServer(archive_);

  const Reply image = get("/archive/stubborn_front/7.250.jpg");
  ASSERT_EQ(image.status, 200);
  EXPECT_EQ(image.body, readBytes(patch));
  const Reply thumb = get("/thumb/stubborn_front/7.250.jpg");
  ASSERT_EQ(thumb.status, 200);
  const cv::Mat small = cv::imdecode(
    std::vector<uchar>(thumb.body.begin(), thumb.body.end()), cv::IMREAD_COLOR);
  EXPECT_EQ(small.size(), cv::Size(107, 160));
  const Reply page = get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<title>Water stain review</title>"), std::string::npos);

  // A file the node is still writing in place is not an error, and is served once complete.
  std::ofstream(archive_ / "stubborn_front" / "8.0.jpg") << image.body.substr(0, 10);
  EXPECT_EQ(get("/thumb/stubborn_front/8.0.jpg").status, 503);
  fs::copy_file(patch, archive_ / "stubborn_front" / "8.0.jpg",
    fs::copy_options::overwrite_existing);
  EXPECT_EQ(get("/thumb/stubborn_front/8.0.jpg").status, 200);
}

TEST_F(ReviewServerTest, RefusesForeignHostsAndCrossSiteWrites)
{
  writePatch("clean_fish", "3.0.jpg");
  startServer(archive_);
  const std::string target = "/api/label?id=fisheye/3.0&label=dirty";
  const std::vector<std::string> foreign{"evil.example:" + std::to_string(server_->port()),
    "127.0.0.1", "127.0.0.1:1", "localhost.evil.example:" + std::to_string(server_->port())};
  for (const std::string & name : foreign) {
    SCOPED_TRACE(name);
    EXPECT_EQ(rawRequest(server_->port(), "GET /api/status HTTP/1.1\r\nHost: " + name +
      "\r\nConnection: close\r\n\r\n").status, 403);
  }
  EXPECT_EQ(post(target, "").status, 403);
  EXPECT_EQ(post(target, "X-Review-Request: yes\r\n").status, 403);
  EXPECT_EQ(server_->labels().size(), 0u);
  EXPECT_EQ(post(target, "X-Review-Request: 1\r\n").status, 200);
  EXPECT_EQ(server_->labels().size(), 1u);
  EXPECT_EQ(post("/api/label?id=fisheye/4.0&label=dirty", "X-Review-Request: 1\r\n").status, 404);
  EXPECT_EQ(post("/api/label?id=fisheye/3.0&label=wet", "X-Review-Request: 1\r\n").status, 400);
}

// A label whose image cannot be copied into its class folder is still recorded, and the reply
// says both.
TEST_F(ReviewServerTest, ALabelWhoseImageCannotBeFiledIsStillRecorded)
{
  writePatch("clean_fish", "3.0.jpg");
  startServer(archive_);
  fs::remove_all(labels_ / "dirty");
  std::ofstream(labels_ / "dirty") << "not a folder";
  const Reply reply = post("/api/label?id=fisheye/3.0&label=dirty", "X-Review-Request: 1\r\n");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find("\"label\":\"dirty\""), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find("\"filing_problem\":\"cannot file "), std::string::npos) << reply.body;
  EXPECT_EQ(server_->labels().size(), 1u);
}

TEST_F(ReviewServerTest, ARefusedWriteCannotSmuggleAnotherInItsBody)
{
  writePatch("clean_fish", "3.0.jpg");
  startServer(archive_);
  // What a cross-site text/plain form can send: its own headers, any body.
  const std::string smuggled = "POST /api/label?id=fisheye/3.0&label=dirty HTTP/1.1\r\nHost: " +
    host() + "\r\nX-Review-Request: 1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const auto form_post = [](const std::string & outer_host, const std::string & body) {
      return "POST /api/label?id=fisheye/3.0&label=stubborn HTTP/1.1\r\nHost: " + outer_host +
             "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body;
    };
  for (const std::string & outer_host : {host(), std::string("evil.example")}) {
    // httplib reads the socket 4 KiB at a time: the smuggled request shares the first read with
    // the headers, or starts the second.
    const std::size_t head_size = form_post(outer_host, std::string(4096, 'x')).size() - 4096;
    for (const std::size_t padding : {std::size_t{0}, 4096 - head_size}) {
      SCOPED_TRACE(outer_host + ", padding " + std::to_string(padding));
      const Reply reply = rawRequest(
        server_->port(), form_post(outer_host, std::string(padding, 'x') + smuggled), 1);
      EXPECT_EQ(reply.status, padding > 0 ? 413 : 403);
      EXPECT_EQ(reply.body.find("HTTP/1.1 200"), std::string::npos) << reply.body;
      EXPECT_EQ(server_->labels().size(), 0u);
    }
  }
}

TEST_F(ReviewServerTest, PagesFiltersAndFindsNeighbours)
{
  for (int frame = 0; frame < 10; ++frame) {
    writePatch(frame % 2 ? "dirty" : "clean", std::to_string(100 + frame) + ".0.jpg");
    writePatch("clean_front", std::to_string(100 + frame) + ".5.jpg");
  }
  writePatch("internvl", "104.0.jpg");
  startServer(archive_);

  const Json::Value rear = getJson("/api/patches?cameras=rear&limit=3&offset=3");
  EXPECT_EQ(rear["total"].asInt(), 10);
  ASSERT_EQ(rear["patches"].size(), 3u);
  EXPECT_EQ(rear["patches"][0]["id"].asString(), "rear/103.0");
  EXPECT_EQ(rear["counts"]["rear"]["dirty"].asInt(), 5);
  EXPECT_EQ(rear["counts"]["front"]["clean"].asInt(), 0);
  EXPECT_EQ(getJson("/api/patches?verdicts=dirty&vlm=1")["total"].asInt(), 0);
  EXPECT_EQ(getJson("/api/patches?vlm=1")["patches"][0]["id"].asString(), "rear/104.0");
  EXPECT_EQ(getJson("/api/patches?from=102&to=103.9")["total"].asInt(), 4);
  // "105.5" is 105 s and 5 ns, before 105.2 s.
  const Json::Value at = getJson("/api/patches?at=105.2&limit=2");
  EXPECT_EQ(at["offset"].asInt(), 12);
  EXPECT_EQ(at["patches"][0]["id"].asString(), "rear/106.0");
  EXPECT_EQ(getJson("/api/patches?cameras=rear&after=rear/108.0")["patches"].size(), 1u);
  EXPECT_EQ(get("/api/patches?cameras=side").status, 400);
  EXPECT_EQ(get("/api/patches?from=nan").status, 400);

  ASSERT_EQ(post("/api/label?id=rear/101.0&label=dirty", "X-Review-Request: 1\r\n").status, 200);
  ASSERT_EQ(post("/api/label?id=rear/102.0&label=stubborn", "X-Review-Request: 1\r\n").status, 200);
  writePatch("internvl_fish", "200.0.jpg");  // verdict not filed: nothing to disagree with
  ASSERT_EQ(post("/api/label?id=fisheye/200.0&label=dirty", "X-Review-Request: 1\r\n").status, 200);
  EXPECT_EQ(getJson("/api/patches?review=labelled")["total"].asInt(), 3);
  EXPECT_EQ(getJson("/api/patches?review=unlabelled")["total"].asInt(), 18);
  const Json::Value disagreed = getJson("/api/patches?review=disagreed");
  ASSERT_EQ(disagreed["total"].asInt(), 1);
  EXPECT_EQ(disagreed["patches"][0]["label"].asString(), "stubborn");
  const Json::Value summary = getJson("/api/summary");
  EXPECT_EQ(summary["cameras"]["rear"]["clean"]["stubborn"].asInt(), 1);
  EXPECT_EQ(summary["cameras"]["rear"]["dirty"]["dirty"].asInt(), 1);
  EXPECT_EQ(summary["cameras"]["fisheye"]["none"]["dirty"].asInt(), 1);

  const Json::Value around = getJson("/api/neighbours?id=front/100.5&n=2");
  EXPECT_EQ(around["before"].size(), 0u);
  ASSERT_EQ(around["after"].size(), 2u);
  EXPECT_EQ(around["after"][1]["id"].asString(), "front/102.5");
  EXPECT_EQ(get("/api/neighbours?id=front/99.5").status, 404);

  const Json::Value timeline = getJson("/api/timeline?bins=10&cameras=front&from=100&to=110");
  EXPECT_EQ(timeline["cameras"]["rear"].size(), 0u);
  EXPECT_EQ(timeline["cameras"]["front"].size(), 10u);
}

TEST(ReviewLabelsDir, DefaultsToAFolderBesideTheArchive)
{
  EXPECT_EQ(velmora_review::defaultLabelsDir("images"), fs::path("images_labels"));
  EXPECT_EQ(velmora_review::defaultLabelsDir("./images/"), fs::path("images_labels"));
  EXPECT_EQ(velmora_review::defaultLabelsDir("/data/run1/images/"),
    fs::path("/data/run1/images_labels"));
  const fs::path here = fs::current_path();
  EXPECT_EQ(
    velmora_review::defaultLabelsDir("."),
    here.parent_path() / (here.filename().string() + "_labels"));
  EXPECT_EQ(velmora_review::defaultLabelsDir("./"), velmora_review::defaultLabelsDir("."));
}

TEST_F(ReviewServerTest, AMissingArchiveIsReportedAndPickedUpOnceItAppears)
{
  const fs::path later = scratch_ / "later";
  startServer(later);
  const Json::Value missing = getJson("/api/status");
  EXPECT_FALSE(missing["archive_exists"].asBool());
  EXPECT_EQ(get("/").status, 200);
  EXPECT_EQ(getJson("/api/patches")["total"].asInt(), 0);
  EXPECT_EQ(getJson("/api/timeline")["bins"].asInt(), 0);

  fs::create_directories(later / "dirty_fish");
  const Json::Value empty = getJson("/api/status");
  EXPECT_TRUE(empty["archive_exists"].asBool());
  EXPECT_EQ(empty["total"].asInt(), 0);
  cv::imwrite((later / "dirty_fish" / "5.0.jpg").string(), cv::Mat(8, 8, CV_8UC3));
  const Json::Value appeared = getJson("/api/status");
  EXPECT_TRUE(appeared["archive_exists"].asBool());
  EXPECT_EQ(appeared["total"].asInt(), 1);
  EXPECT_EQ(appeared["categories"]["dirty_fish"].asInt(), 1);
}

}  // namespace
