#include "PhysicalConsistency.h"

#include <Eigen/Eigenvalues>
#include <cmath>

namespace zelto {

PhysicalConsistency checkPhysicalConsistency(double mass, const Eigen::Vector3d& com,
                                             const Eigen::Matrix3d& inertiaAboutOrigin,
                                             double tolerance) {
  PhysicalConsistency result;
  result.finite = std::isfinite(mass) && com.allFinite() && inertiaAboutOrigin.allFinite();
  if (!result.finite) {
    return result;
  }
  result.massPositive = mass > 0.0;
  // Parallel-axis theorem: the tensor about the origin is the one about the centre of mass
  // plus that of a point mass m at c.
  const Eigen::Matrix3d pointMass =
      mass * (com.squaredNorm() * Eigen::Matrix3d::Identity() - com * com.transpose());
  result.inertiaAboutCom = inertiaAboutOrigin - pointMass;
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(result.inertiaAboutCom,
                                                             Eigen::EigenvaluesOnly);
  result.principalMoments = eigen.eigenvalues();
  const Eigen::Vector3d& lambda = result.principalMoments;
  result.momentsNonNegative = lambda(0) >= -tolerance;
  // With ascending moments only λ0 + λ1 ≥ λ2 can fail.
  result.triangle = lambda(0) + lambda(1) >= lambda(2) - tolerance;
  return result;
}

}  // namespace zelto
