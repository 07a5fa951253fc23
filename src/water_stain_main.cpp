#include <cstdlib>
#include <memory>

#include "rclcpp/rclcpp.hpp"
#include "velmora_water_stain/vlm_client.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

int main(int argc, char ** argv)
{
  // Before rclcpp starts any thread.
  velmora_water_stain::initializeVlmClient();
  rclcpp::init(argc, argv);
  std::shared_ptr<WaterStainNode> node;
  try {
    node = std::make_shared<WaterStainNode>();
  } catch (const WaterStainNode::InvalidParameter &) {
    // Already logged with the parameter's name; nothing was created on disk.
    rclcpp::shutdown();
    return EXIT_FAILURE;
  }
  rclcpp::spin(node);
  // A lost CUDA context ends the spin; a non-zero status lets the launcher restart the node.
  const bool cuda_context_lost = node->cudaContextLost();
  rclcpp::shutdown();
  node.reset();
  return cuda_context_lost ? EXIT_FAILURE : EXIT_SUCCESS;
}
