#ifndef WATER_STAIN_NODE_ACCESS_HPP_
#define WATER_STAIN_NODE_ACCESS_HPP_

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry_msgs/msg/point_stamped.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "tf2_ros/buffer.h"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/water_stain_node.hpp"

namespace node_access
{

enum class Camera {rear, front, fisheye};

// The one way into the node for tests, benchmarks and the simulator: the node as built, with
// verbs for what they arrange or look at. It uses only the public ROS 2 API.
class WaterStainNodeAccess : public WaterStainNode
{
public:
  using WaterStainNode::WaterStainNode;

  // tf as the robot's drivers fill it: mounts are static, poses are not.
  bool mountCamera(const geometry_msgs::msg::TransformStamped & mount)
  {
    return tf_buffer_->setTransform(mount, "node_access", true);
  }
  bool placeRobot(const geometry_msgs::msg::TransformStamped & pose)
  {
    return tf_buffer_->setTransform(pose, "node_access", false);
  }
  tf2_ros::Buffer & tfBuffer() const {return *tf_buffer_;}

  // Calibration: the floor quadrilateral of a colour camera (empty until calibrated).
  const std::vector<cv::Point2f> & floorQuadrilateral(Camera camera) const
  {
    static const std::vector<cv::Point2f> kNone;
    return camera == Camera::front ? front_region_uv_ : camera == Camera::rear ? region_uv_ : kNone;
  }
  void setFloorQuadrilateral(Camera camera, std::vector<cv::Point2f> quadrilateral)
  {
    (camera == Camera::front ? front_region_uv_ : region_uv_) = std::move(quadrilateral);
  }
  const std::vector<cv::Point3f> & groundRegion(Camera camera) const
  {
    return camera == Camera::rear ? ground_region_ :
           camera == Camera::front ? front_ground_region_ : fisheye_ground_region_;
  }
  velmora_water_stain::FisheyeFloorCrop & fisheyeFloorCrop() {return fisheye_floor_crop_;}
  // True once the camera has cut a floor patch (its warp is prepared on the first one).
  bool floorPatchPrepared(Camera camera) const
  {
    return camera == Camera::rear ? floor_patch_cutter_.prepared() :
           camera == Camera::front ? front_floor_patch_cutter_.prepared() :
           fisheye_floor_crop_.prepared();
  }

  // Judging state per camera.
  const std::deque<int32_t> & history(Camera camera) const
  {
    return camera == Camera::rear ? result_history_ :
           camera == Camera::front ? front_result_history_ : fisheye_result_history_;
  }
  const std::vector<geometry_msgs::msg::PointStamped> & lastRegion(Camera camera) const
  {
    return camera == Camera::rear ? last_region_ :
           camera == Camera::front ? front_last_region_ : fisheye_last_region_;
  }
  bool working() const {return is_working_;}

  // Settings a scenario changes after start.
  void pointVlmAt(const std::string & url) {server_url_ = url;}
  float scoreThreshold() const {return score_threshold_;}
  void setScoreThreshold(float threshold) {score_threshold_ = threshold;}
  void setSaveImages(bool save) {save_images_ = save;}
  void setFisheyeTestMode(bool on) {fisheye_test_mode_ = on;}
  std::chrono::system_clock::time_point lastCleanSave() const {return last_clean_save_time_;}

  // Endpoints, as created.
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr imageSubscription(Camera camera) const
  {
    return camera == Camera::rear ? image_sub_ :
           camera == Camera::front ? front_image_sub_ : fisheye_image_sub_;
  }
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr cameraInfoSubscription(
    Camera camera) const
  {
    return camera == Camera::rear ? cam_info_sub_ :
           camera == Camera::front ? front_cam_info_sub_ : nullptr;
  }
  rclcpp::Subscription<velmora_protocol::msg::TaskCenterFsmStatus>::SharedPtr
  statusSubscription() const {return status_sub_;}
  rclcpp::Publisher<velmora_protocol::msg::DirtyRecognition>::SharedPtr dirtyPublisher(
    Camera camera) const
  {
    return camera == Camera::front ? dirty_front_pub_ : dirty_pub_;
  }

  // Hands a camera's images to `subscription` instead (same topic): dropping the node's own
  // subscription keeps every image handled exactly once.
  const std::string & imageTopic(Camera camera) const
  {
    return camera == Camera::rear ? image_topic_ :
           camera == Camera::front ? front_image_topic_ : fisheye_image_topic_;
  }
  void replaceImageSubscription(
    Camera camera, rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr subscription)
  {
    (camera == Camera::rear ? image_sub_ :
     camera == Camera::front ? front_image_sub_ : fisheye_image_sub_) = std::move(subscription);
  }
};

}  // namespace node_access

#endif  // WATER_STAIN_NODE_ACCESS_HPP_
