#pragma once

#include <Eigen/Core>
#include <optional>

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

//! Ixx, Ixy, Ixz, Iyy, Iyz, Izz of the tensor about the sensor origin, kg·m².
using InertiaEntries = Eigen::Matrix<double, 6, 1>;

//! The inertia nearest to `inertia` that differs from it only along the first `count` columns
//! of `directions` (in the entries' order; any basis of the directions that may change) and,
//! with mass and com, describes a body that can exist; nullopt when there is none (or a value
//! is not finite). "Nearest" is measured on the second moments of the mass about its centre,
//! Σ = ½·tr(J_c)·I − J_c (the body's extent along each axis: the bodies that can exist are
//! exactly those with Σ ⪰ 0 and m > 0), by the Frobenius norm; found by Dykstra's alternating
//! projections between the allowed changes and Σ ⪰ 0. A consistent inertia comes back
//! unchanged; an inconsistent one is moved to the boundary (Σ singular: a body flat along one
//! axis), exactly enough that checkPhysicalConsistency passes it with no tolerance to speak of.
std::optional<InertiaEntries> nearestConsistentInertia(
    double mass, const Eigen::Vector3d& com, const InertiaEntries& inertia,
    const Eigen::Matrix<double, 6, 6>& directions, int count);

}  // namespace zelto
