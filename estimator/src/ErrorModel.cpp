#include "ErrorModel.h"

#include <cstddef>

namespace zelto {
namespace {

// Columns of the measurement vector z = (a, ω, α, f, τ).
constexpr int kA = 0;
constexpr int kOmega = 3;
constexpr int kAlpha = 6;
constexpr int kForce = 9;
constexpr int kTorque = 12;
constexpr int kX = 0;
constexpr int kY = 1;
constexpr int kZ = 2;
constexpr int kWrenchColumn = 16;  // column of D holding −(f; τ)

std::size_t checkedIndex(int i) {
  // A negative index wraps to a huge size_t, so the bounds-checked access rejects it too.
  return static_cast<std::size_t>(i);
}

}  // namespace

ErrorModel::ErrorModel() {
  for (RowJacobian& g : jacobians) {
    g.setZero();
  }
}

RowJacobian ErrorModel::getJacobian(int i) const { return jacobians.at(checkedIndex(i)); }

const RowJacobian& ErrorModel::jacobian(int i) const { return jacobians.at(checkedIndex(i)); }

ErrorModelTLSWrenchBias::ErrorModelTLSWrenchBias() { initializeJacobians(); }

void ErrorModelTLSWrenchBias::initializeJacobians() {
  for (RowJacobian& g : jacobians) {
    g.setZero();
  }
  // Force rows, f = b − m·a − (α × h + ω × (ω × h)): column 0 (m) carries a, columns 1..3
  // (h) carry skew(α); the wrench column carries −f.
  for (int i = 0; i < 3; ++i) {
    jacobians[i](0, kA + i) = 1.0;
    jacobians[i](kWrenchColumn, kForce + i) = -1.0;
  }
  jacobians[0](2, kAlpha + kZ) = -1.0;
  jacobians[0](3, kAlpha + kY) = 1.0;
  jacobians[1](1, kAlpha + kZ) = 1.0;
  jacobians[1](3, kAlpha + kX) = -1.0;
  jacobians[2](1, kAlpha + kY) = -1.0;
  jacobians[2](2, kAlpha + kX) = 1.0;

  // Torque rows, τ = t + a × h − (J·α + ω × (J·ω)): columns 1..3 carry −skew(a), columns
  // 4..9 carry L(α); the wrench column carries −τ.
  jacobians[3](2, kA + kZ) = 1.0;
  jacobians[3](3, kA + kY) = -1.0;
  jacobians[3](4, kAlpha + kX) = 1.0;
  jacobians[3](5, kAlpha + kY) = 1.0;
  jacobians[3](6, kAlpha + kZ) = 1.0;
  jacobians[4](1, kA + kZ) = -1.0;
  jacobians[4](3, kA + kX) = 1.0;
  jacobians[4](5, kAlpha + kX) = 1.0;
  jacobians[4](7, kAlpha + kY) = 1.0;
  jacobians[4](8, kAlpha + kZ) = 1.0;
  jacobians[5](1, kA + kY) = 1.0;
  jacobians[5](2, kA + kX) = -1.0;
  jacobians[5](6, kAlpha + kX) = 1.0;
  jacobians[5](8, kAlpha + kY) = 1.0;
  jacobians[5](9, kAlpha + kZ) = 1.0;
  for (int i = 3; i < 6; ++i) {
    jacobians[i](kWrenchColumn, kTorque + i - 3) = -1.0;
  }
}

void ErrorModelTLSWrenchBias::updateJacobians(const InertialSample& sample) {
  const double x = sample.angularVelocity.x();
  const double y = sample.angularVelocity.y();
  const double z = sample.angularVelocity.z();
  const auto set = [this](int i, int p, double dx, double dy, double dz) {
    jacobians[i](p, kOmega + kX) = dx;
    jacobians[i](p, kOmega + kY) = dy;
    jacobians[i](p, kOmega + kZ) = dz;
  };
  // Force rows: derivatives of skew(ω)² = ω·ωᵀ − |ω|²·I acting on h.
  set(0, 1, 0.0, -2.0 * y, -2.0 * z);
  set(0, 2, y, x, 0.0);
  set(0, 3, z, 0.0, x);
  set(1, 1, y, x, 0.0);
  set(1, 2, -2.0 * x, 0.0, -2.0 * z);
  set(1, 3, 0.0, z, y);
  set(2, 1, z, 0.0, x);
  set(2, 2, 0.0, z, y);
  set(2, 3, -2.0 * x, -2.0 * y, 0.0);
  // Torque rows: derivatives of skew(ω)·L(ω), the gyroscopic term ω × (J·ω).
  set(3, 4, 0.0, 0.0, 0.0);
  set(3, 5, -z, 0.0, -x);
  set(3, 6, y, x, 0.0);
  set(3, 7, 0.0, -z, -y);
  set(3, 8, 0.0, 2.0 * y, -2.0 * z);
  set(3, 9, 0.0, z, y);
  set(4, 4, z, 0.0, x);
  set(4, 5, 0.0, z, y);
  set(4, 6, -2.0 * x, 0.0, 2.0 * z);
  set(4, 7, 0.0, 0.0, 0.0);
  set(4, 8, -y, -x, 0.0);
  set(4, 9, -z, 0.0, -x);
  set(5, 4, -y, -x, 0.0);
  set(5, 5, 2.0 * x, -2.0 * y, 0.0);
  set(5, 6, 0.0, -z, -y);
  set(5, 7, y, x, 0.0);
  set(5, 8, z, 0.0, x);
  set(5, 9, 0.0, 0.0, 0.0);
}

void ErrorModelTLSWrenchBias::writeRowErrorCovariance(int i, const MeasurementVector& variances,
                                                      AugmentedMatrix& q) const {
  const RowJacobian& g = jacobian(i);
  // With a diagonal measurement covariance, Q(p, p') = Σ_z G(p, z)·σ²_z·G(p', z). Within a
  // row of D each parameter column depends on one group of measurements only, so Q is block
  // diagonal: groups that share no measurement do not couple.
  const double wrenchVariance =
      (g.block<1, 3>(kWrenchColumn, i < 3 ? kForce : kTorque).array().square() *
       variances.segment<3>(i < 3 ? kForce : kTorque).transpose().array())
          .sum();
  q(kWrenchColumn, kWrenchColumn) = wrenchVariance;
  if (i < 3) {
    // Column 0 (m) depends on a; columns 1..3 (h) on ω and α.
    q(0, 0) = (g.block<1, 3>(0, kA).array().square() * variances.segment<3>(kA).transpose().array())
                  .sum();
    const Eigen::Matrix<double, 3, 6> gm = g.block<3, 6>(1, kOmega);
    const Eigen::Matrix<double, 3, 6> scaled = gm * variances.segment<6>(kOmega).asDiagonal();
    q.block<3, 3>(1, 1).noalias() = scaled * gm.transpose();
  } else {
    // Columns 1..3 (h) depend on a; columns 4..9 (inertia) on ω and α.
    const Eigen::Matrix3d ga = g.block<3, 3>(1, kA);
    const Eigen::Matrix3d scaledA = ga * variances.segment<3>(kA).asDiagonal();
    q.block<3, 3>(1, 1).noalias() = scaledA * ga.transpose();
    const Eigen::Matrix<double, 6, 6> gm = g.block<6, 6>(4, kOmega);
    const Eigen::Matrix<double, 6, 6> scaled = gm * variances.segment<6>(kOmega).asDiagonal();
    q.block<6, 6>(4, 4).noalias() = scaled * gm.transpose();
  }
}

Eigen::Matrix<double, 1, kNumMeasurements> ErrorModelTLSWrenchBias::residualSensitivity(
    int i, const AugmentedVector& w) const {
  const RowJacobian& g = jacobian(i);
  // The same blocks as in writeRowErrorCovariance; every other entry of G_i is zero.
  Eigen::Matrix<double, 1, kNumMeasurements> u = Eigen::Matrix<double, 1, kNumMeasurements>::Zero();
  if (i < 3) {
    u.segment<3>(kA).noalias() = w(0) * g.block<1, 3>(0, kA);
    u.segment<6>(kOmega).noalias() = w.segment<3>(1).transpose() * g.block<3, 6>(1, kOmega);
    u.segment<3>(kForce).noalias() = w(kWrenchColumn) * g.block<1, 3>(kWrenchColumn, kForce);
  } else {
    u.segment<3>(kA).noalias() = w.segment<3>(1).transpose() * g.block<3, 3>(1, kA);
    u.segment<6>(kOmega).noalias() = w.segment<6>(4).transpose() * g.block<6, 6>(4, kOmega);
    u.segment<3>(kTorque).noalias() = w(kWrenchColumn) * g.block<1, 3>(kWrenchColumn, kTorque);
  }
  return u;
}

AugmentedMatrix ErrorModelTLSWrenchBias::rowErrorCovariance(
    int i, const MeasurementVector& variances) const {
  AugmentedMatrix q = AugmentedMatrix::Zero();
  writeRowErrorCovariance(i, variances, q);
  return q;
}

}  // namespace zelto
