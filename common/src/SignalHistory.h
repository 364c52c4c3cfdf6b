#pragma once

#include "StampedHistory.h"

namespace zelto {

//! Joined IMU channels at one time.
struct ImuRecord {
  double time = 0.0;
  Eigen::Vector3d linearAcceleration = Eigen::Vector3d::Zero();   //!< m/s², specific force
  Eigen::Vector3d angularVelocity = Eigen::Vector3d::Zero();      //!< rad/s
  Eigen::Vector3d angularAcceleration = Eigen::Vector3d::Zero();  //!< rad/s²
};

//! Force and torque at one time.
struct WrenchRecord {
  double time = 0.0;
  Eigen::Vector3d force = Eigen::Vector3d::Zero();   //!< N
  Eigen::Vector3d torque = Eigen::Vector3d::Zero();  //!< N·m
};

//! IMU and wrench joined at a common time: what the estimator consumes.
struct InertialSample {
  double time = 0.0;
  Eigen::Vector3d linearAcceleration = Eigen::Vector3d::Zero();
  Eigen::Vector3d angularVelocity = Eigen::Vector3d::Zero();
  Eigen::Vector3d angularAcceleration = Eigen::Vector3d::Zero();
  Eigen::Vector3d force = Eigen::Vector3d::Zero();
  Eigen::Vector3d torque = Eigen::Vector3d::Zero();
};

//! Three channels: linear acceleration, angular velocity, angular acceleration.
class ImuHistory {
 public:
  void push(const ImuRecord& record);
  void clear();
  void prune();
  bool empty() const { return linearAcceleration.empty(); }
  ImuRecord front() const;
  ImuRecord back() const;
  ImuRecord sampleAt(double t);

  StampedHistory linearAcceleration;
  StampedHistory angularVelocity;
  StampedHistory angularAcceleration;
};

//! Two channels: force, torque.
class WrenchHistory {
 public:
  void push(const WrenchRecord& record);
  void clear();
  void prune();
  bool empty() const { return force.empty(); }
  WrenchRecord front() const;
  WrenchRecord back() const;
  WrenchRecord sampleAt(double t);

  StampedHistory force;
  StampedHistory torque;
};

// Joins. The stream whose newest item is older fixes the time and the other stream is
// interpolated to it; on a tie the IMU side is interpolated (and returns its newest values).

bool canSyncImu(const StampedHistory& linAcc, const StampedHistory& angVel,
                const StampedHistory& angAcc);
ImuRecord syncImu(StampedHistory& linAcc, StampedHistory& angVel, StampedHistory& angAcc);

bool canSyncImuWrench(const ImuHistory& imu, const WrenchHistory& wrench);
InertialSample syncImuWrench(ImuHistory& imu, WrenchHistory& wrench);

}  // namespace zelto
