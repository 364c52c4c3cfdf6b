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

// First rows in G_i of the sample-dependent blocks (their columns start at ω).
constexpr int kForceBlockRow = 1;   // rows of h
constexpr int kTorqueBlockRow = 4;  // rows of the inertia

const RowJacobian& checkedRow(const std::array<RowJacobian, kRowsPerSample>& rows, int i) {
  // A negative index wraps to a huge size_t, so the bounds-checked access rejects it too.
  return rows.at(static_cast<std::size_t>(i));
}

}  // namespace

ErrorModelTLSWrenchBias::ErrorModelTLSWrenchBias() {
  for (RowJacobian& g : constant_) {
    g.setZero();
  }
  // Force rows, f = b − m·a − (α × h + ω × (ω × h)): column 0 (m) carries a, columns 1..3
  // (h) carry skew(α); the wrench column carries −f.
  for (int i = 0; i < 3; ++i) {
    constant_[i](0, kA + i) = 1.0;
    constant_[i](kWrenchColumn, kForce + i) = -1.0;
  }
  constant_[0](2, kAlpha + kZ) = -1.0;
  constant_[0](3, kAlpha + kY) = 1.0;
  constant_[1](1, kAlpha + kZ) = 1.0;
  constant_[1](3, kAlpha + kX) = -1.0;
  constant_[2](1, kAlpha + kY) = -1.0;
  constant_[2](2, kAlpha + kX) = 1.0;

  // Torque rows, τ = t + a × h − (J·α + ω × (J·ω)): columns 1..3 carry −skew(a), columns
  // 4..9 carry L(α); the wrench column carries −τ.
  constant_[3](2, kA + kZ) = 1.0;
  constant_[3](3, kA + kY) = -1.0;
  constant_[3](4, kAlpha + kX) = 1.0;
  constant_[3](5, kAlpha + kY) = 1.0;
  constant_[3](6, kAlpha + kZ) = 1.0;
  constant_[4](1, kA + kZ) = -1.0;
  constant_[4](3, kA + kX) = 1.0;
  constant_[4](5, kAlpha + kX) = 1.0;
  constant_[4](7, kAlpha + kY) = 1.0;
  constant_[4](8, kAlpha + kZ) = 1.0;
  constant_[5](1, kA + kY) = 1.0;
  constant_[5](2, kA + kX) = -1.0;
  constant_[5](6, kAlpha + kX) = 1.0;
  constant_[5](8, kAlpha + kY) = 1.0;
  constant_[5](9, kAlpha + kZ) = 1.0;
  for (int i = 3; i < 6; ++i) {
    constant_[i](kWrenchColumn, kTorque + i - 3) = -1.0;
  }
}

ErrorModelTLSWrenchBias::SampleJacobians ErrorModelTLSWrenchBias::sampleJacobians(
    const InertialSample& sample) const {
  SampleJacobians g;
  for (std::size_t i = 0; i < 3; ++i) {
    g.force[i] = constant_[i].block<3, 6>(kForceBlockRow, kOmega);
    g.torque[i] = constant_[i + 3].block<6, 6>(kTorqueBlockRow, kOmega);
  }
  const double x = sample.angularVelocity.x();
  const double y = sample.angularVelocity.y();
  const double z = sample.angularVelocity.z();
  // Row p of G_i, ω columns.
  const auto setForce = [&g](std::size_t i, int p, double dx, double dy, double dz) {
    g.force[i].row(p - kForceBlockRow).head<3>() << dx, dy, dz;
  };
  const auto setTorque = [&g](std::size_t i, int p, double dx, double dy, double dz) {
    g.torque[i - 3].row(p - kTorqueBlockRow).head<3>() << dx, dy, dz;
  };
  // Force rows: derivatives of skew(ω)² = ω·ωᵀ − |ω|²·I acting on h.
  setForce(0, 1, 0.0, -2.0 * y, -2.0 * z);
  setForce(0, 2, y, x, 0.0);
  setForce(0, 3, z, 0.0, x);
  setForce(1, 1, y, x, 0.0);
  setForce(1, 2, -2.0 * x, 0.0, -2.0 * z);
  setForce(1, 3, 0.0, z, y);
  setForce(2, 1, z, 0.0, x);
  setForce(2, 2, 0.0, z, y);
  setForce(2, 3, -2.0 * x, -2.0 * y, 0.0);
  // Torque rows: derivatives of skew(ω)·L(ω), the gyroscopic term ω × (J·ω).
  setTorque(3, 4, 0.0, 0.0, 0.0);
  setTorque(3, 5, -z, 0.0, -x);
  setTorque(3, 6, y, x, 0.0);
  setTorque(3, 7, 0.0, -z, -y);
  setTorque(3, 8, 0.0, 2.0 * y, -2.0 * z);
  setTorque(3, 9, 0.0, z, y);
  setTorque(4, 4, z, 0.0, x);
  setTorque(4, 5, 0.0, z, y);
  setTorque(4, 6, -2.0 * x, 0.0, 2.0 * z);
  setTorque(4, 7, 0.0, 0.0, 0.0);
  setTorque(4, 8, -y, -x, 0.0);
  setTorque(4, 9, -z, 0.0, -x);
  setTorque(5, 4, -y, -x, 0.0);
  setTorque(5, 5, 2.0 * x, -2.0 * y, 0.0);
  setTorque(5, 6, 0.0, -z, -y);
  setTorque(5, 7, y, x, 0.0);
  setTorque(5, 8, z, 0.0, x);
  setTorque(5, 9, 0.0, 0.0, 0.0);
  return g;
}

RowJacobian ErrorModelTLSWrenchBias::jacobian(int i, const InertialSample& sample) const {
  return jacobian(i, sampleJacobians(sample));
}

RowJacobian ErrorModelTLSWrenchBias::jacobian(int i, const SampleJacobians& g) const {
  RowJacobian full = checkedRow(constant_, i);
  if (i < 3) {
    full.block<3, 6>(kForceBlockRow, kOmega) = g.force[static_cast<std::size_t>(i)];
  } else {
    full.block<6, 6>(kTorqueBlockRow, kOmega) = g.torque[static_cast<std::size_t>(i - 3)];
  }
  return full;
}

void ErrorModelTLSWrenchBias::writeRowErrorCovariance(int i, const SampleJacobians& motion,
                                                      const MeasurementVector& variances,
                                                      AugmentedMatrix& q) const {
  const RowJacobian& g = checkedRow(constant_, i);
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
    const Eigen::Matrix<double, 3, 6>& gm = motion.force[static_cast<std::size_t>(i)];
    const Eigen::Matrix<double, 3, 6> scaled = gm * variances.segment<6>(kOmega).asDiagonal();
    q.block<3, 3>(1, 1).noalias() = scaled * gm.transpose();
  } else {
    // Columns 1..3 (h) depend on a; columns 4..9 (inertia) on ω and α.
    const Eigen::Matrix3d ga = g.block<3, 3>(1, kA);
    const Eigen::Matrix3d scaledA = ga * variances.segment<3>(kA).asDiagonal();
    q.block<3, 3>(1, 1).noalias() = scaledA * ga.transpose();
    const Eigen::Matrix<double, 6, 6>& gm = motion.torque[static_cast<std::size_t>(i - 3)];
    const Eigen::Matrix<double, 6, 6> scaled = gm * variances.segment<6>(kOmega).asDiagonal();
    q.block<6, 6>(4, 4).noalias() = scaled * gm.transpose();
  }
}

Eigen::Matrix<double, 1, kNumMeasurements> ErrorModelTLSWrenchBias::residualSensitivity(
    int i, const SampleJacobians& motion, const AugmentedVector& w) const {
  const RowJacobian& g = checkedRow(constant_, i);
  // The same blocks as in writeRowErrorCovariance; every other entry of G_i is zero.
  Eigen::Matrix<double, 1, kNumMeasurements> u = Eigen::Matrix<double, 1, kNumMeasurements>::Zero();
  if (i < 3) {
    u.segment<3>(kA).noalias() = w(0) * g.block<1, 3>(0, kA);
    u.segment<6>(kOmega).noalias() =
        w.segment<3>(1).transpose() * motion.force[static_cast<std::size_t>(i)];
    u.segment<3>(kForce).noalias() = w(kWrenchColumn) * g.block<1, 3>(kWrenchColumn, kForce);
  } else {
    u.segment<3>(kA).noalias() = w.segment<3>(1).transpose() * g.block<3, 3>(1, kA);
    u.segment<6>(kOmega).noalias() =
        w.segment<6>(4).transpose() * motion.torque[static_cast<std::size_t>(i - 3)];
    u.segment<3>(kTorque).noalias() = w(kWrenchColumn) * g.block<1, 3>(kWrenchColumn, kTorque);
  }
  return u;
}

AugmentedMatrix ErrorModelTLSWrenchBias::rowErrorCovariance(
    int i, const SampleJacobians& g, const MeasurementVector& variances) const {
  AugmentedMatrix q = AugmentedMatrix::Zero();
  writeRowErrorCovariance(i, g, variances, q);
  return q;
}

}  // namespace zelto
