#include "review/review_server.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include <httplib.h>

#include "review/json_text.hpp"

namespace velmora_review
{

namespace fs = std::filesystem;

namespace
{

constexpr std::size_t kMaxPageSize = 500;
constexpr std::size_t kDefaultPageSize = 120;
constexpr int kMaxTimelineBins = 4000;
constexpr std::size_t kMaxNeighbours = 10;
constexpr const char * kJson = "application/json";
// A request header no cross-site form or image can send: a page of another site would need a
// CORS preflight, which this server never grants.
constexpr const char * kRequestHeader = "X-Review-Request";
constexpr std::size_t kMaxRequestBodyBytes = 4096;

std::vector<std::string> splitList(const std::string & text)
{
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) {
      items.push_back(item);
    }
  }
  return items;
}

std::optional<double> parseSeconds(const std::string & text)
{
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used == text.size() && std::isfinite(value)) {
      return value;
    }
  } catch (const std::exception &) {
  }
  return std::nullopt;
}

std::optional<std::size_t> parseCount(const std::string & text, std::size_t max)
{
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::min<std::size_t>(std::stoul(text), max);
}

std::string param(const httplib::Request & request, const char * name)
{
  return request.has_param(name) ? request.get_param_value(name) : std::string();
}

void fail(httplib::Response & response, int status, const std::string & message)
{
  response.status = status;
  response.set_content("{\"error\":" + jsonString(message) + "}", kJson);
}

// A bad filter is refused rather than silently widened.
std::optional<std::string> parseFilter(const httplib::Request & request, PatchFilter & filter)
{
  if (request.has_param("cameras")) {
    filter.cameras.fill(false);
    for (const std::string & name : splitList(param(request, "cameras"))) {
      const auto camera = parseCamera(name);
      if (!camera) {
        return "unknown camera " + name;
      }
      filter.cameras[static_cast<std::size_t>(*camera)] = true;
    }
  }
  if (request.has_param("verdicts")) {
    filter.verdicts.fill(false);
    for (const std::string & name : splitList(param(request, "verdicts"))) {
      const auto verdict = parseVerdict(name);
      if (!verdict) {
        return "unknown verdict " + name;
      }
      filter.verdicts[static_cast<std::size_t>(*verdict)] = true;
    }
  }
  filter.vlm_only = param(request, "vlm") == "1";
  for (const auto & [name, bound] : {std::make_pair("from", &filter.from),
      std::make_pair("to", &filter.to)})
  {
    const std::string text = param(request, name);
    if (!text.empty() && !(*bound = parseSeconds(text))) {
      return std::string("bad time ") + name + "=" + text;
    }
  }
  const std::string review = param(request, "review");
  static const std::pair<const char *, PatchFilter::Review> kReviews[] = {
    {"", PatchFilter::Review::all}, {"all", PatchFilter::Review::all},
    {"unlabelled", PatchFilter::Review::unlabelled}, {"labelled", PatchFilter::Review::labelled},
    {"disagreed", PatchFilter::Review::disagreed}};
  for (const auto & [name, value] : kReviews) {
    if (review == name) {
      filter.review = value;
      return std::nullopt;
    }
  }
  return "unknown review filter " + review;
}

std::string entityTag(const fs::path & file)
{
  struct stat status{};
  if (::stat(file.c_str(), &status) != 0) {
    return {};
  }
  std::ostringstream tag;
  tag << '"' << std::hex << status.st_mtim.tv_sec << '.' << status.st_mtim.tv_nsec << '.' <<
    status.st_size << '"';
  return tag.str();
}

std::optional<std::string> readWholeFile(const fs::path & file)
{
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// A frame whose verdict was not filed has nothing to disagree with.
bool disagrees(const Patch & patch, ReviewLabel label)
{
  return label != ReviewLabel::unusable && patch.verdict != Verdict::none &&
         static_cast<std::size_t>(label) != static_cast<std::size_t>(patch.verdict);
}

bool isInside(const fs::path & inner, const fs::path & outer)
{
  const auto mismatch = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return mismatch.first == outer.end();
}

}  // namespace

fs::path defaultLabelsDir(const fs::path & archive)
{
  fs::path trimmed = archive.lexically_normal();
  if (trimmed.filename().empty()) {
    trimmed = trimmed.parent_path();
  }
  if (trimmed.empty() || trimmed.filename() == "." || trimmed.filename() == "..") {
    // Named after the folder "." or ".." stands for, so that the labels lie beside it.
    trimmed = fs::absolute(trimmed).lexically_normal();
    if (trimmed.filename().empty()) {
      trimmed = trimmed.parent_path();
    }
  }
  if (trimmed == trimmed.root_path()) {
    return fs::path("labels");
  }
  return trimmed.parent_path() / (trimmed.filename().string() + "_labels");
}

std::optional<fs::path> existingFileInside(const fs::path & root, const fs::path & file)
{
  std::error_code error;
  const fs::path canonical_root = fs::canonical(root, error);
  if (error) {
    return std::nullopt;
  }
  const fs::path canonical_file = fs::canonical(root / file, error);
  if (error || !isInside(canonical_file, canonical_root) ||
    !fs::is_regular_file(canonical_file, error))
  {
    return std::nullopt;
  }
  return canonical_file;
}

bool PatchFilter::matches(const Patch & patch, std::optional<ReviewLabel> label) const
{
  const double seconds = patch.stamp.seconds();
  if (!cameras[static_cast<std::size_t>(patch.camera)] ||
    !verdicts[static_cast<std::size_t>(patch.verdict)] || (vlm_only && !patch.vlm) ||
    (from && seconds < *from) || (to && seconds > *to))
  {
    return false;
  }
  switch (review) {
    case Review::unlabelled: return !label;
    case Review::labelled: return label.has_value();
    case Review::disagreed: return label && disagrees(patch, *label);
    case Review::all: break;
  }
  return true;
}

ReviewServer::ReviewServer(ReviewOptions options)
: options_(std::move(options)),
  index_(options_.archive, options_.min_rescan_interval),
  labels_(options_.labels, options_.archive),
  thumbnails_(options_.thumbnail_side, options_.thumbnail_cache_bytes),
  server_(std::make_unique<httplib::Server>())
{
}

ReviewServer::~ReviewServer()
{
  stop();
}

std::string ReviewServer::start(int port)
{
  const std::string placement = labelsPlacementProblem(options_.labels, options_.archive);
  if (!placement.empty()) {
    return placement;
  }
  const std::string opened = labels_.open();
  if (!opened.empty()) {
    return opened;
  }
  addRoutes();
  port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1") :
    (server_->bind_to_port("127.0.0.1", port) ? port : -1);
  if (port_ <= 0) {
    return "cannot listen on 127.0.0.1:" + std::to_string(port);
  }
  thread_ = std::thread([this] {server_->listen_after_bind();});
  return {};
}

void ReviewServer::stop()
{
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

bool ReviewServer::fromThisMachine(const httplib::Request & request) const
{
  // The Host header defeats DNS rebinding: a foreign name that resolves to 127.0.0.1 still
  // arrives with that name.
  const std::string host = request.get_header_value("Host");
  const std::string port = ":" + std::to_string(port_);
  return host == "127.0.0.1" + port || host == "localhost" + port;
}

bool ReviewServer::refused(const httplib::Request & request, httplib::Response & response) const
{
  if (!fromThisMachine(request)) {
    response.status = 403;
    response.set_content("Only pages served by this review server may use it.\n", "text/plain");
    return true;
  }
  if (request.method != "GET" && request.method != "HEAD" &&
    request.get_header_value(kRequestHeader) != "1")
  {
    fail(response, 403, std::string("changes need the ") + kRequestHeader + " header");
    return true;
  }
  return false;
}

void ReviewServer::addRoutes()
{
  // A label is all in the query; a body is never needed, and a large one is refused unread.
  server_->set_payload_max_length(kMaxRequestBodyBytes);
  // httplib runs this before it reads a body and then keeps the connection, so an unread body
  // would be parsed as the next request: a cross-site form could smuggle a label write in it.
  // Requests that may carry a body are checked by their handlers, after the body is read.
  server_->set_pre_routing_handler(
    [this](const httplib::Request & request, httplib::Response & response) {
      const bool bodiless = request.method == "GET" || request.method == "HEAD";
      return bodiless && refused(request, response) ?
      httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
    });
  server_->Get("/", [this](const httplib::Request &, httplib::Response & response) {
      servePage("index.html", "text/html; charset=utf-8", response);
    });
  server_->Get("/review.css", [this](const httplib::Request &, httplib::Response & response) {
      servePage("review.css", "text/css; charset=utf-8", response);
    });
  server_->Get("/review.js", [this](const httplib::Request &, httplib::Response & response) {
      servePage("review.js", "text/javascript; charset=utf-8", response);
    });
  server_->Get(R"(/archive/([^/]+)/([^/]+))",
    [this](const httplib::Request & request, httplib::Response & response) {
      serveArchiveImage(request, response, false);
    });
  server_->Get(R"(/thumb/([^/]+)/([^/]+))",
    [this](const httplib::Request & request, httplib::Response & response) {
      serveArchiveImage(request, response, true);
    });
  server_->Get(R"(/labels/([^/]+)/([^/]+))",
    [this](const httplib::Request & request, httplib::Response & response) {
      serveLabelImage(request, response);
    });
  server_->Get("/api/status", [this](const httplib::Request &, httplib::Response & response) {
      serveStatus(response);
    });
  server_->Get("/api/patches",
    [this](const httplib::Request & request, httplib::Response & response) {
      servePatches(request, response);
    });
  server_->Get("/api/timeline",
    [this](const httplib::Request & request, httplib::Response & response) {
      serveTimeline(request, response);
    });
  server_->Get("/api/neighbours",
    [this](const httplib::Request & request, httplib::Response & response) {
      serveNeighbours(request, response);
    });
  server_->Get("/api/summary", [this](const httplib::Request &, httplib::Response & response) {
      serveSummary(response);
    });
  server_->Post("/api/label",
    [this](const httplib::Request & request, httplib::Response & response) {
      if (!refused(request, response)) {
        recordLabel(request, response);
      }
    });
}

void ReviewServer::servePage(
  const std::string & file, const char * type, httplib::Response & response) const
{
  const auto content = readWholeFile(options_.web_dir / file);
  if (!content) {
    response.status = 500;
    response.set_content("The review page's files are missing from " + options_.web_dir.string() +
      " (give their folder with --web DIR).\n", "text/plain");
    return;
  }
  response.set_header("Cache-Control", "no-cache");
  response.set_content(*content, type);
}

void ReviewServer::serveArchiveImage(
  const httplib::Request & request, httplib::Response & response, bool thumb)
{
  const Category * category = findCategory(request.matches[1]);
  const std::string name = request.matches[2];
  const auto file = category && name[0] != '.' && parseStampFileName(name) ?
    existingFileInside(options_.archive, fs::path(category->name) / name) : std::nullopt;
  if (!file) {
    response.status = 404;
    response.set_content("No such patch in the archive.\n", "text/plain");
    return;
  }
  const std::string tag = entityTag(*file);
  response.set_header("Cache-Control", "no-cache");
  response.set_header("ETag", tag);
  if (!tag.empty() && request.get_header_value("If-None-Match") == tag) {
    response.status = 304;
    return;
  }
  if (thumb) {
    const auto jpeg = thumbnails_.get(*file);
    if (!jpeg) {
      response.status = 503;
      response.set_header("Retry-After", "2");
      response.set_content("The patch cannot be decoded (yet).\n", "text/plain");
      return;
    }
    response.set_content(*jpeg, "image/jpeg");
    return;
  }
  const auto bytes = readWholeFile(*file);
  if (!bytes) {
    response.status = 404;
    response.set_content("The patch is gone from the archive.\n", "text/plain");
    return;
  }
  response.set_content(*bytes, "image/jpeg");
}

void ReviewServer::serveLabelImage(
  const httplib::Request & request, httplib::Response & response) const
{
  const auto label = parseLabel(request.matches[1]);
  const std::string name = request.matches[2];
  const auto underscore = name.find('_');
  const bool named_by_us = underscore != std::string::npos &&
    parseCamera(name.substr(0, underscore)) && parseStampFileName(name.substr(underscore + 1));
  const auto file = label && *label != ReviewLabel::unusable && named_by_us ?
    existingFileInside(options_.labels, fs::path(labelName(*label)) / name) : std::nullopt;
  const auto bytes = file ? readWholeFile(*file) : std::nullopt;
  if (!bytes) {
    response.status = 404;
    response.set_content("No such labelled patch.\n", "text/plain");
    return;
  }
  response.set_content(*bytes, "image/jpeg");
}

void ReviewServer::serveStatus(httplib::Response & response)
{
  const auto snapshot = index_.snapshot();
  std::ostringstream json;
  json << "{\"archive\":" << jsonString(options_.archive.string()) <<
    ",\"labels\":" << jsonString(options_.labels.string()) <<
    ",\"archive_exists\":" << (snapshot->root_exists ? "true" : "false") <<
    ",\"total\":" << snapshot->patches.size() << ",\"skipped_files\":" <<
    snapshot->skipped_files << ",\"labelled\":" << labels_.size() <<
    ",\"malformed_log_lines\":" << labels_.malformedLogLines() << ",\"categories\":{";
  for (std::size_t index = 0; index < archiveCategories().size(); ++index) {
    json << (index ? "," : "") << jsonString(archiveCategories()[index].name) << ":" <<
      snapshot->category_counts[index];
  }
  json << "}";
  if (!snapshot->patches.empty()) {
    json << ",\"from\":" << jsonNumber(snapshot->patches.front().stamp.seconds()) <<
      ",\"to\":" << jsonNumber(snapshot->patches.back().stamp.seconds());
  }
  json << "}";
  response.set_content(json.str(), kJson);
}

std::string ReviewServer::patchJson(const Patch & patch) const
{
  const auto label = labels_.labelOf(patch.camera, patch.stamp);
  const std::string file = std::string(patch.imageCategory().name) + "/" + patch.imageFileName();
  return "{\"id\":" + jsonString(patch.id()) + ",\"camera\":\"" + cameraName(patch.camera) +
         "\",\"stamp\":\"" + patch.stamp.text() + "\",\"t\":" +
         jsonNumber(patch.stamp.seconds()) + ",\"verdict\":\"" + verdictName(patch.verdict) +
         "\",\"vlm\":" + (patch.vlm ? "true" : "false") + ",\"label\":" +
         (label ? jsonString(labelName(*label)) : std::string("null")) +
         ",\"image\":\"/archive/" + file + "\",\"thumb\":\"/thumb/" + file + "\"}";
}

void ReviewServer::servePatches(const httplib::Request & request, httplib::Response & response)
{
  PatchFilter filter;
  if (const auto problem = parseFilter(request, filter)) {
    return fail(response, 400, *problem);
  }
  const std::size_t limit = parseCount(param(request, "limit"), kMaxPageSize).value_or(
    kDefaultPageSize);
  std::size_t offset = parseCount(param(request, "offset"), 1'000'000'000).value_or(0);
  // `at` starts the page at the first patch at or after a time; `after` right after a patch.
  const auto at = parseSeconds(param(request, "at"));
  const auto after = parsePatchId(param(request, "after"));
  if (at || after) {
    offset = 0;
  }
  const auto snapshot = index_.snapshot();
  std::vector<const Patch *> matched;
  std::array<std::array<std::size_t, 5>, 3> counts{};  // per camera: 4 verdicts and the VLM
  for (const Patch & patch : snapshot->patches) {
    if (!filter.matches(patch, labels_.labelOf(patch.camera, patch.stamp))) {
      continue;
    }
    if ((at && patch.stamp.seconds() < *at) || (after &&
      !(std::make_pair(after->second, after->first) < std::make_pair(patch.stamp, patch.camera))))
    {
      offset = matched.size() + 1;
    }
    matched.push_back(&patch);
    auto & camera_counts = counts[static_cast<std::size_t>(patch.camera)];
    ++camera_counts[static_cast<std::size_t>(patch.verdict)];
    camera_counts[4] += patch.vlm;
  }
  if (at || after) {
    offset = std::min(offset, matched.size());
  }
  std::ostringstream json;
  json << "{\"total\":" << matched.size() << ",\"offset\":" << offset << ",\"limit\":" <<
    limit << ",\"patches\":[";
  for (std::size_t index = offset; index < matched.size() && index < offset + limit; ++index) {
    json << (index > offset ? "," : "") << patchJson(*matched[index]);
  }
  json << "],\"counts\":{";
  for (const Camera camera : kCameras) {
    const auto & camera_counts = counts[static_cast<std::size_t>(camera)];
    json << (camera != Camera::rear ? "," : "") << "\"" << cameraName(camera) << "\":{";
    for (const Verdict verdict : kVerdicts) {
      json << "\"" << verdictName(verdict) << "\":" <<
        camera_counts[static_cast<std::size_t>(verdict)] << ",";
    }
    json << "\"vlm\":" << camera_counts[4] << "}";
  }
  json << "}}";
  response.set_content(json.str(), kJson);
}

void ReviewServer::serveTimeline(const httplib::Request & request, httplib::Response & response)
{
  PatchFilter filter;
  if (const auto problem = parseFilter(request, filter)) {
    return fail(response, 400, *problem);
  }
  const int bins = static_cast<int>(parseCount(param(request, "bins"), kMaxTimelineBins).value_or(
      600));
  const auto snapshot = index_.snapshot();
  if (snapshot->patches.empty() || bins == 0) {
    response.set_content("{\"bins\":0,\"cameras\":{}}", kJson);
    return;
  }
  // The axis spans the chosen time range, else the whole archive, so filters do not move it.
  const double from = filter.from.value_or(snapshot->patches.front().stamp.seconds());
  const double to = std::max(from, filter.to.value_or(snapshot->patches.back().stamp.seconds()));
  const double width = std::max(to - from, 1e-9);
  // Per camera and bin: clean, dirty, stubborn, none, VLM-consulted, labelled.
  std::array<std::vector<std::array<std::size_t, 6>>, 3> counts;
  for (auto & camera_counts : counts) {
    camera_counts.assign(bins, {});
  }
  for (const Patch & patch : snapshot->patches) {
    const auto label = labels_.labelOf(patch.camera, patch.stamp);
    if (!filter.matches(patch, label)) {
      continue;
    }
    const int bin = std::clamp(
      static_cast<int>((patch.stamp.seconds() - from) / width * bins), 0, bins - 1);
    auto & bin_counts = counts[static_cast<std::size_t>(patch.camera)][bin];
    ++bin_counts[static_cast<std::size_t>(patch.verdict)];
    bin_counts[4] += patch.vlm;
    bin_counts[5] += label.has_value();
  }
  std::ostringstream json;
  json << "{\"from\":" << jsonNumber(from) << ",\"to\":" << jsonNumber(to) << ",\"bins\":" <<
    bins << ",\"cameras\":{";
  for (const Camera camera : kCameras) {
    json << (camera != Camera::rear ? "," : "") << "\"" << cameraName(camera) << "\":[";
    bool first = true;
    const auto & camera_counts = counts[static_cast<std::size_t>(camera)];
    for (int bin = 0; bin < bins; ++bin) {
      const auto & c = camera_counts[bin];
      if (c[0] + c[1] + c[2] + c[3] == 0) {
        continue;
      }
      json << (first ? "" : ",") << "[" << bin;
      for (const std::size_t count : c) {
        json << "," << count;
      }
      json << "]";
      first = false;
    }
    json << "]";
  }
  json << "}}";
  response.set_content(json.str(), kJson);
}

void ReviewServer::serveNeighbours(
  const httplib::Request & request, httplib::Response & response)
{
  const auto id = parsePatchId(param(request, "id"));
  const std::size_t count = parseCount(param(request, "n"), kMaxNeighbours).value_or(3);
  const auto snapshot = index_.snapshot();
  const auto found = id ? snapshot->find(id->first, id->second) : std::nullopt;
  if (!found) {
    return fail(response, 404, "no such patch in the archive");
  }
  const auto & patches = snapshot->patches;
  std::vector<std::size_t> before;
  for (std::size_t index = *found; index-- > 0 && before.size() < count; ) {
    if (patches[index].camera == id->first) {
      before.insert(before.begin(), index);
    }
  }
  std::vector<std::size_t> after;
  for (std::size_t index = *found + 1; index < patches.size() && after.size() < count; ++index) {
    if (patches[index].camera == id->first) {
      after.push_back(index);
    }
  }
  std::ostringstream json;
  json << "{\"patch\":" << patchJson(patches[*found]);
  for (const auto & [name, indices] : {std::make_pair("before", &before),
      std::make_pair("after", &after)})
  {
    json << ",\"" << name << "\":[";
    for (std::size_t position = 0; position < indices->size(); ++position) {
      json << (position ? "," : "") << patchJson(patches[(*indices)[position]]);
    }
    json << "]";
  }
  json << "}";
  response.set_content(json.str(), kJson);
}

void ReviewServer::serveSummary(httplib::Response & response) const
{
  const DecisionCounts counts = labels_.counts();
  std::ostringstream json;
  json << "{\"cameras\":{";
  for (const Camera camera : kCameras) {
    json << (camera != Camera::rear ? "," : "") << "\"" << cameraName(camera) << "\":{";
    for (const Verdict verdict : kVerdicts) {
      json << (verdict != Verdict::clean ? "," : "") << "\"" << verdictName(verdict) << "\":{";
      for (const ReviewLabel label : kReviewLabels) {
        json << (label != ReviewLabel::clean ? "," : "") << "\"" << labelName(label) << "\":" <<
          counts[static_cast<std::size_t>(camera)][static_cast<std::size_t>(verdict)]
        [static_cast<std::size_t>(label)];
      }
      json << "}";
    }
    json << "}";
  }
  json << "}}";
  response.set_content(json.str(), kJson);
}

void ReviewServer::recordLabel(const httplib::Request & request, httplib::Response & response)
{
  const auto id = parsePatchId(param(request, "id"));
  const auto label = parseLabel(param(request, "label"));
  if (!id || !label) {
    return fail(response, 400, "give id=<camera>/<sec>.<nanosec> and label=clean|dirty|"
             "stubborn|unusable");
  }
  const auto snapshot = index_.snapshot();
  const auto found = snapshot->find(id->first, id->second);
  if (!found) {
    return fail(response, 404, "the patch is no longer in the archive");
  }
  const Patch & patch = snapshot->patches[*found];
  const LabelStore::Recorded recorded = labels_.record(patch, *label);
  if (!recorded.logged) {
    return fail(response, 500, recorded.problem);
  }
  std::string json = patchJson(patch);
  if (!recorded.problem.empty()) {
    // The label stands; only its copy in the class folder is missing, so the page must not say
    // that labelling failed.
    json.pop_back();
    json += ",\"filing_problem\":" + jsonString(recorded.problem) + "}";
  }
  response.set_content(json, kJson);
}

}  // namespace velmora_review
