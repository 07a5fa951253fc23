#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "test_support.hpp"
#include "velmora_water_stain/archive.hpp"

namespace vws = velmora_water_stain;
using test_support::TemporaryDirectory;

namespace
{

builtin_interfaces::msg::Time stamp(int32_t sec, uint32_t nanosec)
{
  builtin_interfaces::msg::Time time;
  time.sec = sec;
  time.nanosec = nanosec;
  return time;
}

const cv::Mat kPatch(40, 60, CV_8UC3, cv::Scalar(10, 120, 230));

}  // namespace

TEST(ArchiveNames, StampFileNameHasNoPadding)
{
  EXPECT_EQ(vws::stampFileName(stamp(12, 7)), "12.7.jpg");
  EXPECT_EQ(vws::stampFileName(stamp(12, 5000)), "12.5000.jpg");
  EXPECT_EQ(vws::stampFileName(stamp(0, 0)), "0.0.jpg");
  EXPECT_EQ(vws::stampFileName(stamp(1733520000, 999999999)), "1733520000.999999999.jpg");
  EXPECT_EQ(vws::stampFileName(stamp(-3, 4294967295u)), "-3.4294967295.jpg");
}

TEST(ArchiveNames, OnlyTheColourCamerasCleanCategoriesAreThrottled)
{
  ASSERT_EQ(vws::archiveCategoryDirs().size(), 12u);
  for (const std::string & dir : vws::archiveCategoryDirs()) {
    const std::string category = dir.substr(1);
    EXPECT_EQ(vws::isThrottledCategory(category), category == "clean" || category == "clean_front")
      << category;
  }
}

TEST(ArchiveWrite, WritesAWholeJpegAndNoTemporary)
{
  TemporaryDirectory directory;
  const vws::Status written = vws::writeJpegAtomically(directory / "1.2.jpg", kPatch);
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_TRUE(written.error().empty());
  EXPECT_EQ(test_support::listDirectory(directory.path()), std::vector<std::string>{"1.2.jpg"});
  EXPECT_EQ(cv::imread(directory / "1.2.jpg").size(), kPatch.size());
}

TEST(ArchiveWrite, FailureSaysWhyAndLeavesNothingBehind)
{
  TemporaryDirectory directory;
  std::ofstream(directory / "file") << "x";
  // The final name taken by a directory: the temporary is written whole, then the rename fails.
  std::filesystem::create_directory(directory / "5.6.jpg");
  struct Case
  {
    const char * name;
    std::string path;
    cv::Mat image;
    std::string reason;
  };
  const std::vector<Case> cases{
    {"missing directory", directory / "missing/1.2.jpg", kPatch, "No such file or directory"},
    {"file in the way", directory / "file/1.2.jpg", kPatch, "Not a directory"},
    {"empty image", directory / "1.2.jpg", cv::Mat(), "the image cannot be encoded as JPEG"},
    {"directory in the way", directory / "5.6.jpg", kPatch, "Is a directory"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    const vws::Status written = vws::writeJpegAtomically(c.path, c.image);
    EXPECT_FALSE(written.ok());
    EXPECT_EQ(written.error(), c.reason);
  }
  EXPECT_EQ(
    test_support::listDirectory(directory.path()), (std::vector<std::string>{"5.6.jpg", "file"}));
}

TEST(ArchiveWrite, FailedOverwriteLeavesTheEarlierFileWhole)
{
  TemporaryDirectory directory;
  const std::string path = directory / "3.4.jpg";
  ASSERT_TRUE(vws::writeJpegAtomically(path, kPatch).ok());
  // The temporary name taken by something that is not a file: the new write cannot start.
  std::filesystem::create_directory(vws::temporaryPathFor(path));

  const cv::Mat larger(90, 120, CV_8UC3, cv::Scalar(200, 10, 10));
  EXPECT_FALSE(vws::writeJpegAtomically(path, larger).ok());
  const cv::Mat stored = cv::imread(path);
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored.size(), kPatch.size());
}

TEST(ArchiveStart, RemovesOnlyItsOwnTemporariesInsideTheCategoryDirectories)
{
  TemporaryDirectory root;
  for (const auto & dir : vws::archiveCategoryDirs()) {
    std::filesystem::create_directories(root.path() + dir);
  }
  const auto write = [&root](const std::string & relative) {
      std::ofstream(root / relative) << "x";
    };
  write("dirty/.12.5.jpg.partial");
  write("internvl_fish/.7.1.jpg.partial");
  write("dirty/12.6.jpg");
  write("dirty/.hidden");
  write("dirty/12.7.jpg.partial");
  write(".13.0.jpg.partial");  // beside the categories, not inside one
  std::filesystem::create_directory(root / "clean/.9.9.jpg.partial");

  const auto removed = vws::removeStaleTemporaries(root.path());

  EXPECT_EQ(removed.size(), 2u);
  EXPECT_EQ(
    test_support::listDirectory(root / "dirty"),
    (std::vector<std::string>{".hidden", "12.6.jpg", "12.7.jpg.partial"}));
  EXPECT_TRUE(test_support::listDirectory(root / "internvl_fish").empty());
  EXPECT_TRUE(std::filesystem::exists(root / ".13.0.jpg.partial"));
  EXPECT_TRUE(std::filesystem::is_directory(root / "clean/.9.9.jpg.partial"));
  EXPECT_TRUE(vws::removeStaleTemporaries(root / "missing").empty());
}
