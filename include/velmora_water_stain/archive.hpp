#ifndef VELMORA_WATER_STAIN__ARCHIVE_HPP_
#define VELMORA_WATER_STAIN__ARCHIVE_HPP_

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "builtin_interfaces/msg/time.hpp"
#include "velmora_water_stain/result.hpp"

namespace velmora_water_stain
{

// The twelve category directories, each with a leading slash, in creation order.
const std::vector<std::string> & archiveCategoryDirs();

// "<sec>.<nanosec>.jpg" without zero padding.
std::string stampFileName(const builtin_interfaces::msg::Time & stamp);

// Categories whose writes share the clean throttle.
bool isThrottledCategory(const std::string & category);

// The hidden temporary name beside `path` that a write goes through: "dir/.name.partial".
std::string temporaryPathFor(const std::string & path);

// Removes the temporaries a killed process left in the twelve category directories under
// `image_dir` (only names of the form above); returns the paths removed.
std::vector<std::string> removeStaleTemporaries(const std::string & image_dir);

// The bytes cv::imencode(".jpg", image) gives (quality 95, baseline), made by libjpeg directly
// for 8-bit BGR images: it reads BGR itself, where OpenCV copies every row into RGB first and
// grows its output 4 KiB at a time. Fails, saying why, when the image cannot be encoded.
Result<std::vector<uchar>> encodeJpeg(const cv::Mat & image);

// Encodes `image` as JPEG into a temporary file beside `path` and renames it into place, so a
// reader never sees a truncated file under the final name.
Status writeJpegAtomically(const std::string & path, const cv::Mat & image);

}  // namespace velmora_water_stain

#endif  // VELMORA_WATER_STAIN__ARCHIVE_HPP_
