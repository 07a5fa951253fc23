#include "review/thumbnails.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace velmora_review
{

namespace
{

constexpr int kThumbnailQuality = 80;

}  // namespace

std::optional<std::string> makeThumbnail(const std::filesystem::path & image, int max_side)
{
  cv::Mat decoded;
  try {
    decoded = cv::imread(image.string(), cv::IMREAD_COLOR);
  } catch (const cv::Exception &) {
    return std::nullopt;
  }
  if (decoded.empty()) {
    return std::nullopt;
  }
  const double scale = std::min(1.0, static_cast<double>(max_side) /
      std::max(decoded.cols, decoded.rows));
  cv::Mat small;
  cv::resize(decoded, small, cv::Size(), scale, scale, cv::INTER_AREA);
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", small, jpeg, {cv::IMWRITE_JPEG_QUALITY, kThumbnailQuality});
  return std::string(jpeg.begin(), jpeg.end());
}

ThumbnailCache::ThumbnailCache(int max_side, std::size_t capacity_bytes)
: max_side_(max_side), capacity_bytes_(capacity_bytes)
{
}

std::shared_ptr<const std::string> ThumbnailCache::get(const std::filesystem::path & image)
{
  struct stat status{};
  if (::stat(image.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return nullptr;
  }
  const std::int64_t modified_ns =
    static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
  const std::string key = image.string();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = by_key_.find(key);
    if (found != by_key_.end() && found->second->modified_ns == modified_ns &&
      found->second->size == status.st_size)
    {
      entries_.splice(entries_.begin(), entries_, found->second);
      return found->second->jpeg;
    }
  }
  // Decoded outside the lock so that the server's threads make thumbnails in parallel; an
  // undecodable file is not remembered, as it may be complete at the next request.
  auto jpeg = makeThumbnail(image, max_side_);
  if (!jpeg) {
    return nullptr;
  }
  auto shared = std::make_shared<const std::string>(std::move(*jpeg));
  insert(Entry{key, modified_ns, status.st_size, shared});
  return shared;
}

void ThumbnailCache::insert(Entry entry)
{
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = by_key_.find(entry.key);
  if (found != by_key_.end()) {
    bytes_ -= found->second->jpeg->size();
    entries_.erase(found->second);
    by_key_.erase(found);
  }
  bytes_ += entry.jpeg->size();
  entries_.push_front(std::move(entry));
  by_key_[entries_.front().key] = entries_.begin();
  while (bytes_ > capacity_bytes_ && entries_.size() > 1) {
    bytes_ -= entries_.back().jpeg->size();
    by_key_.erase(entries_.back().key);
    entries_.pop_back();
  }
}

std::size_t ThumbnailCache::bytes() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace velmora_review
