// Scratch archives for the review tool's tests: small JPEGs under the node's folder names.
#ifndef REVIEW__REVIEW_FIXTURE_HPP_
#define REVIEW__REVIEW_FIXTURE_HPP_

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace review_test
{

namespace fs = std::filesystem;

class ScratchArchive : public ::testing::Test
{
protected:
  void SetUp() override
  {
    const auto * test = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch_ = fs::temp_directory_path() / ("review_" + std::string(test->name()) + "_" +
      std::to_string(::getpid()));
    fs::remove_all(scratch_);
    archive_ = scratch_ / "images";
    labels_ = scratch_ / "labels";
    fs::create_directories(archive_);
  }

  void TearDown() override {fs::remove_all(scratch_);}

  // A 24 x 16 JPEG whose grey level tells the files apart.
  fs::path writePatch(const std::string & category, const std::string & name, int grey = 128)
  {
    fs::create_directories(archive_ / category);
    const fs::path path = archive_ / category / name;
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", cv::Mat(16, 24, CV_8UC3, cv::Scalar(grey, grey, 255 - grey)), jpeg);
    std::ofstream(path, std::ios::binary).write(
      reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    return path;
  }

  static std::string readBytes(const fs::path & path)
  {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  fs::path scratch_;
  fs::path archive_;
  fs::path labels_;
};

}  // namespace review_test

#endif  // REVIEW__REVIEW_FIXTURE_HPP_
