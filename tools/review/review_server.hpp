// The review page's HTTP server: the page itself, a JSON API over the archive index and the
// labels, and the archive's images, on 127.0.0.1 only.
#ifndef VELMORA_REVIEW__REVIEW_SERVER_HPP_
#define VELMORA_REVIEW__REVIEW_SERVER_HPP_

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "review/archive_index.hpp"
#include "review/label_store.hpp"
#include "review/thumbnails.hpp"

namespace httplib
{
class Server;
struct Request;
struct Response;
}

namespace velmora_review
{

struct ReviewOptions
{
  std::filesystem::path archive;
  std::filesystem::path labels;
  std::filesystem::path web_dir;  // index.html, review.css, review.js
  int thumbnail_side{160};
  std::size_t thumbnail_cache_bytes{64u << 20};
  // A folder the node keeps writing into is listed again at most this often.
  std::chrono::milliseconds min_rescan_interval{500};
};

// The labels folder used when none is given: "<archive>_labels" beside the archive.
std::filesystem::path defaultLabelsDir(const std::filesystem::path & archive);

// Which patches a request asks for.
struct PatchFilter
{
  enum class Review { all, unlabelled, labelled, disagreed };

  std::array<bool, 3> cameras{true, true, true};
  std::array<bool, 4> verdicts{true, true, true, true};
  bool vlm_only{false};
  std::optional<double> from;
  std::optional<double> to;
  Review review{Review::all};

  bool matches(const Patch & patch, std::optional<ReviewLabel> label) const;
};

class ReviewServer
{
public:
  explicit ReviewServer(ReviewOptions options);
  ~ReviewServer();
  ReviewServer(const ReviewServer &) = delete;
  ReviewServer & operator=(const ReviewServer &) = delete;

  // Opens the labels and listens on 127.0.0.1:`port` (0 picks a free one) on a thread of its
  // own. Returns why it could not, or "".
  std::string start(int port);
  void stop();
  int port() const {return port_;}
  ArchiveIndex & index() {return index_;}
  LabelStore & labels() {return labels_;}

private:
  void addRoutes();
  bool fromThisMachine(const httplib::Request & request) const;
  // Answers 403 for a foreign Host, or a change without the page's request header.
  bool refused(const httplib::Request & request, httplib::Response & response) const;
  void servePage(const std::string & file, const char * type, httplib::Response & response) const;
  void serveArchiveImage(const httplib::Request & request, httplib::Response & response, bool thumb);
  void serveLabelImage(const httplib::Request & request, httplib::Response & response) const;
  void serveStatus(httplib::Response & response);
  void servePatches(const httplib::Request & request, httplib::Response & response);
  void serveTimeline(const httplib::Request & request, httplib::Response & response);
  void serveNeighbours(const httplib::Request & request, httplib::Response & response);
  void serveSummary(httplib::Response & response) const;
  void recordLabel(const httplib::Request & request, httplib::Response & response);
  std::string patchJson(const Patch & patch) const;

  ReviewOptions options_;
  ArchiveIndex index_;
  LabelStore labels_;
  ThumbnailCache thumbnails_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_{0};
};

// `file` inside `root`, or nullopt when it is not there or resolves (through a link) to a
// place outside `root`.
std::optional<std::filesystem::path> existingFileInside(
  const std::filesystem::path & root, const std::filesystem::path & file);

}  // namespace velmora_review

#endif  // VELMORA_REVIEW__REVIEW_SERVER_HPP_
