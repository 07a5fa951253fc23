#ifndef REAL_BAGS_HPP_
#define REAL_BAGS_HPP_

#include <gtest/gtest.h>

#include <filesystem>

// Real rosbag2 bags written by other tools (by default ../shared/bags beside the repository; the
// CMake cache variable VELMORA_SHARED_BAGS points elsewhere). They are not part of the repository,
// so a checkout without them skips the tests that read them and says where it looked.
namespace real_bags
{

inline const std::filesystem::path kDir{VELMORA_SHARED_BAGS};

}  // namespace real_bags

#define SKIP_WITHOUT_REAL_BAGS() \
  if (!std::filesystem::is_directory(real_bags::kDir)) { \
    GTEST_SKIP() << "real bags not found in " << real_bags::kDir \
                 << " (set VELMORA_SHARED_BAGS when configuring)"; \
  }

#endif  // REAL_BAGS_HPP_
