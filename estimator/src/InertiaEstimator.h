#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <memory>

#include "EstimationTool.h"
#include "EstimatorConfig.h"
#include "SampleGate.h"
#include "SignalHistory.h"
#include "StampedHistory.h"
#include "TlsTypes.h"

namespace zelto {

//! The estimator's signal chain: raw IMU and force/torque vectors are stored, and for every
//! new input of time t the sample at the centre c ≈ t − W (the newest input at least W old)
//! of the window [c − W, c + W] is joined: the angular acceleration is the derivative at c of the
//! least-squares cubic through the angular velocities in the window, and every other channel is
//! taken at c. So all channels describe the same instant (a causal derivative would describe the
//! motion of some time earlier), and the fit follows hand motion without the bias of a plain slope,
//! which flattens the curvature of ω within the window (0.2 % of α at hand pace, 0.8 % at twice it:
//! more than the error a heavy tool's estimate otherwise has).
//! Each newly joined sample goes to the estimation tool. Also answers the questions about the
//! estimate: solution, variances, convergence.
//!
//! Driven once per input sample in the order imuCallback, wrenchCallback, update. The
//! histories hold about 2W of input; in steady state nothing is allocated.
class InertiaEstimator {
 public:
  using Vector16 = Eigen::Matrix<double, 16, 1>;

  //! Half-width W of the window of the angular-acceleration fit, s. The sample is joined W
  //! behind the newest input. Narrower windows are noisier, wider ones blur brisk motion.
  static constexpr double kHalfWindow = 0.025;
  //! Slack on the window's edges, s: inputs on an edge count whatever the rounding of their
  //! time stamps (half the repeat tolerance, above the resolution of Unix-epoch times).
  static constexpr double kWindowTolerance = 5e-6;
  //! Inputs each half of the window must hold before a sample is joined at its centre.
  static constexpr std::size_t kMinHalfWindowInputs = 2;

  //! Creates the tool (without an algorithm yet) and takes the convergence thresholds.
  explicit InertiaEstimator(const EstimatorConfig& config);
  virtual ~InertiaEstimator();
  InertiaEstimator(const InertiaEstimator&) = delete;
  InertiaEstimator& operator=(const InertiaEstimator&) = delete;

  //! Stores the configuration, builds a new estimation tool from it, takes the thresholds
  //! and calls init().
  void setConfig(const EstimatorConfig& config);

  //! Clears the histories and starts a fresh algorithm: nothing of a previous run is used.
  void init();

  //! IMU side. An input whose time repeats the previous input's (within 1e-5 s) is dropped,
  //! and so is the wrench of the same input: no input reaches the estimate twice.
  void imuCallback(const StampedVector3& linearAcceleration, const StampedVector3& angularVelocity);
  //! Wrench side, then the join at the centre of the window that ends at the newest input.
  //! Joins nothing, silently, while either half of the window holds fewer than two inputs
  //! (the first 2W of a run, and after a gap).
  void wrenchCallback(const StampedVector3& force, const StampedVector3& torque);

  //! Hands the current sample to the tool when it was joined since the previous call (never
  //! the initial all-zero sample, never a sample twice) and the gate lets it through (see
  //! SampleGate: outliers and contact stay out, a long contact restarts the estimate). Prints
  //! a line when a contact starts or ends, when the estimate restarts, and once when the
  //! residuals show that the configured noise is far off. Returns true. The algorithm's fatal
  //! NaN error passes through.
  bool update();

  //! Mass; centre of mass x, y, z; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force bias x, y, z; torque
  //! bias x, y, z.
  Vector16 getParamsSolution() const;
  //! Variances of the same 16 quantities (diagonals of the tool's covariances).
  Vector16 getParamsVariance() const;

  //! Every standard deviation strictly below its threshold (mass; each centre-of-mass
  //! coordinate; each inertia entry; each of the six bias components), a NaN standard
  //! deviation counting as zero, the estimate a body that can exist (positive mass, inertia
  //! about the centre of mass with principal moments ≥ −threshold that satisfy the triangle
  //! inequalities within the inertia threshold), and no contact now or within 0.1 s.
  bool isConverged() const;

  //! The newest joined sample (all zero, time 0, until the first join of this object).
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

  //! The gate's counts since the last init(): samples left out, contact episodes, and whether
  //! a contact is going on.
  const SampleGate& gate() const { return gate_; }
  //! λ, the common scale of the residuals against the configured noise (about 1 when right).
  double noiseScale() const { return tool_->getRayleighQuotient(); }

  //! Items held by the angular-velocity history (bounded by the window; for tests).
  std::size_t historySize() const { return angularVelocity_.size(); }

  const EstimationTool& tool() const { return *tool_; }

 private:
  //! The derivative at the centre of the least-squares cubic through the angular velocities
  //! in [centre − W, centre + W] into alpha; false while a half of the window holds too few
  //! inputs.
  bool centredDerivative(double centre, Eigen::Vector3d& alpha) const;
  void dropOlderThan(double time);
  void reportGateEvent() const;

  std::unique_ptr<EstimationTool> tool_;           // never null
  std::array<double, 4> convergenceThresholds_{};  // mass, com, inertia, wrench bias
  StampedHistory linearAcceleration_, angularVelocity_, force_, torque_;
  InertialSample currentSample_;
  bool newSampleJoined_ = false;
  bool hasJoined_ = false;      //!< a sample was joined since init()
  double lastCentre_ = 0.0;     //!< time of the latest joined sample
  bool repeatedInput_ = false;  //!< the input in progress repeats the previous one's time
  std::uint64_t sampleCount_ = 0;
  SampleGate gate_;
  bool hasStoredSample_ = false;
  double newestSampleTime_ = 0.0;
  EstimatorConfig config_;
};

}  // namespace zelto
