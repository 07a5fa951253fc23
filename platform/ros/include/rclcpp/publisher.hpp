#ifndef RCLCPP__PUBLISHER_HPP_
#define RCLCPP__PUBLISHER_HPP_

#include <memory>
#include <utility>

#include "rclcpp/publisher_base.hpp"
#include "rclcpp/publisher_options.hpp"

namespace rclcpp
{

template<typename MessageT, typename AllocatorT = std::allocator<void>>
class Publisher : public PublisherBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Publisher)

  explicit Publisher(detail::EndpointInfo info)
  : PublisherBase(std::move(info)) {}

  void publish(const MessageT & msg)
  {
    publishMessage(&msg, nullptr);
  }

  void publish(std::unique_ptr<MessageT> msg)
  {
    const MessageT * raw = msg.get();
    publishMessage(raw, std::shared_ptr<MessageT>(std::move(msg)));
  }

  std::shared_ptr<void> copyMessage(const void * message) const override
  {
    return std::make_shared<MessageT>(*static_cast<const MessageT *>(message));
  }
};

}  // namespace rclcpp

#endif  // RCLCPP__PUBLISHER_HPP_
