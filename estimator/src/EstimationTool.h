#pragma once

#include <memory>

#include "EstimationAlgorithm.h"
#include "EstimatorConfig.h"
#include "SignalHistory.h"
#include "TlsTypes.h"

namespace zelto {

//! Owns the estimation algorithm and translates the configuration into its prior and
//! measurement noise. Every init() starts a fresh algorithm from the configured prior.
//! Without an algorithm (before the first init) the queries answer zeros.
class EstimationTool {
 public:
  explicit EstimationTool(const EstimatorConfig& config);
  ~EstimationTool();
  EstimationTool(const EstimationTool&) = delete;
  EstimationTool& operator=(const EstimationTool&) = delete;

  //! Sample time over which the algorithm averages fed samples into one row per row type.
  //! The mean of rows is a row of the same model, so this biases nothing, but it averages
  //! away what the model cannot tell from motion: a real sensor's noise is coloured (the
  //! structure rings at tens of hertz, a slower IMU's samples are interpolated onto the wrench
  //! clock) and no configuration describes it, and noise left in the regressors shrinks the
  //! estimate towards zero by its share of the excitation. 50 ms is the span of the
  //! reference derivative's window, the finest time scale the rows resolve anyway: motion
  //! below 5 Hz keeps at least 90 % of its amplitude, and the box nulls 20 Hz and its
  //! multiples.
  static constexpr double kFeedBlockSeconds = 0.05;

  //! Replaces the algorithm by a new one initialised with the prior, the noise and a
  //! forgetting factor of 1.
  void init();

  //! The algorithm's rows and Jacobians for a joined sample; all zero without an algorithm.
  PreparedSample prepare(const InertialSample& sample) const;
  //! Hands one prepared sample to the algorithm; its answer. Without an algorithm prints a
  //! warning and returns false. The algorithm's fatal NaN error passes through.
  bool feed(const PreparedSample& sample, double weight = 1.0);
  //! feed(prepare(sample)).
  bool update(const InertialSample& sample) { return feed(prepare(sample)); }

  //! (m, cx, cy, cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz); zeros without an algorithm.
  InertialParameters getParamsSolution() const;
  //! Force and torque fields hold the estimated biases; all zero without an algorithm.
  InertialSample getBiasSolution() const;
  //! Zeros without an algorithm.
  InertialCovariance getParamsCovariance() const;
  //! Zeros without an algorithm.
  BiasCovariance getBiasCovariance() const;
  //! All of the above from one evaluation of the covariance; zeros without an algorithm.
  EstimateReadout readout() const;
  //! The algorithm's identification of the inertia; not defined without an algorithm.
  InertiaIdentification identifyInertia() const;

  //! The algorithm's consistency of a prepared sample with its estimate; NaN statistic
  //! without one.
  SampleConsistency assess(const PreparedSample& sample);
  //! The algorithm's angular-acceleration variances of the samples fed and judged (see
  //! EstimationAlgorithm); nothing without an algorithm.
  void setAngularAccelerationVariances(const Eigen::Vector3d& fed, const Eigen::Vector3d& judged);
  //! The algorithm starts again from the prior, silently; nothing without one.
  void restart();
  //! λ of the algorithm's covariance; NaN without one.
  double getRayleighQuotient() const;

  //! False without an algorithm.
  bool isCovarianceDefined() const { return algorithm_ && algorithm_->isCovarianceDefined(); }

  bool hasAlgorithm() const { return algorithm_ != nullptr; }

  //! (m, m·cx, m·cy, m·cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz) from the configured prior payload.
  static Eigen::VectorXd priorParameters(const EstimatorConfig& config);
  //! The configured variances in the order of the measured quantities of a sample.
  static MeasurementNoise measurementNoise(const EstimatorConfig& config);

 private:
  std::unique_ptr<EstimationAlgorithm> algorithm_;
  EstimatorConfig config_;
};

}  // namespace zelto
