#include "PhysicalConsistency.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <array>
#include <cmath>

namespace zelto {
namespace {

// Dykstra's method converges linearly; these bounds end it long before the values could matter
// in a file of six significant digits, relative to the size of Σ.
constexpr int kMaxIterations = 20000;
constexpr double kSettled = 1e-13;
constexpr double kAccepted = 1e-10;

Eigen::Matrix3d tensorOf(const InertiaEntries& j) {
  Eigen::Matrix3d t;
  t << j(0), j(1), j(2), j(1), j(3), j(4), j(2), j(4), j(5);
  return t;
}

InertiaEntries entriesOf(const Eigen::Matrix3d& t) {
  InertiaEntries j;
  j << t(0, 0), t(0, 1), t(0, 2), t(1, 1), t(1, 2), t(2, 2);
  return j;
}

// J = tr(Σ)·I − Σ for Σ = ∫ r·rᵀ dm, hence Σ = ½·tr(J)·I − J; both maps are linear.
Eigen::Matrix3d secondMoments(const Eigen::Matrix3d& j) {
  return 0.5 * j.trace() * Eigen::Matrix3d::Identity() - j;
}

Eigen::Matrix3d inertiaOf(const Eigen::Matrix3d& sigma) {
  return sigma.trace() * Eigen::Matrix3d::Identity() - sigma;
}

double frobenius(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  return a.cwiseProduct(b).sum();
}

double smallestEigenvalue(const Eigen::Matrix3d& m) {
  return Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(m, Eigen::EigenvaluesOnly).eigenvalues()(0);
}

// The nearest positive semi-definite matrix (Frobenius): negative eigenvalues set to zero.
Eigen::Matrix3d nearestSemiDefinite(const Eigen::Matrix3d& m) {
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(m);
  return eigen.eigenvectors() * eigen.eigenvalues().cwiseMax(0.0).asDiagonal() *
         eigen.eigenvectors().transpose();
}

}  // namespace

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

std::optional<InertiaEntries> nearestConsistentInertia(
    double mass, const Eigen::Vector3d& com, const InertiaEntries& inertia,
    const Eigen::Matrix<double, 6, 6>& directions, int count) {
  if (!std::isfinite(mass) || !(mass > 0.0) || !com.allFinite() || !inertia.allFinite() ||
      !directions.allFinite()) {
    return std::nullopt;
  }
  const Eigen::Matrix3d pointMass =
      mass * (com.squaredNorm() * Eigen::Matrix3d::Identity() - com * com.transpose());
  const Eigen::Matrix3d start = secondMoments(tensorOf(inertia) - pointMass);
  if (smallestEigenvalue(start) >= 0.0) {
    return inertia;
  }
  // An orthonormal basis (Frobenius) of the changes of Σ the directions allow.
  std::array<Eigen::Matrix3d, 6> basis;
  int size = 0;
  for (int i = 0; i < std::min(count, 6); ++i) {
    const Eigen::Matrix3d change = secondMoments(tensorOf(directions.col(i)));
    Eigen::Matrix3d b = change;
    for (int k = 0; k < size; ++k) {
      b -= frobenius(basis[static_cast<std::size_t>(k)], b) * basis[static_cast<std::size_t>(k)];
    }
    const double norm = b.norm();
    if (norm > 1e-9 * change.norm()) {
      basis[static_cast<std::size_t>(size++)] = b / norm;
    }
  }
  const auto allowed = [&](const Eigen::Matrix3d& x) {
    Eigen::Matrix3d result = start;
    for (int k = 0; k < size; ++k) {
      const Eigen::Matrix3d& b = basis[static_cast<std::size_t>(k)];
      result += frobenius(b, x - start) * b;
    }
    return result;
  };
  // Dykstra's alternating projections converge to the point of the intersection of the two
  // convex sets nearest to the start (plain alternation would stop at some point of it).
  const double scale = start.norm() + pointMass.norm();
  Eigen::Matrix3d x = start;
  Eigen::Matrix3d p = Eigen::Matrix3d::Zero();
  Eigen::Matrix3d q = Eigen::Matrix3d::Zero();
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    const Eigen::Matrix3d y = nearestSemiDefinite(x + p);
    p += x - y;
    const Eigen::Matrix3d next = allowed(y + q);
    q += y - next;
    const bool settled = (next - x).norm() <= kSettled * scale;
    x = next;
    if (settled && smallestEigenvalue(x) >= -kSettled * scale) {
      break;
    }
  }
  if (!(smallestEigenvalue(x) >= -kAccepted * scale)) {
    return std::nullopt;
  }
  return entriesOf(inertiaOf(x) + pointMass);
}

}  // namespace zelto
