#pragma once

#include <Eigen/Core>

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

//! Online estimator of θ = (m, m·c, Ixx, Ixy, Ixz, Iyy, Iyz, Izz, force bias, torque bias)
//! from synchronised inertial samples. Units: kg, kg·m, kg·m², N, N·m.
//!
//! Lifecycle: construct → init → update* (and queries at any time) → init again or destroy.
//! One thread drives an object; the const queries refresh a cached covariance and so must
//! not run concurrently with each other or with update either.
class EstimationAlgorithm {
 public:
  EstimationAlgorithm();
  virtual ~EstimationAlgorithm();
  EstimationAlgorithm(const EstimationAlgorithm&) = delete;
  EstimationAlgorithm& operator=(const EstimationAlgorithm&) = delete;

  //! 16, before and after init.
  virtual int getNumParameters() const = 0;
  //! Consumes one sample; true when consumed. Throws std::runtime_error when θ already holds
  //! a NaN (see updateParameterVector). Throws std::logic_error before init.
  virtual bool update(const InertialSample& sample) = 0;
  //! Force and torque hold the estimated biases (N, N·m); every other field is zero.
  virtual InertialSample getBiasSolution() const = 0;
  //! Not provided by every algorithm: may print a notice and return an all-zero sample.
  virtual InertialSample getBiasVariance() const = 0;
  //! The consistency of a sample with the current estimate (nothing is fed).
  virtual SampleConsistency assess(const InertialSample& sample) = 0;

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
  double getRayleighQuotient() const { return covarianceEstimator.getRayleighQuotient(); }

  //! One TLS step for one augmented row r (17) with its error covariance Q (17 × 17,
  //! symmetric). Throws std::runtime_error with the message
  //! "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!" when θ
  //! holds a NaN on entry. A row with |1 + rᵀ·P·r| < 1e-12 changes nothing.
  void updateParameterVector(const AugmentedVector& row, const AugmentedMatrix& rowErrorCovariance);

  //! θ (zeros before init).
  ParameterVector getParameterVector() const { return parameterVector; }
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

  double getForgettingFactor() const { return forgettingFactor; }
  const MeasurementNoise& getMeasurementNoise() const { return measurementNoise; }
  bool isInitialized() const { return initialized_; }

 protected:
  //! parameterCovariance as the latest consumed sample left it (refreshed on demand).
  const ParameterMatrix& currentParameterCovariance() const;
  //! Called by update after all rows of a sample went through: the covariance of that
  //! sample becomes the reported one (evaluated lazily from covarianceEstimator).
  void markSampleConsumed() { covarianceStale_ = true; }
  //! Throws std::logic_error when init has not run.
  void requireInitialized() const;
  //! Called by init() and restart() after the common state went back to the prior: a derived
  //! algorithm forgets what it learnt itself.
  virtual void onRestart() {}
  //! Row update for rows whose error covariance is zero outside rows/columns 0..9 and 16 and
  //! has no coupling between 0..9 and 16 (what the error model produces); same result as
  //! updateParameterVector at a lower cost.
  void updateParameterVectorStructured(const AugmentedVector& row,
                                       const AugmentedMatrix& rowErrorCovariance);

  int numParameters = kNumParameters;
  int augmentedSize = kAugmentedSize;
  MeasurementNoise measurementNoise;
  double forgettingFactor = 1.0;
  ParameterVector parameterVector;  //!< θ
  //! Covariance reported for the latest sample: all ones after init, then the covariance
  //! tracker's result after each fully consumed sample. Use currentParameterCovariance().
  mutable ParameterMatrix parameterCovariance;
  AugmentedMatrix inverseCorrelation;      //!< P = (I/100 + Σ r·rᵀ)⁻¹ over the rows used
  AugmentedMatrix meanRowErrorCovariance;  //!< Q̄: mean Q of the rows used since init
  int rowCount = 0;                        //!< rows that entered Q̄
  TlsCovarianceEstimator covarianceEstimator;

 private:
  void updateRow(const AugmentedVector& row, const AugmentedMatrix& rowErrorCovariance,
                 bool structuredCovariance);

  void resetState();

  bool initialized_ = false;
  ParameterVector prior_ = ParameterVector::Zero();  //!< θ at init and restart
  mutable bool covarianceStale_ = false;
  //! True while every Q that entered Q̄ had the error model's block structure, so Q̄ has it.
  bool meanIsBlockDiagonal_ = true;
};

}  // namespace zelto
