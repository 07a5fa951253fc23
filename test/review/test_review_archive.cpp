// The archive index and the label store of the review tool.

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "review/archive_index.hpp"
#include "review/label_store.hpp"
#include "review_fixture.hpp"

namespace
{

using ReviewArchiveTest = review_test::ScratchArchive;
using velmora_review::ArchiveIndex;
using velmora_review::Camera;
using velmora_review::LabelStore;
using velmora_review::Patch;
using velmora_review::ReviewLabel;
using velmora_review::Stamp;
using velmora_review::Verdict;
namespace fs = std::filesystem;

TEST(ReviewStampFileName, AcceptsOnlyTheNodesNames)
{
  struct Case {const char * name; std::optional<std::pair<std::int32_t, std::uint32_t>> stamp;};
  const std::vector<Case> cases{
    {"12.7.jpg", std::make_pair(12, 7u)},
    {"0.0.jpg", std::make_pair(0, 0u)},
    {"-3.5.jpg", std::make_pair(-3, 5u)},
    {"2147483647.999999999.jpg", std::make_pair(2147483647, 999999999u)},
    {"-2147483648.0.jpg", std::make_pair(-2147483647 - 1, 0u)},
    {"2147483648.0.jpg", std::nullopt},
    {"12.1234567890.jpg", std::nullopt},
    {".12.7.jpg.partial", std::nullopt},
    {"12.7.jpeg", std::nullopt}, {"12.7.JPG", std::nullopt}, {"12.jpg", std::nullopt},
    {"+1.2.jpg", std::nullopt}, {" 1.2.jpg", std::nullopt}, {"1..jpg", std::nullopt},
    {".jpg", std::nullopt}, {"1.2.3.jpg", std::nullopt}, {"../1.2.jpg", std::nullopt},
    {"012.7.jpg", std::nullopt}, {"12.007.jpg", std::nullopt}, {"-0.5.jpg", std::nullopt},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    const auto stamp = velmora_review::parseStampFileName(c.name);
    ASSERT_EQ(stamp.has_value(), c.stamp.has_value());
    if (stamp) {
      EXPECT_EQ(stamp->sec, c.stamp->first);
      EXPECT_EQ(stamp->nanosec, c.stamp->second);
      EXPECT_EQ(stamp->text() + ".jpg", c.name);
    }
  }
}

TEST_F(ReviewArchiveTest, PairsVerdictAndVlmCopiesAndOrdersStampsNumerically)
{
  writePatch("clean", "10.5.jpg");
  writePatch("internvl", "10.5.jpg");
  writePatch("internvl", "9.100.jpg");  // sent to the VLM, verdict throttled away
  writePatch("dirty_front", "9.99.jpg");  // 99 ns: before 9.100 although "9.99" > "9.100"
  writePatch("stubborn_fish", "-1.0.jpg");
  writePatch("clean", ".10.6.jpg.partial");  // the node's temporary
  fs::create_directories(archive_ / "dirty");
  std::ofstream(archive_ / "dirty" / "notes.txt") << "stray";

  ArchiveIndex index(archive_);
  const auto snapshot = index.snapshot();
  ASSERT_TRUE(snapshot->root_exists);
  ASSERT_EQ(snapshot->patches.size(), 4u);
  std::vector<std::string> ids;
  for (const Patch & patch : snapshot->patches) {
    ids.push_back(patch.id());
  }
  EXPECT_EQ(ids, (std::vector<std::string>{
    "fisheye/-1.0", "front/9.99", "rear/9.100", "rear/10.5"}));
  const Patch & throttled = snapshot->patches[2];
  EXPECT_EQ(throttled.verdict, Verdict::none);
  EXPECT_TRUE(throttled.vlm);
  EXPECT_STREQ(throttled.imageCategory().name, "internvl");
  const Patch & consulted = snapshot->patches[3];
  EXPECT_EQ(consulted.verdict, Verdict::clean);
  EXPECT_TRUE(consulted.vlm);
  EXPECT_STREQ(consulted.imageCategory().name, "clean");
  EXPECT_EQ(snapshot->skipped_files, 2u);
  EXPECT_EQ(snapshot->category_counts[3], 2u);  // internvl
  EXPECT_TRUE(snapshot->find(Camera::front, Stamp{9, 99}));
  EXPECT_FALSE(snapshot->find(Camera::rear, Stamp{9, 99}));
}

TEST_F(ReviewArchiveTest, FollowsAnArchiveThatChangesWhileItIsRead)
{
  ArchiveIndex index(scratch_ / "not_yet", std::chrono::milliseconds(0));
  EXPECT_FALSE(index.snapshot()->root_exists);
  EXPECT_TRUE(index.snapshot()->patches.empty());

  ArchiveIndex live(archive_, std::chrono::milliseconds(0));
  EXPECT_TRUE(live.snapshot()->patches.empty());
  writePatch("dirty", "1.0.jpg");
  EXPECT_EQ(live.snapshot()->patches.size(), 1u);
  writePatch("dirty", "2.0.jpg");
  writePatch("clean_front", "2.0.jpg");
  EXPECT_EQ(live.snapshot()->patches.size(), 3u);
  fs::remove_all(archive_ / "dirty");
  EXPECT_EQ(live.snapshot()->patches.size(), 1u);
  fs::remove_all(archive_);
  const auto gone = live.snapshot();
  EXPECT_FALSE(gone->root_exists);
  EXPECT_TRUE(gone->patches.empty());
  writePatch("internvl_fish", "3.0.jpg");
  EXPECT_EQ(live.snapshot()->patches.size(), 1u);
}

TEST_F(ReviewArchiveTest, LabelsLinkIntoClassFoldersAndRelabellingMovesThem)
{
  const fs::path source = writePatch("dirty", "10.5.jpg", 40);
  const std::string original = readBytes(source);
  ArchiveIndex index(archive_);
  LabelStore store(labels_, archive_);
  ASSERT_EQ(store.open(), "");
  const Patch patch = index.snapshot()->patches.at(0);
  const fs::path in_dirty = labels_ / "dirty" / "rear_10.5.jpg";
  const fs::path in_clean = labels_ / "clean" / "rear_10.5.jpg";

  ASSERT_EQ(store.record(patch, ReviewLabel::dirty).problem, "");
  EXPECT_EQ(readBytes(in_dirty), original);
  ASSERT_EQ(store.record(patch, ReviewLabel::clean).problem, "");
  EXPECT_FALSE(fs::exists(in_dirty));
  EXPECT_EQ(readBytes(in_clean), original);
  ASSERT_EQ(store.record(patch, ReviewLabel::unusable).problem, "");
  EXPECT_FALSE(fs::exists(in_clean));
  EXPECT_EQ(store.labelOf(Camera::rear, Stamp{10, 5}), ReviewLabel::unusable);

  EXPECT_EQ(readBytes(source), original);  // the archive as the node wrote it
  EXPECT_EQ(fs::directory_iterator(archive_ / "dirty")->path(), source);
  std::ifstream log(labels_ / velmora_review::kDecisionLog);
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line); ) {
    lines.push_back(line.substr(line.find(',') + 1));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
    "camera,stamp,node_verdict,vlm,label", "rear,10.5,dirty,0,dirty", "rear,10.5,dirty,0,clean",
    "rear,10.5,dirty,0,unusable"}));
}

TEST_F(ReviewArchiveTest, ResumesFromTheLogAndRepairsInterruptedFiling)
{
  writePatch("clean", "1.0.jpg");
  writePatch("internvl_front", "2.0.jpg");  // labelled from the VLM's copy
  writePatch("stubborn_fish", "3.0.jpg");
  {
    ArchiveIndex index(archive_);
    LabelStore store(labels_, archive_);
    ASSERT_EQ(store.open(), "");
    const auto snapshot = index.snapshot();
    for (const Patch & patch : snapshot->patches) {
      ASSERT_EQ(store.record(patch, ReviewLabel::stubborn).problem, "");
    }
    ASSERT_EQ(store.record(snapshot->patches[2], ReviewLabel::clean).problem, "");
  }
  // A stop between logging and filing, a stale copy left behind, and a line cut short.
  fs::remove(labels_ / "stubborn" / "rear_1.0.jpg");
  fs::copy_file(labels_ / "clean" / "fisheye_3.0.jpg", labels_ / "dirty" / "fisheye_3.0.jpg");
  std::ofstream(labels_ / velmora_review::kDecisionLog, std::ios::app) << "2026-01-01T00:00:00Z,rear,4.";

  LabelStore resumed(labels_, archive_);
  ASSERT_EQ(resumed.open(), "");
  EXPECT_EQ(resumed.size(), 3u);
  EXPECT_EQ(resumed.malformedLogLines(), 1u);
  EXPECT_EQ(resumed.labelOf(Camera::fisheye, Stamp{3, 0}), ReviewLabel::clean);
  EXPECT_TRUE(fs::exists(labels_ / "stubborn" / "rear_1.0.jpg"));
  EXPECT_TRUE(fs::exists(labels_ / "stubborn" / "front_2.0.jpg"));
  EXPECT_FALSE(fs::exists(labels_ / "dirty" / "fisheye_3.0.jpg"));
  const auto counts = resumed.counts();
  EXPECT_EQ(counts[0][0][2], 1u);  // rear: node clean, reviewer stubborn
  EXPECT_EQ(counts[1][3][2], 1u);  // front: verdict not filed, reviewer stubborn
  EXPECT_EQ(counts[2][2][0], 1u);  // fisheye: node stubborn, reviewer clean

  // The next decision starts a line of its own after the cut one.
  const auto patches = ArchiveIndex(archive_).snapshot()->patches;
  ASSERT_EQ(resumed.record(patches[0], ReviewLabel::dirty).problem, "");
  LabelStore reopened(labels_, archive_);
  ASSERT_EQ(reopened.open(), "");
  EXPECT_EQ(reopened.malformedLogLines(), 1u);
  EXPECT_EQ(reopened.labelOf(Camera::rear, Stamp{1, 0}), ReviewLabel::dirty);
}

TEST_F(ReviewArchiveTest, LabelsMustNotLieInsideTheArchiveOrAroundIt)
{
  EXPECT_NE(velmora_review::labelsPlacementProblem(archive_ / "labels", archive_), "");
  EXPECT_NE(velmora_review::labelsPlacementProblem(archive_ / "." / "x" / "..", archive_), "");
  EXPECT_NE(velmora_review::labelsPlacementProblem(scratch_, archive_), "");
  EXPECT_EQ(velmora_review::labelsPlacementProblem(labels_, archive_), "");
  EXPECT_EQ(velmora_review::labelsPlacementProblem(scratch_ / "images_labels", archive_), "");
  fs::create_directory_symlink(archive_, scratch_ / "alias");
  EXPECT_NE(velmora_review::labelsPlacementProblem(scratch_ / "alias" / "labels", archive_), "");
}

}  // namespace
