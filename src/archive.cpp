#include "velmora_water_stain/archive.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
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

std::string temporaryPathBeside(const std::string & path)
{
  const auto slash = path.find_last_of('/');
  const auto dir_end = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, dir_end) + "." + path.substr(dir_end) + ".partial";
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
  const std::string partial = temporaryPathBeside(path);
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
