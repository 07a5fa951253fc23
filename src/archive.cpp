#include "velmora_water_stain/archive.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "rcpputils/filesystem_helper.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

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

std::string writeFile(const std::string & path, const std::vector<uchar> & bytes)
{
  FILE * file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return std::strerror(errno);
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    const std::string reason = std::strerror(written ? errno : write_errno);
    std::remove(path.c_str());
    return reason;
  }
  return {};
}

}  // namespace

std::string writeJpegAtomically(const std::string & path, const cv::Mat & image)
{
  std::vector<uchar> jpeg;
  try {
    if (image.empty() || !cv::imencode(".jpg", image, jpeg)) {
      return "the image cannot be encoded as JPEG";
    }
  } catch (const cv::Exception & error) {
    return error.what();
  }
  const std::string partial = temporaryPathBeside(path);
  const std::string write_error = writeFile(partial, jpeg);
  if (!write_error.empty()) {
    return write_error;
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(partial.c_str());
    return reason;
  }
  return {};
}

}  // namespace velmora_water_stain

void WaterStainNode::createImageDirs()
{
  for (const auto & dir : velmora_water_stain::archiveCategoryDirs()) {
    rcpputils::fs::create_directories(rcpputils::fs::path(image_dir_ + dir));
  }
}

void WaterStainNode::saveImage(
  const cv::Mat & image, const std::string & category, const std::string & file_name)
{
  saveImage(image, category, file_name, std::chrono::system_clock::now());
}

void WaterStainNode::saveImage(
  const cv::Mat & image, const std::string & category, const std::string & file_name,
  std::chrono::system_clock::time_point now)
{
  if (velmora_water_stain::isThrottledCategory(category)) {
    const double elapsed_s = std::chrono::duration<double>(now - last_clean_save_time_).count();
    if (!(elapsed_s > static_cast<double>(clean_save_interval_s_))) {
      return;
    }
    last_clean_save_time_ = now;
  }
  const std::string path = image_dir_ + "/" + category + "/" + file_name;
  const std::string error = velmora_water_stain::writeJpegAtomically(path, image);
  if (!error.empty() && failureLogDue("archive " + category, std::chrono::seconds(1))) {
    RCLCPP_WARN(get_logger(), "Failed to archive %s: %s", path.c_str(), error.c_str());
  }
}
