#pragma once

#include <Eigen/Core>
#include <cstdint>

#include "ErrorModel.h"
#include "InertiaIdentification.h"
#include "ObservationModel.h"
#include "SampleGate.h"
#include "SignalHistory.h"
#include "TlsCovarianceEstimator.h"
#include "TlsTypes.h"

namespace zelto {

//! Variances (not standard deviations) of the measured quantities, in the field order of
//! InertialSample. Each field holds the x, y, z variances of one quantity.
struct MeasurementNoise {
  Eigen::Vector3d linearAcceleration = Eigen::Vector3d::Zero();   //!< m²/s⁴
  Eigen::Vector3d angularVelocity = Eigen::Vector3d::Zero();      //!< rad²/s²
  Eigen::Vector3d angularAcceleration = Eigen::Vector3d::Zero();  //!< rad²/s⁴
  Eigen::Vector3d force = Eigen::Vector3d::Zero();                //!< N²
  Eigen::Vector3d torque = Eigen::Vector3d::Zero();               //!< N²·m²

  //! The 15 variances in the order (linear acceleration, angular velocity, angular
  //! acceleration, force, torque), each x, y, z.
  MeasurementVector asVector() const;
  static MeasurementNoise fromVector(const MeasurementVector& variances);
};

//! One joined sample made ready for the estimate: its six augmented rows D = [H, −(f; τ)] and
//! the Jacobians of those rows, built once and used both to judge the sample and to feed it.
struct PreparedSample {
  InertialSample sample;
  AugmentedObservation rows;
  ErrorModelTLSWrenchBias::SampleJacobians jacobians;
};

//! The estimate and its covariances, read in one evaluation of the covariance.
struct EstimateReadout {
  InertialParameters params = InertialParameters::Zero();  //!< as getParamsSolution()
  InertialSample bias;                                     //!< as getBiasSolution()
  InertialCovariance paramsCovariance = InertialCovariance::Zero();
  BiasCovariance biasCovariance = BiasCovariance::Zero();
  bool covarianceDefined = false;  //!< as isCovarianceDefined()
};

//! Online estimator of θ = (m, m·c, Ixx, Ixy, Ixz, Iyy, Iyz, Izz, force bias, torque bias)
//! from synchronised inertial samples. Units: kg, kg·m, kg·m², N, N·m.
//!
//! Lifecycle: construct → init → (prepare → assess → feed)* (and queries at any time) → init
//! again or destroy. One thread drives an object; the const queries change nothing.
class EstimationAlgorithm {
 public:
  EstimationAlgorithm();
  virtual ~EstimationAlgorithm();
  EstimationAlgorithm(const EstimationAlgorithm&) = delete;
  EstimationAlgorithm& operator=(const EstimationAlgorithm&) = delete;

  //! 16, before and after init.
  virtual int getNumParameters() const = 0;
  //! The rows and Jacobians of one sample (nothing is fed or stored).
  virtual PreparedSample prepare(const InertialSample& sample) const = 0;
  //! The consistency of a prepared sample with the current estimate (nothing is fed).
  //! Throws std::logic_error before init.
  virtual SampleConsistency assess(const PreparedSample& sample) = 0;
  //! Consumes one prepared sample; true when consumed. weight in (0, 1] down-weights a sample
  //! the gate doubts: its rows count √weight times, their error covariance weight times.
  //! Throws std::runtime_error when θ already holds a NaN (see updateParameterVector). Throws
  //! std::logic_error before init.
  virtual bool feed(const PreparedSample& sample, double weight = 1.0) = 0;
  //! feed(prepare(sample)).
  bool update(const InertialSample& sample) { return feed(prepare(sample)); }
  //! Force and torque hold the estimated biases (N, N·m); every other field is zero.
  virtual InertialSample getBiasSolution() const = 0;
  //! Not provided by every algorithm: may print a notice and return an all-zero sample.
  virtual InertialSample getBiasVariance() const = 0;

  //! Restarts the estimate. prior: the first prior.size() entries of θ, normally the 10
  //! inertial parameters (m, m·cx, m·cy, m·cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz); the remaining
  //! entries (the biases) start at zero. More than 16 entries: std::invalid_argument.
  //! forgettingFactor: stored and handed to the covariance tracker; the system passes 1.0.
  //! Prints the initialisation block (INFO lines).
  void init(const Eigen::VectorXd& prior, const MeasurementNoise& noise, double forgettingFactor);

  //! Starts again from the prior, noise and forgetting factor of the last init, silently:
  //! nothing learnt since is kept. Throws std::logic_error before init.
  void restart();

  //! λ = wᵀSw / wᵀCw of the covariance tracker at the current θ (about 1 when the configured
  //! variances are right); NaN before any row.
  double getRayleighQuotient() const { return tls.covarianceEstimator.getRayleighQuotient(); }

  //! One TLS step for one augmented row r (17) with its error covariance Q (17 × 17,
  //! symmetric). Throws std::runtime_error with the message
  //! "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!" when θ
  //! holds a NaN on entry. A row with |1 + rᵀ·P·r| < 1e-12 changes nothing.
  void updateParameterVector(const AugmentedVector& row, const AugmentedMatrix& rowErrorCovariance);

  //! θ (zeros before init).
  ParameterVector getParameterVector() const { return tls.parameterVector; }
  //! (m, cx, cy, cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz) with c = (m·c)/m; non-finite for m = 0.
  //! Zeros before init.
  InertialParameters getParamsSolution() const;
  //! Covariance of getParamsSolution() (first-order propagation from the covariance of θ);
  //! all ones propagated before the first sample, zeros before init.
  InertialCovariance getParamsCovariance() const;
  //! Covariance of the six bias entries of θ; zeros before init.
  BiasCovariance getBiasCovariance() const;
  //! True when the covariances above describe the estimate: after init, at least one row
  //! used, and the tracker could evaluate it (see TlsCovarianceEstimator).
  bool isCovarianceDefined() const;
  //! All of the above from one evaluation of the covariance.
  EstimateReadout readout() const;
  //! Which directions of the inertia the samples so far have identified (see
  //! InertiaIdentification); not defined before the first sample.
  InertiaIdentification identifyInertia() const;

  //! The angular-acceleration variances (rad²/s⁴) of the samples fed and of the samples
  //! judged (assess), which may come from different derivatives, for this run and its
  //! restarts. Both are the configured one after init. Meant before the first sample: rows
  //! already fed keep theirs.
  void setAngularAccelerationVariances(const Eigen::Vector3d& fed, const Eigen::Vector3d& judged) {
    measurementNoise.angularAcceleration = fed;
    judgedAngularAcceleration = judged;
  }

  double getForgettingFactor() const { return forgettingFactor; }
  const MeasurementNoise& getMeasurementNoise() const { return measurementNoise; }
  bool isInitialized() const { return initialized_; }

 protected:
  //! What the estimate learns from its samples. init() and restart() replace it with a fresh
  //! one that starts at the prior.
  struct TlsState {
    TlsState(const ParameterVector& prior, double forgettingFactor);
    ParameterVector parameterVector;  //!< θ
    //! P = (I/100 + Σ r·rᵀ)⁻¹ over the rows used.
    AugmentedMatrix inverseCorrelation = AugmentedMatrix::Identity() * 100.0;
    //! Q̄: mean Q of the rows used.
    AugmentedMatrix meanRowErrorCovariance = AugmentedMatrix::Zero();
    int rowCount = 0;  //!< rows that entered Q̄
    //! Samples (or blocks of them, see RecursiveTLSWrenchBias) whose rows all went through:
    //! the reported covariance is the tracker's once there is one, all ones before.
    std::uint64_t consumedSamples = 0;
    //! True while every Q that entered Q̄ had the error model's block structure, so Q̄ has it.
    bool meanIsBlockDiagonal = true;
    TlsCovarianceEstimator covarianceEstimator;
    //! Inertia block of the error covariances the rows would have had with the noise of the
    //! regressor channels an algorithm counted as zero (see addUncountedNoise).
    InertiaMatrix uncountedNoise = InertiaMatrix::Zero();
  };

  //! The covariance of θ as the latest consumed sample left it: all ones (undefined) before
  //! the first, zeros before init.
  TlsCovarianceEstimator::Evaluation parameterCovariance() const;
  //! Called after all rows of a sample (or of a block of samples) went through: the covariance
  //! they leave becomes the reported one.
  void markSampleConsumed() { ++tls.consumedSamples; }
  //! Inertia block (4..9) of the error covariance of a row for noise the row's own Q leaves
  //! out: identifyInertia() counts it as noise all the same, since it still enters Σ r·rᵀ.
  void addUncountedNoise(const InertiaMatrix& rowInertiaBlock) {
    tls.uncountedNoise += rowInertiaBlock;
  }
  //! Throws std::logic_error when init has not run.
  void requireInitialized() const;
  //! Replaces the state of the run by a fresh one at the prior (init and restart); a derived
  //! algorithm replaces its own run state too.
  virtual void startRun();
  //! Row update for rows whose error covariance is zero outside rows/columns 0..9 and 16 and
  //! has no coupling between 0..9 and 16 (what the error model produces); same result as
  //! updateParameterVector at a lower cost.
  void updateParameterVectorStructured(const AugmentedVector& row,
                                       const AugmentedMatrix& rowErrorCovariance);

  int numParameters = kNumParameters;
  int augmentedSize = kAugmentedSize;
  MeasurementNoise measurementNoise;
  //! rad²/s⁴, the angular-acceleration variance of the samples assess() judges.
  Eigen::Vector3d judgedAngularAcceleration = Eigen::Vector3d::Zero();
  double forgettingFactor = 1.0;
  TlsState tls{ParameterVector::Zero(), 1.0};

 private:
  void updateRow(const AugmentedVector& row, const AugmentedMatrix& rowErrorCovariance,
                 bool structuredCovariance);
  //! First-order propagation of the covariance of θ to (m, c, inertia).
  InertialCovariance propagateToCentreOfMass(const ParameterMatrix& thetaCovariance) const;

  bool initialized_ = false;
  ParameterVector prior_ = ParameterVector::Zero();  //!< θ at init and restart
};

}  // namespace zelto
