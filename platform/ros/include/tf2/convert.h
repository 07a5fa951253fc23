#ifndef TF2__CONVERT_H_
#define TF2__CONVERT_H_

#include <string>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "tf2/time.h"

namespace tf2
{

// Applies `transform` to `data_in`; each supported type brings its own specialisation
// (tf2_geometry_msgs for the geometry messages).
template<class T>
void doTransform(
  const T & data_in, T & data_out, const geometry_msgs::msg::TransformStamped & transform);

template<class T>
tf2::TimePoint getTimestamp(const T & t);

template<class T>
std::string getFrameId(const T & t);

}  // namespace tf2

#endif  // TF2__CONVERT_H_
