#ifndef RCLCPP__QOS_HPP_
#define RCLCPP__QOS_HPP_

#include <cstddef>

#include "rclcpp/duration.hpp"
#include "rmw/qos_profiles.h"
#include "rmw/types.h"

namespace rclcpp
{

enum class HistoryPolicy
{
  KeepLast = RMW_QOS_POLICY_HISTORY_KEEP_LAST,
  KeepAll = RMW_QOS_POLICY_HISTORY_KEEP_ALL,
  SystemDefault = RMW_QOS_POLICY_HISTORY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_HISTORY_UNKNOWN,
};

enum class ReliabilityPolicy
{
  BestEffort = RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT,
  Reliable = RMW_QOS_POLICY_RELIABILITY_RELIABLE,
  SystemDefault = RMW_QOS_POLICY_RELIABILITY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_RELIABILITY_UNKNOWN,
};

enum class DurabilityPolicy
{
  Volatile = RMW_QOS_POLICY_DURABILITY_VOLATILE,
  TransientLocal = RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL,
  SystemDefault = RMW_QOS_POLICY_DURABILITY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_DURABILITY_UNKNOWN,
};

enum class LivelinessPolicy
{
  Automatic = RMW_QOS_POLICY_LIVELINESS_AUTOMATIC,
  ManualByTopic = RMW_QOS_POLICY_LIVELINESS_MANUAL_BY_TOPIC,
  SystemDefault = RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_LIVELINESS_UNKNOWN,
};

struct QoSInitialization
{
  rmw_qos_history_policy_t history_policy;
  size_t depth;

  QoSInitialization(rmw_qos_history_policy_t history_policy_arg, size_t depth_arg);
  static QoSInitialization from_rmw(const rmw_qos_profile_t & rmw_qos);
};

struct KeepAll : public rclcpp::QoSInitialization
{
  KeepAll();
};

struct KeepLast : public rclcpp::QoSInitialization
{
  explicit KeepLast(size_t depth);
};

class QoS
{
public:
  explicit QoS(
    const QoSInitialization & qos_initialization,
    const rmw_qos_profile_t & initial_profile = rmw_qos_profile_default);
  QoS(size_t history_depth);  // NOLINT(runtime/explicit)

  rmw_qos_profile_t & get_rmw_qos_profile();
  const rmw_qos_profile_t & get_rmw_qos_profile() const;

  QoS & history(rmw_qos_history_policy_t history);
  QoS & history(HistoryPolicy history);
  QoS & keep_last(size_t depth);
  QoS & keep_all();
  QoS & reliability(rmw_qos_reliability_policy_t reliability);
  QoS & reliability(ReliabilityPolicy reliability);
  QoS & reliable();
  QoS & best_effort();
  QoS & durability(rmw_qos_durability_policy_t durability);
  QoS & durability(DurabilityPolicy durability);
  QoS & durability_volatile();
  QoS & transient_local();
  QoS & deadline(rmw_time_t deadline);
  QoS & deadline(const rclcpp::Duration & deadline);
  QoS & lifespan(rmw_time_t lifespan);
  QoS & lifespan(const rclcpp::Duration & lifespan);
  QoS & liveliness(rmw_qos_liveliness_policy_t liveliness);
  QoS & liveliness(LivelinessPolicy liveliness);
  QoS & liveliness_lease_duration(rmw_time_t liveliness_lease_duration);
  QoS & liveliness_lease_duration(const rclcpp::Duration & liveliness_lease_duration);
  QoS & avoid_ros_namespace_conventions(bool avoid_ros_namespace_conventions);

  HistoryPolicy history() const;
  size_t depth() const;
  ReliabilityPolicy reliability() const;
  DurabilityPolicy durability() const;
  rclcpp::Duration deadline() const;
  rclcpp::Duration lifespan() const;
  LivelinessPolicy liveliness() const;
  rclcpp::Duration liveliness_lease_duration() const;
  bool avoid_ros_namespace_conventions() const;

private:
  rmw_qos_profile_t rmw_qos_profile_;
};

bool operator==(const QoS & left, const QoS & right);
bool operator!=(const QoS & left, const QoS & right);

class SensorDataQoS : public QoS
{
public:
  explicit SensorDataQoS(
    const QoSInitialization & qos_initialization =
    QoSInitialization::from_rmw(rmw_qos_profile_sensor_data));
};

class ParametersQoS : public QoS
{
public:
  explicit ParametersQoS(
    const QoSInitialization & qos_initialization =
    QoSInitialization::from_rmw(rmw_qos_profile_parameters));
};

class ServicesQoS : public QoS
{
public:
  explicit ServicesQoS(
    const QoSInitialization & qos_initialization =
    QoSInitialization::from_rmw(rmw_qos_profile_services_default));
};

class SystemDefaultsQoS : public QoS
{
public:
  explicit SystemDefaultsQoS(
    const QoSInitialization & qos_initialization =
    QoSInitialization::from_rmw(rmw_qos_profile_system_default));
};

class ClockQoS : public QoS
{
public:
  explicit ClockQoS(const QoSInitialization & qos_initialization = KeepLast(1));
};

}  // namespace rclcpp

#endif  // RCLCPP__QOS_HPP_
