#include "InertiaCompensator.h"

#include <Eigen/Geometry>
#include <cmath>

#include "Log.h"
#include "Sample.h"

namespace zelto {

InertiaCompensator::InertiaCompensator() {
  imuSmoothing_.configure("filter", "coeffs", "smoothing", "imu", false);
  ftSmoothing_.configure("filter", "coeffs", "smoothing", "ft", false);
  angVelDifferentiation_.configure("filter", "coeffs", "differentiation", "ang_vel", true);
  angAccFilter_.setTimeConstant(0.1);
  logInfo("Inertia Compensator intialized successfully");
}

bool InertiaCompensator::processImu(const StampedVector3& linearAcceleration,
                                    const StampedVector3& angularVelocity) {
  // A repeated sample would give the EMA a zero time step and the histories a duplicate.
  if (!rawLinAcc_.empty() &&
      std::abs(linearAcceleration.time - rawLinAcc_.back().time) < kRepeatedTimeTolerance) {
    return false;
  }
  rawLinAcc_.push(linearAcceleration);
  rawAngVel_.push(angularVelocity);

  smoothedLinAcc_.push(imuSmoothing_.apply(rawLinAcc_));
  smoothedAngVel_.push(imuSmoothing_.apply(rawAngVel_));

  // Until the EMA can see a time step, the angular acceleration is taken as zero so that the
  // very first sample can already be compensated (gravity and centripetal terms only).
  if (smoothedAngVel_.size() < EMAFilter::getMinSamples()) {
    angAcc_.push(StampedVector3{angularVelocity.time, Eigen::Vector3d::Zero()});
  } else {
    angAcc_.push(angAccFilter_.apply(smoothedAngVel_));
  }

  if (!canSyncImu(smoothedLinAcc_, smoothedAngVel_, angAcc_)) {
    return false;
  }
  imuRecords_.push(syncImu(smoothedLinAcc_, smoothedAngVel_, angAcc_));
  return true;
}

bool InertiaCompensator::processWrench(const StampedVector3& force, const StampedVector3& torque) {
  rawForce_.push(force);
  rawTorque_.push(torque);
  if (rawForce_.size() < ftSmoothing_.getNumCoeffs()) {
    return false;
  }
  const StampedVector3 smoothedForce = ftSmoothing_.apply(rawForce_);
  const StampedVector3 smoothedTorque = ftSmoothing_.apply(rawTorque_);
  wrenchRecords_.push(WrenchRecord{smoothedForce.time, smoothedForce.value, smoothedTorque.value});

  if (imuRecords_.empty()) {
    return false;
  }
  if (!canSyncImuWrench(imuRecords_, wrenchRecords_)) {
    return false;
  }
  // The joined sample itself is not needed here; forming it marks the items the
  // interpolation used, and the prune below keeps five items before those.
  static_cast<void>(syncImuWrench(imuRecords_, wrenchRecords_));

  rawLinAcc_.prune();
  rawAngVel_.prune();
  rawForce_.prune();
  rawTorque_.prune();
  smoothedLinAcc_.prune();
  smoothedAngVel_.prune();
  angAcc_.prune();
  imuRecords_.prune();
  wrenchRecords_.prune();
  return true;
}

WrenchRecord InertiaCompensator::staticWrench() const { return compensate(newestInputs(), false); }

WrenchRecord InertiaCompensator::dynamicWrench() const { return compensate(newestInputs(), true); }

CompensatorInputs InertiaCompensator::newestInputs() const {
  const StampedVector3 measuredForce = wrenchRecords_.force.back();
  CompensatorInputs in;
  in.time = measuredForce.time;
  in.force = measuredForce.value;
  in.torque = wrenchRecords_.torque.back().value;
  in.linearAcceleration = smoothedLinAcc_.back().value;
  in.angularVelocity = smoothedAngVel_.back().value;
  in.angularAcceleration = angAcc_.back().value;
  return in;
}

WrenchRecord InertiaCompensator::compensate(const CompensatorInputs& in, bool dynamic) const {
  // The payload's wrench is Y·φ with Y the first ten columns of the estimator's observation
  // matrix (fillPayloadRegressor), so both libraries agree on signs and frames. Written out
  // with fixed-size cross products it costs a fraction of the 6×10 product:
  //   Y·φ, force rows:  m·a + α × h + ω × (ω × h)
  //   Y·φ, torque rows: h × a + J·α + ω × (J·ω)
  // (−skew(a)·h = h × a; the inertia columns give J·α + ω × (J·ω) for the symmetric J).
  // Static mode keeps only the gravity terms m·a and h × a.
  const Eigen::Vector3d& a = in.linearAcceleration;
  const double m = inertialParameters_[0];
  const Eigen::Vector3d h = inertialParameters_.segment<3>(1);

  Eigen::Vector3d force = in.force + m * a;
  Eigen::Vector3d torque = in.torque + h.cross(a);
  if (dynamic) {
    const Eigen::Vector3d& omega = in.angularVelocity;
    const Eigen::Vector3d& alpha = in.angularAcceleration;
    const double* p = inertialParameters_.data() + 4;  // Ixx, Ixy, Ixz, Iyy, Iyz, Izz
    Eigen::Matrix3d j;
    j << p[0], p[1], p[2],  //
        p[1], p[3], p[4],   //
        p[2], p[4], p[5];
    force += alpha.cross(h) + omega.cross(omega.cross(h));
    torque += j * alpha + omega.cross(j * omega);
  }
  return WrenchRecord{in.time, force, torque};
}

bool InertiaCompensator::isBeforeNewestImu(double time) const {
  return !rawLinAcc_.empty() && goesBackwards(time, rawLinAcc_.back().time);
}

std::array<std::size_t, InertiaCompensator::kHistoryCount> InertiaCompensator::historySizes()
    const {
  return {rawLinAcc_.size(),
          rawAngVel_.size(),
          rawForce_.size(),
          rawTorque_.size(),
          smoothedLinAcc_.size(),
          smoothedAngVel_.size(),
          angAcc_.size(),
          imuRecords_.linearAcceleration.size(),
          imuRecords_.angularVelocity.size(),
          imuRecords_.angularAcceleration.size(),
          wrenchRecords_.force.size(),
          wrenchRecords_.torque.size()};
}

}  // namespace zelto
