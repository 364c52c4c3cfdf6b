#pragma once

#include <Eigen/Core>
#include <vector>

#include "ErrorModel.h"
#include "ObservationModel.h"
#include "SignalHistory.h"

namespace zelto::test {

//! Reference implementation of the recursive TLS estimator and its covariance tracker,
//! written for clarity: dynamic-size matrices, every formula as it reads (dense
//! Q = G·diag(σ²)·Gᵀ, P ← (I − k·rᵀ)·P, the tracker updated after every row, the covariance
//! refreshed after every sample with A⁻¹ formed explicitly). The production classes must
//! agree with it; the benchmarks time it against them.
class RecursiveTLSOracle {
 public:
  //! prior: up to 16 leading entries of θ; variances: the 15 measurement variances in the
  //! order (a, ω, α, f, τ).
  void init(const Eigen::VectorXd& prior, const Eigen::VectorXd& variances);

  //! Six rows; throws std::runtime_error on a NaN in θ like the production code.
  void update(const InertialSample& sample);
  void updateParameterVector(const Eigen::VectorXd& r, const Eigen::MatrixXd& q);

  const Eigen::VectorXd& parameterVector() const { return theta_; }
  const Eigen::MatrixXd& parameterCovariance() const { return parameterCovariance_; }
  const Eigen::MatrixXd& inverseCorrelation() const { return p_; }
  Eigen::VectorXd paramsSolution() const;
  Eigen::MatrixXd paramsCovariance() const;
  Eigen::MatrixXd biasCovariance() const;
  //! λ of the latest covariance evaluation (NaN while undefined).
  double rayleighQuotient() const { return lambda_; }

  //! Tracker part on its own (also used by the tests of the production tracker). A sample of
  //! the given time starts; blocks of the batch means span 0.25 s of sample time.
  void startSample(double time);
  void addRow(const Eigen::VectorXd& theta, const Eigen::VectorXd& r, const Eigen::MatrixXd& q,
              int rowType);
  Eigen::MatrixXd trackerCovariance();

 private:
  ObservationModelTLSWrenchBias observation_;
  ErrorModelTLSWrenchBias errorModel_;
  Eigen::VectorXd variances_;
  std::vector<Eigen::VectorXd> regressors_;  //!< a, ω, α of every sample so far

  Eigen::VectorXd theta_;
  Eigen::MatrixXd p_;
  Eigen::MatrixXd meanQ_;
  int rowCount_ = 0;
  Eigen::MatrixXd parameterCovariance_;

  Eigen::MatrixXd s_;
  std::vector<int> typeCount_;
  std::vector<Eigen::MatrixXd> typeQ_;
  std::vector<Eigen::MatrixXd> typeH_;
  std::vector<Eigen::MatrixXd> typeS_;
  //! Every row with its type and block, for the batch means.
  struct Row {
    Eigen::VectorXd r;
    int type;
    int block;
  };
  std::vector<Row> rows_;
  int block_ = -1;  //!< current block, -1 before the first sample mark
  double blockStart_ = 0.0;
  std::vector<double> inflation_;       //!< f_t as the last closed block left it
  std::vector<double> wrenchScale_;     //!< κ_t as the last closed block left it
  std::vector<double> regressorScale_;  //!< μ_t as the last closed block left it
  //! wᵀQ_t·w with the regressor noise taken μ_t times and the wrench noise κ_t times.
  double expectedSquares(int t, const Eigen::VectorXd& w) const;
  //! The covariance with the given inflation of each type's residual variance.
  Eigen::MatrixXd covariance(const std::vector<double>& inflation);
  Eigen::VectorXd thetaL_;
  double lambda_ = 0.0;
};

}  // namespace zelto::test
