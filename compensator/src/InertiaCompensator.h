#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>

#include "EMAFilter.h"
#include "FilterCoeffs.h"
#include "SignalHistory.h"
#include "StampedHistory.h"

namespace zelto {

//! [m, m·cx, m·cy, m·cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz]: the payload part of the parameter
//! vector the estimator identifies.
using InertialParameters = Eigen::Matrix<double, 10, 1>;

//! What one compensated wrench is computed from: the measured wrench and the IMU quantities,
//! sensor frame. Normally all of one sample; paired across samples when the IMU's stamps lag or
//! lead the wrench's (ImuDelayLine).
struct CompensatorInputs {
  double time = 0.0;                                              //!< s, of the wrench
  Eigen::Vector3d force = Eigen::Vector3d::Zero();                //!< N
  Eigen::Vector3d torque = Eigen::Vector3d::Zero();               //!< N·m
  Eigen::Vector3d linearAcceleration = Eigen::Vector3d::Zero();   //!< m/s², gravity included
  Eigen::Vector3d angularVelocity = Eigen::Vector3d::Zero();      //!< rad/s
  Eigen::Vector3d angularAcceleration = Eigen::Vector3d::Zero();  //!< rad/s²
};

//! The compensator's numerical core ("Inertia Compensator").
//!
//! Keeps short histories of the four sample channels, derives the angular acceleration
//! from the angular velocity with the EMA filter, checks that the IMU and wrench streams can
//! be joined, and adds the payload's predicted wrench to the measured one:
//!   static:  F + m·a,                           τ + h × a
//!   dynamic: F + m·a + α × h + ω × (ω × h),     τ + h × a + J·α + ω × (J·ω)
//! with h = m·c, J the inertia tensor and a the accelerometer's specific force. Under the
//! observation model the measured wrench is the sensor bias minus exactly this term, so the
//! result is the external wrench plus the bias, which a tare removes.
//!
//! Per sample: processImu(), then processWrench() if that succeeded, then one of the two
//! wrench operations if that succeeded, all with the same time stamp.
class InertiaCompensator {
 public:
  //! Configures the filters and prints "Inertia Compensator intialized successfully".
  InertiaCompensator();

  void setParameters(const InertialParameters& parameters) { inertialParameters_ = parameters; }
  const InertialParameters& parameters() const { return inertialParameters_; }

  //! Stores and smooths the IMU channels, appends the angular acceleration and joins the
  //! three channels. False (nothing stored) for a time within 1e-5 s of the newest stored
  //! one; false (the channels stay stored) when the channels cannot be joined.
  bool processImu(const StampedVector3& linearAcceleration, const StampedVector3& angularVelocity);

  //! Stores and smooths force and torque and checks the join with the IMU records; prunes
  //! every history after a successful join. False when there is not enough data yet or the
  //! streams cannot be joined.
  bool processWrench(const StampedVector3& force, const StampedVector3& torque);

  //! Gravity only. Built from the newest history items; the result carries the newest wrench
  //! record's time. Only valid after a successful processWrench().
  WrenchRecord staticWrench() const;
  //! Gravity and inertia.
  WrenchRecord dynamicWrench() const;

  //! The newest wrench record and the newest IMU items, which staticWrench() and
  //! dynamicWrench() compensate. Only valid after a successful processWrench().
  CompensatorInputs newestInputs() const;
  //! The compensated wrench of the given inputs (gravity only, or gravity and inertia); the
  //! result carries the inputs' time.
  WrenchRecord compensate(const CompensatorInputs& inputs, bool dynamic) const;

  //! True when time lies more than 1e-5 s before the newest stored IMU time: storing it
  //! would put the histories out of order.
  bool isBeforeNewestImu(double time) const;

  // Read-only views for diagnostics and tests.
  static constexpr std::size_t kHistoryCount = 12;
  //! Item counts of rawLinAcc, rawAngVel, rawForce, rawTorque, smoothedLinAcc,
  //! smoothedAngVel, angAcc, the three IMU record channels and the two wrench record channels.
  std::array<std::size_t, kHistoryCount> historySizes() const;
  //! Newest angular acceleration; the history must not be empty.
  StampedVector3 newestAngularAcceleration() const { return angAcc_.back(); }

 private:
  InertialParameters inertialParameters_ = InertialParameters::Zero();
  FilterCoeffs imuSmoothing_;
  FilterCoeffs ftSmoothing_;
  FilterCoeffs angVelDifferentiation_;  // configured like the estimator's, never applied here
  EMAFilter angAccFilter_;
  StampedHistory rawLinAcc_;
  StampedHistory rawAngVel_;
  StampedHistory rawForce_;
  StampedHistory rawTorque_;
  StampedHistory smoothedLinAcc_;
  StampedHistory smoothedAngVel_;
  StampedHistory angAcc_;
  ImuHistory imuRecords_;
  WrenchHistory wrenchRecords_;
};

}  // namespace zelto
