#include "velmora_water_stain/archive.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/imgcodecs.hpp>


namespace velmora_water_stain
{

const std::vector<std::string> & archiveCategoryDirs()
{
  static const std::vector<std::string> dirs{
    "/clean", "/dirty", "/stubborn", "/internvl",
    "/clean_front", "/dirty_front", "/stubborn_front", "/internvl_front",
    "/clean_fish", "/dirty_fish", "/stubborn_fish", "/internvl_fish"};
  return dirs;
}

std::string stampFileName(const builtin_interfaces::msg::Time & stamp)
{
  return std::to_string(stamp.sec) + "." + std::to_string(stamp.nanosec) + ".jpg";
}

bool isThrottledCategory(const std::string & category)
{
  return category == "clean" || category == "clean_front";
}

namespace
{

constexpr char kTemporaryPrefix[] = ".";
constexpr char kTemporarySuffix[] = ".partial";

bool isTemporaryName(const std::string & name)
{
  const std::size_t prefix = sizeof(kTemporaryPrefix) - 1;
  const std::size_t suffix = sizeof(kTemporarySuffix) - 1;
  return name.size() > prefix + suffix && name.compare(0, prefix, kTemporaryPrefix) == 0 &&
         name.compare(name.size() - suffix, suffix, kTemporarySuffix) == 0;
}

Status writeFile(const std::string & path, const std::vector<uchar> & bytes)
{
  FILE * file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return Failure{std::strerror(errno)};
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    const std::string reason = std::strerror(written ? errno : write_errno);
    std::remove(path.c_str());
    return Failure{reason};
  }
  return success();
}

}  // namespace

std::string temporaryPathFor(const std::string & path)
{
  const auto slash = path.find_last_of('/');
  const auto dir_end = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, dir_end) + kTemporaryPrefix + path.substr(dir_end) + kTemporarySuffix;
}

std::vector<std::string> removeStaleTemporaries(const std::string & image_dir)
{
  std::vector<std::string> removed;
  for (const auto & dir : archiveCategoryDirs()) {
    std::error_code error;
    for (const auto & entry : std::filesystem::directory_iterator(image_dir + dir, error)) {
      const std::string name = entry.path().filename().string();
      if (isTemporaryName(name) && entry.is_regular_file(error) &&
        std::filesystem::remove(entry.path(), error))
      {
        removed.push_back(entry.path().string());
      }
    }
  }
  return removed;
}

Status writeJpegAtomically(const std::string & path, const cv::Mat & image)
{
  std::vector<uchar> jpeg;
  try {
    if (image.empty() || !cv::imencode(".jpg", image, jpeg)) {
      return Failure{"the image cannot be encoded as JPEG"};
    }
  } catch (const cv::Exception & error) {
    return Failure{error.what()};
  }
  const std::string partial = temporaryPathFor(path);
  const Status written = writeFile(partial, jpeg);
  if (!written) {
    return written;
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(partial.c_str());
    return Failure{reason};
  }
  return success();
}

}  // namespace velmora_water_stain
