#pragma once

#include <Eigen/Core>

namespace zelto {

//! Whether a rigid body with given inertial parameters can exist, and the quantities the
//! verdict rests on.
struct PhysicalConsistency {
  bool finite = false;              //!< every parameter is a finite number
  bool massPositive = false;        //!< m > 0
  bool momentsNonNegative = false;  //!< principal moments about the centre of mass ≥ −tolerance
  bool triangle = false;  //!< λ_i + λ_j ≥ λ_k − tolerance for the principal moments
  Eigen::Matrix3d inertiaAboutCom = Eigen::Matrix3d::Zero();   //!< kg·m²
  Eigen::Vector3d principalMoments = Eigen::Vector3d::Zero();  //!< ascending, kg·m²

  bool consistent() const { return finite && massPositive && momentsNonNegative && triangle; }
};

//! The rule both the estimator's convergence test and the payload-file check apply. The
//! inertia about the centre of mass, J_c = J_o − m·(|c|²·I − c·cᵀ), must have principal
//! moments that are not negative and satisfy the triangle inequalities (every mass element
//! contributes r² − x² ≤ (r² − y²) + (r² − z²)), each within tolerance (kg·m²): an estimate
//! is uncertain by about its threshold, a file rounds to six digits. inertiaAboutOrigin is
//! the symmetric tensor about the sensor origin.
PhysicalConsistency checkPhysicalConsistency(double mass, const Eigen::Vector3d& com,
                                             const Eigen::Matrix3d& inertiaAboutOrigin,
                                             double tolerance);

}  // namespace zelto
