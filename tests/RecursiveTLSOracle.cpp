#include "RecursiveTLSOracle.h"

#include <Eigen/Cholesky>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zelto::test {

using Eigen::MatrixXd;
using Eigen::VectorXd;

void RecursiveTLSOracle::init(const VectorXd& prior, const VectorXd& variances) {
  regressors_.clear();
  variances_ = variances;
  theta_ = VectorXd::Zero(16);
  theta_.head(prior.size()) = prior;
  p_ = 100.0 * MatrixXd::Identity(17, 17);
  meanQ_ = MatrixXd::Zero(17, 17);
  rowCount_ = 0;
  parameterCovariance_ = MatrixXd::Ones(16, 16);
  s_ = MatrixXd::Identity(17, 17) / 100.0;
  typeCount_.assign(6, 0);
  typeQ_.assign(6, MatrixXd::Zero(17, 17));
  typeH_.assign(6, MatrixXd::Zero(16, 16));
  typeS_.assign(6, MatrixXd::Zero(17, 17));
  rows_.clear();
  block_ = -1;
  inflation_.assign(6, 1.0);
  wrenchScale_.assign(6, 1.0);
  regressorScale_.assign(6, 1.0);
  thetaL_ = VectorXd::Zero(16);
  lambda_ = std::numeric_limits<double>::quiet_NaN();
}

void RecursiveTLSOracle::update(const InertialSample& sample) {
  const MatrixXd d = observation_.getAugmentedObservation(sample);
  startSample(sample.time);
  // A regressor channel whose spread over the run so far (two passes over every sample) stays
  // below ten times its variance counts as noise-free.
  VectorXd x(9);
  x << sample.linearAcceleration, sample.angularVelocity, sample.angularAcceleration;
  regressors_.push_back(x);
  VectorXd mean = VectorXd::Zero(9);
  for (const VectorXd& r : regressors_) mean += r / static_cast<double>(regressors_.size());
  VectorXd spread = VectorXd::Zero(9);
  for (const VectorXd& r : regressors_) {
    spread += (r - mean).cwiseAbs2() / static_cast<double>(regressors_.size());
  }
  VectorXd effective = variances_;
  for (int k = 0; k < 9; ++k) {
    if (!(spread(k) >= 10.0 * variances_(k))) effective(k) = 0.0;
  }
  const MatrixXd sigma = effective.asDiagonal();
  for (int i = 0; i < 6; ++i) {
    const MatrixXd g = errorModel_.jacobian(i, sample);
    const MatrixXd q = g * sigma * g.transpose();
    const VectorXd r = d.row(i).transpose();
    // The pencil takes the wrench noise at the level the residuals of its type show.
    MatrixXd scaled = regressorScale_[static_cast<std::size_t>(i)] * q;
    scaled(16, 16) = q(16, 16) * wrenchScale_[static_cast<std::size_t>(i)];
    updateParameterVector(r, scaled);
    addRow(theta_, r, q, i);
  }
  parameterCovariance_ = trackerCovariance();
}

void RecursiveTLSOracle::updateParameterVector(const VectorXd& r, const MatrixXd& q) {
  for (int j = 0; j < 16; ++j) {
    if (std::isnan(theta_(j))) {
      throw std::runtime_error(
          "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!");
    }
  }
  const double s = r.dot(p_ * r);
  const double den = 1.0 + s;
  if (std::abs(den) < 1e-12) {
    return;
  }
  const VectorXd k = p_ * r / den;
  p_ = (MatrixXd::Identity(17, 17) - k * r.transpose()) * p_;

  ++rowCount_;
  meanQ_ = meanQ_ + (q - meanQ_) / rowCount_;
  VectorXd w(17);
  w << theta_, -1.0;
  const VectorXd v = p_ * (meanQ_ * w);
  for (int j = 0; j < 16; ++j) {
    theta_(j) = -v(j) / v(16);
  }
}

void RecursiveTLSOracle::startSample(double time) {
  if (block_ >= 0 && time - blockStart_ < 0.25) {
    return;
  }
  ++block_;
  blockStart_ = time;
  // Batch means over the closed blocks (all but the new one): the residuals' block sums,
  // least-squares regressed on the regressors' block sums (what an error of the estimate
  // explains), the rest per remaining degree of freedom against the white level, less the
  // scatter of that ratio for white residuals.
  VectorXd w(17);
  w << thetaL_, -1.0;
  const int k = block_;
  if (k == 0) {
    return;
  }
  for (int t = 0; t < 6; ++t) {
    MatrixXd regressorSums = MatrixXd::Zero(k, 16);
    VectorXd residualSums = VectorXd::Zero(k);
    double squares = 0.0;
    for (const Row& row : rows_) {
      if (row.type != t) continue;
      regressorSums.row(row.block) += row.r.head(16).transpose();
      residualSums(row.block) += row.r.dot(w);
      squares += row.r.dot(w) * row.r.dot(w);
    }
    inflation_[static_cast<std::size_t>(t)] = 1.0;
    // κ_t: what the squared residuals leave beyond the configured regressor noise, over the
    // configured wrench noise, at least 1e-3; below that, the regressor noise is scaled down
    // by μ_t to what the residuals show.
    const double wrench = typeQ_[t](16, 16);
    const double regressors = w.dot(typeQ_[t] * w) - wrench;
    const double all = w.dot(typeS_[t] * w);
    double kappa = 1.0, mu = 1.0;
    if (wrench > 0.0) {
      if (all >= regressors + 1e-3 * wrench) {
        kappa = (all - regressors) / wrench;
      } else {
        mu = all / (regressors + 1e-3 * wrench);
        kappa = 1e-3 * mu;
      }
    }
    wrenchScale_[static_cast<std::size_t>(t)] = kappa;
    regressorScale_[static_cast<std::size_t>(t)] = mu;
    Eigen::JacobiSVD<MatrixXd> svd(regressorSums, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const VectorXd singular = svd.singularValues();
    int rank = 0;
    for (int i = 0; i < singular.size(); ++i) {
      // The same tolerance as on the eigenvalues of the regressor sums' Gram matrix.
      if (singular(i) * singular(i) > 1e-10 * singular(0) * singular(0)) ++rank;
    }
    const MatrixXd u = svd.matrixU().leftCols(rank);
    const VectorXd rest = residualSums - u * (u.transpose() * residualSums);
    const double freedom = k - rank;
    if (!(squares > 0.0) || freedom < 8.0) continue;
    const double ratio = rest.squaredNorm() / freedom / (squares / k);
    inflation_[static_cast<std::size_t>(t)] = std::max(1.0, ratio - std::sqrt(2.0 / freedom));
  }
}

void RecursiveTLSOracle::addRow(const VectorXd& theta, const VectorXd& r, const MatrixXd& q,
                                int rowType) {
  s_ = s_ + r * r.transpose();
  typeS_[rowType] = typeS_[rowType] + r * r.transpose();
  rows_.push_back({r, rowType, std::max(block_, 0)});
  typeCount_[rowType] += 1;
  typeQ_[rowType] = typeQ_[rowType] + q;
  const VectorXd h = r.head(16);
  typeH_[rowType] = typeH_[rowType] + h * h.transpose();
  thetaL_ = theta;
}

MatrixXd RecursiveTLSOracle::trackerCovariance() { return covariance(inflation_); }

MatrixXd RecursiveTLSOracle::covariance(const std::vector<double>& inflation) {
  const MatrixXd undefined = 1e10 * MatrixXd::Identity(16, 16);
  VectorXd w(17);
  w << thetaL_, -1.0;
  MatrixXd c = MatrixXd::Zero(17, 17);
  double d = 0.0;
  for (int t = 0; t < 6; ++t) {
    c += regressorScale_[static_cast<std::size_t>(t)] * typeQ_[t];
    d += expectedSquares(t, w);
  }
  lambda_ = w.dot(s_ * w) / d;
  if (d == 0.0 || !std::isfinite(lambda_) || !(lambda_ > 0.0)) {
    return undefined;
  }
  MatrixXd b = MatrixXd::Zero(16, 16);
  for (int t = 0; t < 6; ++t) {
    if (typeCount_[t] > 0) {
      const double squares = w.dot(typeS_[t] * w);
      b += (inflation[static_cast<std::size_t>(t)] * squares / typeCount_[t]) * typeH_[t];
    }
  }
  const MatrixXd a = s_.topLeftCorner(16, 16) - lambda_ * c.topLeftCorner(16, 16);
  const Eigen::LLT<MatrixXd> llt(a);
  if (llt.info() != Eigen::Success) {
    return undefined;
  }
  const MatrixXd m = llt.solve(MatrixXd::Identity(16, 16));
  MatrixXd v = m * (b + MatrixXd::Identity(16, 16) / 100.0) * m;
  v = ((v + v.transpose()) / 2.0).eval();
  if (!v.allFinite() || !(v.diagonal().minCoeff() > 0.0)) {
    return undefined;
  }
  return v;
}

double RecursiveTLSOracle::expectedSquares(int t, const VectorXd& w) const {
  const double wrench = typeQ_[t](16, 16);
  return regressorScale_[static_cast<std::size_t>(t)] * (w.dot(typeQ_[t] * w) - wrench) +
         wrenchScale_[static_cast<std::size_t>(t)] * wrench;
}

VectorXd RecursiveTLSOracle::paramsSolution() const {
  VectorXd x(10);
  x(0) = theta_(0);
  x.segment(1, 3) = theta_.segment(1, 3) / theta_(0);
  x.tail(6) = theta_.segment(4, 6);
  return x;
}

MatrixXd RecursiveTLSOracle::paramsCovariance() const {
  const MatrixXd s = parameterCovariance_.topLeftCorner(10, 10);
  MatrixXd j = MatrixXd::Identity(10, 10);
  const double m = theta_(0);
  for (int k = 1; k <= 3; ++k) {
    j(k, 0) = -theta_(k) / (m * m);
    j(k, k) = 1.0 / m;
  }
  return j * s * j.transpose();
}

MatrixXd RecursiveTLSOracle::biasCovariance() const {
  return parameterCovariance_.bottomRightCorner(6, 6);
}

}  // namespace zelto::test
