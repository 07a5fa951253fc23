#ifndef TEST_SUPPORT_HPP_
#define TEST_SUPPORT_HPP_

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rclcpp/rclcpp.hpp"

namespace test_support
{

// A fresh directory under the system's temporary directory, removed with everything in it.
class TemporaryDirectory
{
public:
  TemporaryDirectory()
  {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora_test_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TemporaryDirectory()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory &) = delete;
  TemporaryDirectory & operator=(const TemporaryDirectory &) = delete;

  const std::string & path() const {return path_;}
  std::string operator/(const std::string & name) const {return path_ + "/" + name;}

private:
  std::string path_;
};

// Changes the working directory for the lifetime of the object.
class WorkingDirectory
{
public:
  explicit WorkingDirectory(const std::string & path)
  : previous_(std::filesystem::current_path())
  {
    std::filesystem::current_path(path);
  }
  ~WorkingDirectory() {std::filesystem::current_path(previous_);}

private:
  std::filesystem::path previous_;
};

inline void ensureRclcppInit()
{
  if (!rclcpp::ok()) {
    rclcpp::init(0, nullptr);
  }
}

// Polls `condition` until it holds or `limit` passes; for work done on other threads.
inline bool waitFor(
  const std::function<bool()> & condition,
  std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline std::vector<std::string> listDirectory(const std::string & path)
{
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto & entry : std::filesystem::directory_iterator(path, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace test_support

#endif  // TEST_SUPPORT_HPP_
