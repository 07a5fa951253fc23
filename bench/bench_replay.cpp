// What reading a recorded bag costs next to judging its frames: decoding one 640 x 480 image
// message (raw rgb8 CDR, and a JPEG CompressedImage decoded to bgr8), and streaming a large
// zstd-chunked MCAP file, whose peak resident memory must stay at a few chunks whatever the file's
// size. VELMORA_STREAM_MB sets the streamed file's size (default 256; 1024 for the 1 GB check).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bag/bag.hpp"
#include "bag/mcap_bag.hpp"
#include "bag/ros_messages.hpp"

namespace
{

namespace fs = std::filesystem;

// A camera-like picture: smooth shading with sensor noise, so JPEG and zstd see realistic data.
cv::Mat floorPicture(int seed)
{
  cv::Mat picture(480, 640, CV_8UC3);
  for (int row = 0; row < picture.rows; ++row) {
    for (int col = 0; col < picture.cols; ++col) {
      picture.at<cv::Vec3b>(row, col) = cv::Vec3b(
        static_cast<uint8_t>(90 + row / 8), static_cast<uint8_t>(110 + col / 10),
        static_cast<uint8_t>(130 + (row + col + seed) % 40));
    }
  }
  cv::Mat noise(picture.size(), picture.type());
  cv::randn(noise, 0, 6);
  return picture + noise;
}

sensor_msgs::msg::Image rgbImage(int seed)
{
  sensor_msgs::msg::Image image;
  image.header.frame_id = "camera_05_color_optical_frame";
  image.height = 480;
  image.width = 640;
  image.encoding = "rgb8";
  image.step = 640 * 3;
  const cv::Mat picture = floorPicture(seed);
  image.data.assign(picture.data, picture.data + picture.total() * picture.elemSize());
  return image;
}

void decodeRawImage(benchmark::State & state)
{
  const std::vector<uint8_t> bytes = velmora_bag::encodeImage(rgbImage(0));
  for (auto _ : state) {
    const auto image = velmora_bag::decodeImage(bytes);
    velmora_bag::checkImageData(image);
    benchmark::DoNotOptimize(image.data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void decodeJpegImage(benchmark::State & state)
{
  velmora_bag::CompressedImage compressed;
  compressed.format = "jpeg";
  cv::imencode(".jpg", floorPicture(0), compressed.data);
  const std::vector<uint8_t> bytes = velmora_bag::encodeCompressedImage(compressed);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
      velmora_bag::toBgr8Image(velmora_bag::decodeCompressedImage(bytes)).data.data());
  }
}

double statusMegabytes(const char * field)
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) {
      return std::stod(line.substr(std::string(field).size())) / 1024.0;
    }
  }
  return 0.0;
}

// Writes `megabytes` of 640 x 480 rgb8 frames in 4 MB zstd chunks.
fs::path largeBag(std::size_t megabytes)
{
  const fs::path path = fs::temp_directory_path() /
    ("velmora_bench_stream_" + std::to_string(megabytes) + ".mcap");
  velmora_bag::McapWriter::Options options;
  options.compression = "zstd";
  options.chunk_size = 4 << 20;
  velmora_bag::McapWriter writer(path.string(), options);
  const uint16_t channel =
    writer.addChannel(writer.addSchema("sensor_msgs/msg/Image", ""), "/camera_05/color/image_raw");
  std::vector<std::vector<uint8_t>> frames;
  for (int seed = 0; seed < 8; ++seed) {
    frames.push_back(velmora_bag::encodeImage(rgbImage(seed)));
  }
  const std::size_t count = megabytes * (1 << 20) / frames[0].size();
  for (std::size_t i = 0; i < count; ++i) {
    writer.write(channel, 1000000000ULL + i * 33333333ULL, frames[i % frames.size()]);
  }
  writer.close();
  return path;
}

void streamLargeMcap(benchmark::State & state)
{
  const char * configured = std::getenv("VELMORA_STREAM_MB");
  const std::size_t megabytes = configured != nullptr ? std::stoul(configured) : 256;
  const fs::path path = largeBag(megabytes);
  const double file_mb = static_cast<double>(fs::file_size(path)) / (1 << 20);
  const double before_mb = statusMegabytes("VmRSS:");
  std::size_t messages = 0;
  for (auto _ : state) {
    auto bag = velmora_bag::openBag(path.string());
    velmora_bag::BagMessage message;
    while (bag->next(message)) {
      ++messages;
    }
  }
  state.counters["file_mb"] = file_mb;
  state.counters["messages"] = static_cast<double>(messages) / static_cast<double>(state.iterations());
  state.counters["rss_before_mb"] = before_mb;
  state.counters["peak_rss_mb"] = statusMegabytes("VmHWM:");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(path)));
  fs::remove(path);
}

}  // namespace

BENCHMARK(decodeRawImage)->Name("decode/image_rgb8/640x480")->Unit(benchmark::kMicrosecond);
BENCHMARK(decodeJpegImage)->Name("decode/compressed_jpeg_to_bgr8/640x480")
->Unit(benchmark::kMicrosecond);
BENCHMARK(streamLargeMcap)->Name("stream/mcap_zstd_chunks")->Iterations(1)
->Unit(benchmark::kMillisecond);

// scripts/bench passes its arguments to every benchmark program; --engine is not ours.
int main(int argc, char ** argv)
{
  std::vector<char *> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--engine=", 0) != 0) {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
