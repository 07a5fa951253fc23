#ifndef CV_BRIDGE__CV_BRIDGE_HPP_
#define CV_BRIDGE__CV_BRIDGE_HPP_

#include "cv_bridge/cv_bridge.h"

#endif  // CV_BRIDGE__CV_BRIDGE_HPP_
