#include "velmora_water_stain/archive.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <jpeglib.h>
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

// libjpeg reports errors through a callback that must not return: it jumps back to the encoder
// with the message.
struct JpegErrors
{
  jpeg_error_mgr manager;
  std::jmp_buf return_point;
  char message[JMSG_LENGTH_MAX];
};

void jumpBackWithMessage(j_common_ptr info)
{
  auto * errors = reinterpret_cast<JpegErrors *>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->return_point, 1);
}

// A 4:2:0 JPEG takes at most 3 bytes per pixel of the image padded to 16 x 16 blocks, plus its
// headers (libjpeg-turbo's own bound), so libjpeg never needs to grow a buffer of this size.
std::size_t jpegBound(int width, int height)
{
  const auto padded = [](int extent) {return static_cast<std::size_t>((extent + 15) / 16 * 16);};
  return padded(width) * padded(height) * 3 + 2048;
}

// Nothing here has a destructor, so that the jump back skips none. `*jpeg` and `*size` give the
// output buffer; on success they hold the JPEG, in a buffer libjpeg malloc'ed should ours not
// have sufficed.
bool encodeBgrRows(
  JSAMPARRAY rows, int width, int height, unsigned char ** jpeg, unsigned long * size,
  JpegErrors & errors)
{
  jpeg_compress_struct info{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jumpBackWithMessage;
  if (setjmp(errors.return_point) != 0) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, jpeg, size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_EXT_BGR;
  // cv::imencode's settings for ".jpg" without parameters.
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 95, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    jpeg_write_scanlines(&info, rows + info.next_scanline, info.image_height - info.next_scanline);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

Status writeFile(const std::string & path, const std::vector<uchar> & bytes)
{
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file < 0) {
    return Failure{std::strerror(errno)};
  }
  std::size_t written = 0;
  int write_errno = 0;
  while (written < bytes.size()) {
    const ssize_t count = ::write(file, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      write_errno = count < 0 ? errno : EIO;
      break;
    }
    written += static_cast<std::size_t>(count);
  }
  const bool closed = ::close(file) == 0;
  if (write_errno != 0 || !closed) {
    const std::string reason = std::strerror(write_errno != 0 ? write_errno : errno);
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
    // increment(error), not ++, which throws: a directory that fails mid-read ends its sweep
    // rather than the node's start.
    std::error_code error;
    for (std::filesystem::directory_iterator entry(image_dir + dir, error), end;
      !error && entry != end; entry.increment(error))
    {
      std::error_code ignored;
      if (isTemporaryName(entry->path().filename().string()) &&
        entry->is_regular_file(ignored) && std::filesystem::remove(entry->path(), ignored))
      {
        removed.push_back(entry->path().string());
      }
    }
  }
  return removed;
}

Result<std::vector<uchar>> encodeJpeg(const cv::Mat & image)
{
  std::vector<uchar> jpeg;
  if (!image.empty() && image.type() == CV_8UC3) {
    std::vector<JSAMPROW> rows(static_cast<std::size_t>(image.rows));
    for (int y = 0; y < image.rows; ++y) {
      rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(image.ptr<uchar>(y));
    }
    const std::size_t bound = jpegBound(image.cols, image.rows);
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[bound]);
    unsigned char * output = buffer.get();
    unsigned long size = static_cast<unsigned long>(bound);
    JpegErrors errors{};
    if (!encodeBgrRows(rows.data(), image.cols, image.rows, &output, &size, errors)) {
      return Failure{errors.message};
    }
    jpeg.assign(output, output + size);
    if (output != buffer.get()) {
      std::free(output);
    }
    return {std::move(jpeg)};
  }
  try {
    if (image.empty() || !cv::imencode(".jpg", image, jpeg)) {
      return Failure{"the image cannot be encoded as JPEG"};
    }
  } catch (const cv::Exception & error) {
    return Failure{error.what()};
  }
  return {std::move(jpeg)};
}

Status writeJpegAtomically(const std::string & path, const cv::Mat & image)
{
  const auto jpeg = encodeJpeg(image);
  if (!jpeg) {
    return Failure{jpeg.error()};
  }
  const std::string partial = temporaryPathFor(path);
  const Status written = writeFile(partial, *jpeg);
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
