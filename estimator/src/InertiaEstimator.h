#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <memory>

#include "EMAFilter.h"
#include "EstimationTool.h"
#include "EstimatorConfig.h"
#include "FilterCoeffs.h"
#include "SignalHistory.h"
#include "StampedHistory.h"
#include "TlsTypes.h"

namespace zelto {

//! The estimator's signal chain: raw IMU and force/torque vectors are smoothed, the angular
//! acceleration is derived from the angular velocity, the IMU and wrench streams are joined
//! in time into InertialSamples, and each newly joined sample goes to the estimation tool.
//! Also answers the questions about the estimate: solution, variances, convergence.
//!
//! Driven once per input sample in the order imuCallback, wrenchCallback, update. In steady
//! state nothing is allocated: the histories are pruned and keep their capacity.
class InertiaEstimator {
 public:
  using Vector16 = Eigen::Matrix<double, 16, 1>;

  //! Creates the tool (without an algorithm yet), configures the filters and takes the
  //! convergence thresholds.
  explicit InertiaEstimator(const EstimatorConfig& config);
  virtual ~InertiaEstimator();
  InertiaEstimator(const InertiaEstimator&) = delete;
  InertiaEstimator& operator=(const InertiaEstimator&) = delete;

  //! Stores the configuration, builds a new estimation tool from it, takes the thresholds
  //! and calls init().
  void setConfig(const EstimatorConfig& config);

  //! Clears the histories, configures the filters and starts a fresh algorithm. Keeps the
  //! current sample, the angular-acceleration filter's state and the process-wide join count.
  void init();

  //! IMU side: a sample whose time repeats the newest one (within 1e-5 s) is dropped.
  void imuCallback(const StampedVector3& linearAcceleration, const StampedVector3& angularVelocity);
  //! Wrench side and the join with the IMU side into the current sample.
  void wrenchCallback(const StampedVector3& force, const StampedVector3& torque);

  //! Hands the current sample to the tool when it was joined since the previous call (never
  //! the initial all-zero sample, never a sample twice). Returns true. The algorithm's fatal
  //! NaN error passes through.
  bool update();

  //! Mass; centre of mass x, y, z; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force bias x, y, z; torque
  //! bias x, y, z.
  Vector16 getParamsSolution() const;
  //! Variances of the same 16 quantities (diagonals of the tool's covariances).
  Vector16 getParamsVariance() const;

  //! Every standard deviation strictly below its threshold (mass; each centre-of-mass
  //! coordinate; each inertia entry; each of the six bias components). A NaN standard
  //! deviation counts as zero.
  bool isConverged() const;

  //! The newest joined sample (all zero, time 0, until the first join).
  const InertialSample& currentSample() const { return currentSample_; }
  //! A sample was joined since the last update().
  bool newSampleJoined() const { return newSampleJoined_; }

  //! Whether a sample was stored since the last init(), and the latest time stored.
  bool hasStoredSample() const { return hasStoredSample_; }
  double newestSampleTime() const { return newestSampleTime_; }

  //! Joined samples handed to the tool since the last init().
  std::uint64_t sampleCount() const { return sampleCount_; }
  //! Whether getParamsVariance() describes the estimate (see EstimationAlgorithm).
  bool isCovarianceDefined() const { return tool_->isCovarianceDefined(); }

  //! Number of IMU/wrench joins of all estimators in this process. Histories are pruned
  //! after every join from the tenth on.
  static int joinCount();

  const EstimationTool& tool() const { return *tool_; }

 private:
  void configureFilters();
  void pruneHistories();

  std::unique_ptr<EstimationTool> tool_;           // never null
  std::array<double, 4> convergenceThresholds_{};  // mass, com, inertia, wrench bias
  FilterCoeffs imuSmoothing_;
  FilterCoeffs ftSmoothing_;
  FilterCoeffs angVelDifferentiation_;  // configured for completeness; not applied
  EMAFilter angAccFilter_;
  StampedHistory rawLinAcc_, rawAngVel_, rawForce_, rawTorque_;
  StampedHistory smoothedLinAcc_, smoothedAngVel_;
  StampedHistory angAcc_;
  ImuHistory imuRecords_;
  WrenchHistory wrenchRecords_;
  InertialSample currentSample_;
  bool newSampleJoined_ = false;
  std::uint64_t sampleCount_ = 0;
  bool hasStoredSample_ = false;
  double newestSampleTime_ = 0.0;
  EstimatorConfig config_;
};

}  // namespace zelto
