#ifndef VELMORA_WATER_STAIN__WATER_STAIN_NODE_HPP_
#define VELMORA_WATER_STAIN__WATER_STAIN_NODE_HPP_

#include <NvInfer.h>
#include <cuda_runtime_api.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "geometry_msgs/msg/point_stamped.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/transform_listener.h"
#include "velmora_protocol/msg/dirty_recognition.hpp"
#include "velmora_protocol/msg/task_center_fsm_status.hpp"

#include "velmora_water_stain/classifier.hpp"
#include "velmora_water_stain/fisheye.hpp"
#include "velmora_water_stain/geometry.hpp"
#include "velmora_water_stain/result.hpp"

namespace velmora_water_stain
{

// Lets a repeated failure line out at most once per interval for each key, counting the lines
// held back in between, so that a fault on every frame cannot flood the log.
class FailureLogThrottle
{
public:
  // When a line keyed by `what` may be logged at `now`: how many were held back since the last
  // one; nothing while it must stay quiet.
  std::optional<std::size_t> due(
    const std::string & what, std::chrono::steady_clock::duration interval,
    std::chrono::steady_clock::time_point now);

private:
  struct Log
  {
    std::chrono::steady_clock::time_point last;
    std::size_t held_back{0};
  };
  std::map<std::string, Log> logs_;
};

}  // namespace velmora_water_stain

class WaterStainNode : public rclcpp::Node
{
public:
  // Receives TensorRT's reports; only errors are worth a line, on standard error.
  class Logger : public nvinfer1::ILogger
  {
  public:
    void log(Severity severity, const char * msg) noexcept override;
  };

  // Thrown by the constructor, after one ERROR line naming it, when a parameter's start value is
  // outside what the node accepts; nothing has been created on disk by then.
  class InvalidParameter : public std::invalid_argument
  {
  public:
    using std::invalid_argument::invalid_argument;
  };

  explicit WaterStainNode(const rclcpp::NodeOptions & options = rclcpp::NodeOptions());
  ~WaterStainNode() override;

  void imageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg);
  void cam_info_callback(const std::shared_ptr<sensor_msgs::msg::CameraInfo> msg);
  void front_imageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg);
  void front_cam_info_callback(const std::shared_ptr<sensor_msgs::msg::CameraInfo> msg);
  void fisheyeimageCallback(const std::shared_ptr<sensor_msgs::msg::Image> msg);
  void working_status_callback(
    const std::shared_ptr<velmora_protocol::msg::TaskCenterFsmStatus> msg);

  // Classifier (engine loading, GPU inference, preprocessing, decision).
  void loadEngine();
  bool engineLoaded() const;
  // Raw scores of one blob; empty when the GPU or the engine reported a failure.
  std::vector<float> doInference(cv::Mat & input);
  // True once a device fault has left the process's CUDA context unusable; the node has then
  // shut its context down, so spinning ends, and the process should exit with a failure.
  bool cudaContextLost() const;
  cv::Mat preprocessImage(const cv::Mat & crop) const;
  // Preprocess, infer and score a floor patch; fails (already logged) when the frame cannot be
  // classified.
  velmora_water_stain::Result<velmora_water_stain::ClassifierResult> classifyPatch(
    const cv::Mat & patch);
  velmora_water_stain::FloorClass decideVerdict(
    const std::deque<int32_t> & history, float overlap, const std::string & file_name);

  // Vision-language model: 1 yes, 0 no, -1 failed.
  int image_http_request(
    const cv::Mat & image, const std::string & server_url, const std::string & prompt);

  // Camera geometry.
  geometry_msgs::msg::TransformStamped lookupRobotPose();
  cv::Mat undistortFisheye(const cv::Mat & frame) const;
  std::vector<cv::Point2f> projectFisheyeRegion() const;
  void fisheyeUndistortTest();

  // Evidence archive.
  void createImageDirs();
  // Removes temporaries that an interrupted archive write of an earlier run left behind.
  void removeStaleArchiveTemporaries();
  void saveImage(
    const cv::Mat & image, const std::string & category, const std::string & file_name);
  // The same with the clock reading given, so the clean throttle can be driven without sleeping.
  void saveImage(
    const cv::Mat & image, const std::string & category, const std::string & file_name,
    std::chrono::system_clock::time_point now);

protected:
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr image_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr cam_info_sub_;
  rclcpp::Subscription<velmora_protocol::msg::TaskCenterFsmStatus>::SharedPtr status_sub_;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr front_image_sub_;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr fisheye_image_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr front_cam_info_sub_;
  rclcpp::Publisher<velmora_protocol::msg::DirtyRecognition>::SharedPtr dirty_pub_;
  rclcpp::Publisher<velmora_protocol::msg::DirtyRecognition>::SharedPtr dirty_front_pub_;

  nvinfer1::IRuntime * runtime_{nullptr};
  nvinfer1::ICudaEngine * engine_{nullptr};
  nvinfer1::IExecutionContext * context_{nullptr};

  std::shared_ptr<tf2_ros::Buffer> tf_buffer_;
  std::shared_ptr<tf2_ros::TransformListener> tf_listener_;

  std::vector<cv::Point2f> region_uv_;
  std::vector<cv::Point2f> front_region_uv_;
  std::vector<cv::Point3f> fisheye_ground_region_{
    {-1.5f, 0.3f, 0.0f}, {-1.5f, -0.3f, 0.0f}, {-0.5f, -0.3f, 0.0f}, {-0.5f, 0.3f, 0.0f}};
  std::vector<cv::Point3f> ground_region_{
    {-1.4f, 0.3f, 0.0f}, {-1.4f, -0.3f, 0.0f}, {-0.4f, -0.3f, 0.0f}, {-0.4f, 0.3f, 0.0f}};
  std::vector<cv::Point3f> front_ground_region_{
    {1.9f, -0.5f, 0.0f}, {1.9f, 0.5f, 0.0f}, {0.9f, 0.5f, 0.0f}, {0.9f, -0.5f, 0.0f}};
  cv::Mat fisheye_D_ = (cv::Mat_<float>(4, 1) <<
    -0.20290732f, 0.050523773f, -0.031190876f, 0.009916748f);
  cv::Mat fisheye_K_ = (cv::Mat_<float>(3, 3) <<
    339.16461f, -0.04840181f, 412.04343f, 0.0f, 339.48041f, 305.00290f, 0.0f, 0.0f, 1.0f);
  cv::Mat fisheye_new_K_ = (cv::Mat_<float>(3, 3) <<
    139.16461f, -0.04840181f, 412.04343f, 0.0f, 139.48041f, 305.00290f, 0.0f, 0.0f, 1.0f);
  cv::Mat fisheye_rvec_ = (cv::Mat_<float>(3, 1) << -2.000999f, -0.014999f, 1.57f);
  cv::Mat fisheye_tvec_ = (cv::Mat_<float>(3, 1) << 0.0f, 0.7f, -0.226f);

  std::string server_url_{"http://192.168.50.10:32771"};
  std::string dirt_prompt_{"is there any dirt or water stain in the image? answer yes or no."};
  std::string stain_prompt_{"is there any vomit or dark stain in the image? answer yes or no."};
  std::string engine_path_{
    "/opt/ros/humble/share/velmora_water_stain/models/mobilenet_50_1205_orin.engine"};
  std::string image_dir_{"./images"};
  std::string status_topic_{"/fsm_status"};
  std::string camera_frame_{"camera_05_color_optical_frame"};
  std::string image_topic_{"/camera_05/color/image_raw"};
  std::string cam_info_topic_{"/camera_05/color/camera_info"};
  std::string dirty_topic_{"/DirtyRecognition"};
  std::string fisheye_image_topic_{"/usb_cam_rear/image_raw"};
  std::string front_camera_frame_{"camera_01_color_optical_frame"};
  std::string front_image_topic_{"/camera_01/color/image_raw"};
  std::string front_cam_info_topic_{"/camera_01/color/camera_info"};
  std::string dirty_front_topic_{"/DirtyRecognitionFront"};

  int32_t input_h_{224};
  int32_t input_w_{224};
  int32_t output_size_{3};

  std::deque<int32_t> result_history_;
  std::deque<int32_t> front_result_history_;
  std::deque<int32_t> fisheye_result_history_;
  std::vector<geometry_msgs::msg::PointStamped> last_region_;
  std::vector<geometry_msgs::msg::PointStamped> front_last_region_;
  std::vector<geometry_msgs::msg::PointStamped> fisheye_last_region_;

  std::array<float, 3> mean_{0.485f, 0.456f, 0.406f};
  std::array<float, 3> std_{0.229f, 0.224f, 0.225f};
  float score_threshold_{0.8f};
  float iou_threshold_{0.8f};
  bool save_images_{true};
  bool is_working_{false};
  std::chrono::system_clock::time_point last_clean_save_time_;
  int32_t clean_save_interval_s_{3};
  bool fisheye_test_mode_{false};
  Logger logger_;

  // Beyond the compiled-in settings: where the fisheye test routine reads its sample.
  std::string fisheye_sample_image_{"/home/velmora/fisheye_sample.jpg"};
  // The fisheye calibration is constant, so its undistortion maps are built once.
  velmora_water_stain::FisheyeUndistorter fisheye_undistorter_;
  // The floor rectangle is compiled in too, so its crop is prepared once.
  velmora_water_stain::FisheyeFloorCrop fisheye_floor_crop_;
  // A colour camera's floor quadrilateral is fixed once calibrated, so its warp is prepared once.
  velmora_water_stain::FloorPatchCutter floor_patch_cutter_;
  velmora_water_stain::FloorPatchCutter front_floor_patch_cutter_;
  // Rate limits for repeated failure lines, keyed by what failed.
  velmora_water_stain::FailureLogThrottle failure_logs_;
  bool cuda_context_lost_{false};

private:
  // What distinguishes one camera's pipeline from another's once its floor patch is cut.
  struct PipelineCamera
  {
    const char * name;
    std::deque<int32_t> & history;
    std::size_t history_capacity;
    std::vector<geometry_msgs::msg::PointStamped> & last_region;
    const std::vector<cv::Point3f> & ground_region;
    const std::string & prompt;
    std::string category_suffix;
    bool logs_scores;  // front and fisheye log the softmax scores and the VLM fallback
    bool is_fisheye;
  };
  PipelineCamera rearCamera();
  PipelineCamera frontCamera();
  PipelineCamera fisheyeCamera();

  // Frame intake shared by the pipelines; each logs its own failure.
  velmora_water_stain::Result<cv::Mat> convertToBgr(
    const std::shared_ptr<sensor_msgs::msg::Image> & msg);
  velmora_water_stain::Result<geometry_msgs::msg::TransformStamped> lookupRobotPoseOrWarn();
  bool workGateOpen(const std::vector<cv::Point2f> & region_uv);
  // True when the engine can judge a frame; otherwise says so (at most every 10 s).
  bool engineReadyForFrame();
  // After a device fault: one FATAL line, then the node's context is shut down.
  void stopOnLostCudaContext(cudaError_t status);
  // Runs one frame's judging; an OpenCV error drops the frame instead of ending the process.
  void runGuarded(const char * camera, const std::function<void()> & judge_frame);
  // Confidence rule (with the VLM fallback), overlap, verdict and archive for a classified patch.
  void judgeFloorPatch(
    const PipelineCamera & camera, const cv::Mat & patch,
    const velmora_water_stain::ClassifierResult & classification,
    const geometry_msgs::msg::TransformStamped & pose, const std::string & file_name);
  // The VLM's verdict on an unsure patch, timed, logged and archived under the camera's category.
  int askVlm(const PipelineCamera & camera, const cv::Mat & patch, const std::string & file_name);

  void declareParameters();
  // Declares a parameter fixed at its start value; throws InvalidParameter, after logging why,
  // when that value is of another type than the default.
  template<typename ValueT>
  ValueT declareReadOnly(
    const std::string & name, const ValueT & default_value, const std::string & description);
  // Throws InvalidParameter, after logging why, for the first start value the node cannot use.
  void validateParameters() const;
  void createSubscriptions();
  void createPublishers();
  // Log `text` keyed by `what` at most once per 10 s, saying how many were held back.
  void logRateLimitedError(const std::string & what, const std::string & text);
  void logRateLimitedWarning(const std::string & what, const std::string & text);
  // The line to log now, if one is due.
  std::optional<std::string> rateLimitedLine(const std::string & what, const std::string & text);
};

#endif  // VELMORA_WATER_STAIN__WATER_STAIN_NODE_HPP_
