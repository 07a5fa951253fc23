// Arbitrary message bytes decoded as each recorded type the replay reads: a decoder either
// returns a message or throws MessageError (never anything else, never reads past the bytes),
// and a decoded message, encoded and decoded again, encodes to the same bytes (compared as
// bytes, so that NaN fields count as equal). The first byte picks the type.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "bag/msg_definition.hpp"
#include "bag/ros_messages.hpp"
#include "fuzz_support.hpp"

namespace
{

template<typename Message, typename Decode, typename Encode>
void roundTrip(const std::vector<uint8_t> & bytes, Decode decode, Encode encode)
{
  Message message;
  try {
    message = decode(bytes);
  } catch (const velmora_bag::MessageError &) {
    return;
  }
  const std::vector<uint8_t> encoded = encode(message);
  if (encode(decode(encoded)) != encoded) {
    fuzz_support::fail("a decoded message does not survive encoding");
  }
}

const velmora_bag::StatusDecoder & statusDecoder()
{
  static const velmora_bag::StatusDecoder decoder(velmora_bag::MessageDefinitions(
      "velmora_protocol/msg/TaskCenterFsmStatus",
      std::string(velmora_bag::kStatusDefinition) +
      "float64[] extra\nbuiltin_interfaces/Duration[<=3] waits\nbool[2] flags\n"));
  return decoder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  const std::vector<uint8_t> bytes(data + 1, data + size);
  try {
    switch (data[0] % 5) {
      case 0:
        // encodeImage is overloaded; the lambda picks the one-argument form.
        roundTrip<sensor_msgs::msg::Image>(
          bytes, velmora_bag::decodeImage,
          [](const sensor_msgs::msg::Image & image) {return velmora_bag::encodeImage(image);});
        try {
          velmora_bag::checkImageData(velmora_bag::decodeImage(bytes));
        } catch (const velmora_bag::MessageError &) {
        }
        break;
      case 1:
        roundTrip<velmora_bag::CompressedImage>(
          bytes, velmora_bag::decodeCompressedImage, velmora_bag::encodeCompressedImage);
        break;
      case 2:
        roundTrip<sensor_msgs::msg::CameraInfo>(
          bytes, velmora_bag::decodeCameraInfo, velmora_bag::encodeCameraInfo);
        break;
      case 3:
        roundTrip<tf2_msgs::msg::TFMessage>(
          bytes, velmora_bag::decodeTfMessage, velmora_bag::encodeTfMessage);
        break;
      default:
        try {
          statusDecoder().decode(bytes);
        } catch (const velmora_bag::MessageError &) {
        }
        break;
    }
  } catch (const std::exception & error) {
    fuzz_support::fail("decoding threw something other than MessageError:", error.what());
  }
  return 0;
}
