#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "bag/bag.hpp"
#include "bag/mcap_bag.hpp"
#include "bag/msg_definition.hpp"
#include "bag/ros_messages.hpp"

namespace
{

namespace fs = std::filesystem;
using velmora_bag::BagMessage;
using velmora_bag::BagReader;

const fs::path kBags = fs::path(VELMORA_SOURCE_DIR) / ".." / "shared" / "bags";

struct BagContent
{
  std::map<std::string, std::vector<BagMessage>> by_topic;
  std::vector<int64_t> times;
};

BagContent readAll(BagReader & bag)
{
  BagContent content;
  BagMessage message;
  while (bag.next(message)) {
    content.times.push_back(message.log_time_ns);
    content.by_topic[bag.topics()[message.topic].name].push_back(message);
  }
  return content;
}

const velmora_bag::TopicInfo & topicNamed(const BagReader & bag, const std::string & name)
{
  for (const auto & topic : bag.topics()) {
    if (topic.name == name) {
      return topic;
    }
  }
  throw std::runtime_error("no topic " + name);
}

TEST(BagReading, DumpsRosbagsBags)
{
  for (const char * name : {"rosbags_rs_test_bag_sqlite3", "rosbags_rs_test_bag_mcap"}) {
    auto bag = velmora_bag::openBag((kBags / name).string());
    BagContent content = readAll(*bag);
    for (const auto & m : content.by_topic["/test/sensor_msgs/image"]) {
      const auto image = velmora_bag::decodeImage(m.data);
      std::cout << name << " image " << image.width << "x" << image.height << " " << image.encoding
                << " step " << image.step << " data " << image.data.size() << " stamp "
                << image.header.stamp.sec << "." << image.header.stamp.nanosec << " frame "
                << image.header.frame_id << "\n";
    }
    for (const auto & m : content.by_topic["/test/sensor_msgs/camera_info"]) {
      const auto info = velmora_bag::decodeCameraInfo(m.data);
      std::cout << " info " << info.width << "x" << info.height << " " << info.distortion_model
                << " d " << info.d.size() << " k0 " << info.k[0] << " k2 " << info.k[2]
                << " p " << info.p[0] << " roi " << info.roi.width << " " << info.roi.do_rectify
                << "\n";
    }
    for (const auto & m : content.by_topic["/test/sensor_msgs/compressed_image"]) {
      const auto image = velmora_bag::decodeCompressedImage(m.data);
      std::cout << " compressed " << image.format << " " << image.data.size() << "\n";
    }
    for (const auto & m : content.by_topic["/test/tf2_msgs/tf_message"]) {
      const auto tf = velmora_bag::decodeTfMessage(m.data);
      for (const auto & t : tf.transforms) {
        std::cout << " tf " << t.header.frame_id << " -> " << t.child_frame_id << " "
                  << t.transform.translation.x << " " << t.transform.rotation.w << "\n";
      }
    }
    std::cout << " problems " << bag->problems().size() << " topics " << bag->topics().size()
              << " def " << topicNamed(*bag, "/test/sensor_msgs/image").definition.size() << "\n";
  }
}

}  // namespace
