#pragma once

#include <Eigen/Core>

namespace zelto {

// Fixed sizes of the recursive TLS problem. The parameter vector is
//   θ = (m, m·cx, m·cy, m·cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz, fbx, fby, fbz, tbx, tby, tbz)
// and the augmented vector w = (θ, −1) matches one row r of D = [H, −(f; τ)], so that
// r·w = 0 for exact data.

inline constexpr int kNumParameters = 16;          //!< entries of θ
inline constexpr int kAugmentedSize = 17;          //!< entries of w = (θ, −1)
inline constexpr int kNumInertialParameters = 10;  //!< m, c, inertia
inline constexpr int kNumMeasurements = 15;        //!< a, ω, α, f, τ
inline constexpr int kRowsPerSample = 6;           //!< force x, y, z, torque x, y, z
//! A row's error covariance from the error model is zero outside the regressor block 0..9 and
//! the wrench entry kLast (16), and the two do not couple.
inline constexpr int kStructuredBlock = 10;
inline constexpr int kLast = kAugmentedSize - 1;

using ParameterVector = Eigen::Matrix<double, kNumParameters, 1>;
using ParameterMatrix = Eigen::Matrix<double, kNumParameters, kNumParameters>;
using AugmentedVector = Eigen::Matrix<double, kAugmentedSize, 1>;
using AugmentedMatrix = Eigen::Matrix<double, kAugmentedSize, kAugmentedSize>;
//! (m, cx, cy, cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz): kg, m, kg·m².
using InertialParameters = Eigen::Matrix<double, kNumInertialParameters, 1>;
using InertialCovariance = Eigen::Matrix<double, kNumInertialParameters, kNumInertialParameters>;
//! Covariance of (fbx, fby, fbz, tbx, tby, tbz): N², N²·m² and N²·m on the cross terms.
using BiasCovariance = Eigen::Matrix<double, 6, 6>;
//! One value per measured quantity, ordered (ax, ay, az, ωx, ωy, ωz, αx, αy, αz, fx, fy, fz,
//! τx, τy, τz).
using MeasurementVector = Eigen::Matrix<double, kNumMeasurements, 1>;
//! ∂(row of D)/∂(measurements): 17 × 15.
using RowJacobian = Eigen::Matrix<double, kAugmentedSize, kNumMeasurements>;

}  // namespace zelto
