// Small JPEG previews of archive patches, made on first request and kept in memory.
#ifndef VELMORA_REVIEW__THUMBNAILS_HPP_
#define VELMORA_REVIEW__THUMBNAILS_HPP_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace velmora_review
{

// JPEG bytes of `image` scaled to fit `max_side`, or nullopt when it cannot be decoded (not a
// JPEG, or still being written by a node that writes in place).
std::optional<std::string> makeThumbnail(const std::filesystem::path & image, int max_side);

class ThumbnailCache
{
public:
  ThumbnailCache(int max_side, std::size_t capacity_bytes);

  // The thumbnail of `image`; remade when the file changed since it was cached.
  std::shared_ptr<const std::string> get(const std::filesystem::path & image);
  std::size_t bytes() const;

private:
  struct Entry
  {
    std::string key;
    std::int64_t modified_ns;
    std::int64_t size;
    std::shared_ptr<const std::string> jpeg;
  };

  void insert(Entry entry);

  int max_side_;
  std::size_t capacity_bytes_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> by_key_;
  std::size_t bytes_{0};
};

}  // namespace velmora_review

#endif  // VELMORA_REVIEW__THUMBNAILS_HPP_
