#ifndef RCL__TIME_H_
#define RCL__TIME_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define RCL_S_TO_NS(seconds) ((seconds) * (1000LL * 1000LL * 1000LL))
#define RCL_MS_TO_NS(milliseconds) ((milliseconds) * (1000LL * 1000LL))
#define RCL_NS_TO_S(nanoseconds) ((nanoseconds) / (1000LL * 1000LL * 1000LL))

typedef int64_t rcl_time_point_value_t;
typedef int64_t rcl_duration_value_t;

typedef enum rcl_clock_type_e
{
  RCL_CLOCK_UNINITIALIZED = 0,
  RCL_ROS_TIME,
  RCL_SYSTEM_TIME,
  RCL_STEADY_TIME
} rcl_clock_type_t;

typedef struct rcl_duration_s
{
  rcl_duration_value_t nanoseconds;
} rcl_duration_t;

typedef struct rcl_time_point_s
{
  rcl_time_point_value_t nanoseconds;
  rcl_clock_type_t clock_type;
} rcl_time_point_t;

#ifdef __cplusplus
}
#endif

#endif  // RCL__TIME_H_
