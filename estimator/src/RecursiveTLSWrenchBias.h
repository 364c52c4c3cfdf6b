#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "ErrorModel.h"
#include "EstimationAlgorithm.h"
#include "ObservationModel.h"

namespace zelto {

//! The rates at which the regressor channels' configured variances hold, Hz, when a channel
//! is interpolated onto the samples' faster clock from a slower stream of its own (0: the
//! samples' own rate). Interpolated values are correlated over the stream's step, so a mean over
//! many samples keeps the variance of a mean over the stream's samples: the variance times the
//! samples' rate over the stream's. Single samples still scatter by the variance as configured.
struct NoiseSampleRates {
  double linearAcceleration = 0.0;
  double angularVelocity = 0.0;
};

//! Recursive total least squares for the payload's inertial parameters and the sensor's
//! force and torque bias. Every sample gives six rows of D = [H, −(f; τ)] (force x, y, z,
//! torque x, y, z). Fed samples are averaged over a block of sample time (setFeedBlockSeconds;
//! 0, the default, takes every sample on its own): each row type's mean, weighted as the
//! block's samples are, is a row of the same model with its own error covariance. Each such
//! row updates P = (I/100 + Σ r·rᵀ)⁻¹ by Sherman–Morrison and then θ by one step of inverse
//! iteration for the pencil (Σ r·rᵀ + I/100, Q̄), Q̄ being the mean row error covariance. The
//! covariance tracker receives every row. A block's rows go in when a sample arrives a block
//! span after the block's first; the samples of a block still open are not yet in the
//! estimate. A channel with a NoiseSampleRates entry below the block's rate of samples counts
//! its variance in the block's mean by density (see NoiseSampleRates); assess() judges single
//! samples on the variance as configured.
//!
//! The progress line "[ESTIMATOR] Estimating, keep moving the payload..." is printed at most
//! once per second of steady-clock time across all objects and threads of the process.
class RecursiveTLSWrenchBias : public EstimationAlgorithm {
 public:
  //! A regressor input channel (linear acceleration, angular velocity, angular acceleration,
  //! each x, y, z) carries no excitation while its spread since the start of the run is
  //! below this many times its configured variance: its noise then counts as zero.
  static constexpr double kExcitationFactor = 10.0;

  RecursiveTLSWrenchBias();
  ~RecursiveTLSWrenchBias() override;

  int getNumParameters() const override { return kNumParameters; }
  PreparedSample prepare(const InertialSample& sample) const override;
  //! The consistency of the sample with the estimate after the last fed sample. The C and λ it
  //! uses are taken afresh when 0.25 s of sample time has passed since they were last taken
  //! and a sample was fed since (they change slowly), so this costs well under a microsecond.
  SampleConsistency assess(const PreparedSample& sample) override;
  bool feed(const PreparedSample& sample, double weight = 1.0) override;
  InertialSample getBiasSolution() const override;
  //! Prints "RecursiveTLSWrenchBias Bias Variance not implemented!" on std::cout (every
  //! call) and returns an all-zero sample.
  InertialSample getBiasVariance() const override;

  //! H·C·Hᵀ for the rows d of one sample (H its first 16 columns), from the blocks of H that
  //! can be non-zero.
  static Eigen::Matrix<double, kRowsPerSample, kRowsPerSample> projectedCovariance(
      const AugmentedObservation& d, const ParameterMatrix& c);

  //! The variances the rows of the next sample get: the configured ones, with those of the
  //! regressor channels that carry no excitation yet set to zero.
  MeasurementVector effectiveVariances() const;

  //! Sample time over which fed samples are averaged into one row per row type before they
  //! reach the estimate; 0 feeds every sample on its own.
  void setFeedBlockSeconds(double seconds) { feedBlockSeconds_ = seconds; }
  void setNoiseSampleRates(const NoiseSampleRates& rates) { noiseRates_ = rates; }

 protected:
  std::unique_ptr<ObservationModelTLSWrenchBias> observationModel;
  std::unique_ptr<ErrorModelTLSWrenchBias> errorModel;

  void startRun() override;

 private:
  //! What this algorithm keeps of one run besides the common state; replaced along with it.
  struct Run {
    // Running mean and sum of squared deviations of the nine regressor input channels since
    // the start of the run (Welford), for the excitation test.
    std::uint64_t excitationCount = 0;
    Eigen::Matrix<double, 9, 1> excitationMean = Eigen::Matrix<double, 9, 1>::Zero();
    Eigen::Matrix<double, 9, 1> excitationSquares = Eigen::Matrix<double, 9, 1>::Zero();
    // C and λ as assess() last took them, when, and whether a sample was fed since.
    ParameterMatrix assessCovariance = ParameterMatrix::Zero();
    //! √λ_t of each row type: R = D^½·U·Σ·Uᵀ·D^½ with D = diag(λ_t).
    Eigen::Matrix<double, kRowsPerSample, 1> assessScaleRoots =
        Eigen::Matrix<double, kRowsPerSample, 1>::Zero();
    bool assessDefined = false;
    bool fedSinceRefresh = false;  //!< C and λ may have changed since they were taken
    double refreshTime = 0.0;      //!< time of the sample at the last refresh
  };

  //! Fed samples not yet averaged into the estimate: Σ w·d per row type, Σ w²·Q, Σ w, and for
  //! the density count of NoiseSampleRates: Σ w²·σ² of the linear acceleration (its columns of
  //! every row's Jacobian are constant, so its share of Σ w²·Q follows from these three sums)
  //! and, per row type, Σ w²·Q of the angular velocity's variances alone (its columns depend on
  //! the motion).
  struct FeedBlock {
    std::array<AugmentedVector, kRowsPerSample> rowSum;
    std::array<AugmentedMatrix, kRowsPerSample> covarianceSum;
    Eigen::Vector3d accelerationVariance = Eigen::Vector3d::Zero();
    std::array<AugmentedMatrix, kRowsPerSample> angularVelocitySum;
    int samples = 0;
    InertiaMatrix uncounted = InertiaMatrix::Zero();
    double weight = 0.0;
    double start = 0.0;
    double last = 0.0;
    void clear();
  };

  void trackExcitation(const InertialSample& sample);
  //! Zeroes the single-sample sums and empties the open block: a run starts without either.
  void clearSampleSums();
  //! Feeds the open block's mean rows to the estimate and empties it.
  void feedBlock();

  Run run_;
  //! Per row type, Σ d·dᵀ (upper triangle) and Σ Q over the samples of the run fed, one by one:
  //! the scales assess() judges single samples on come from these, not from the rows the
  //! estimate takes (block means, whose noise is not a single sample's).
  std::array<AugmentedMatrix, kRowsPerSample> sampleSquares_;
  std::array<AugmentedMatrix, kRowsPerSample> sampleErrors_;
  FeedBlock block_;
  double feedBlockSeconds_ = 0.0;
  NoiseSampleRates noiseRates_;
  // Workspace for the per-row error covariances of the sample being fed. Their zero pattern
  // never changes, so only the structurally non-zero entries are written per sample.
  std::array<AugmentedMatrix, kRowsPerSample> rowErrorCovariance_;
  AugmentedMatrix scaledCovariance_ = AugmentedMatrix::Zero();  //!< a row's, as the pencil takes it
  // Workspace for a torque row's error covariance with the noise of the channels that carry no
  // excitation (all torque rows share its zero pattern).
  AugmentedMatrix uncountedCovariance_;
  //! Per row type (their zero patterns differ), a row's error covariance from the variances of
  //! one rated channel alone.
  std::array<AugmentedMatrix, kRowsPerSample> ratedCovariance_;
  //! All zero: the Jacobians a row's error covariance from the linear acceleration alone needs.
  ErrorModelTLSWrenchBias::SampleJacobians noMotion_;
};

//! A RecursiveTLSWrenchBias that averages fed samples over feedBlockSeconds, owned through the
//! abstract base.
std::unique_ptr<EstimationAlgorithm> createRecursiveTLSWrenchBias(
    double feedBlockSeconds = 0.0, const NoiseSampleRates& rates = NoiseSampleRates());

}  // namespace zelto
