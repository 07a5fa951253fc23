#include <memory>

#include "rclcpp/rclcpp.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

int main(int argc, char ** argv)
{
  rclcpp::init(argc, argv);
  auto node = std::make_shared<WaterStainNode>();
  rclcpp::spin(node);
  rclcpp::shutdown();
  node.reset();
  return 0;
}
