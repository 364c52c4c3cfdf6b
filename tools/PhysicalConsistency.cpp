#include "PhysicalConsistency.h"

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <cmath>
#include <cstdio>

namespace zelto::tool {

namespace {

std::string format(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4g", v);
  return buffer;
}

}  // namespace

ConsistencyReport checkPhysicalConsistency(const InertialParameters& p) {
  ConsistencyReport report;

  report.finite = std::isfinite(p.mass);
  for (double v : p.com) report.finite = report.finite && std::isfinite(v);
  for (double v : p.inertia) report.finite = report.finite && std::isfinite(v);
  if (!report.finite) {
    report.problems.push_back("the parameters contain a value that is not a finite number");
    return report;
  }

  report.massPositive = p.mass > 0.0;
  if (!report.massPositive) {
    report.problems.push_back("the mass is not positive (" + format(p.mass) + " kg)");
  }

  // Parallel-axis theorem: the tensor about the origin is the one about the centre of mass
  // plus that of a point mass m at c.
  const Eigen::Vector3d c(p.com[0], p.com[1], p.com[2]);
  Eigen::Matrix3d jOrigin;
  jOrigin << p.inertia[0], p.inertia[1], p.inertia[2],  //
      p.inertia[1], p.inertia[3], p.inertia[4],         //
      p.inertia[2], p.inertia[4], p.inertia[5];
  const Eigen::Matrix3d pointMass =
      p.mass * (c.squaredNorm() * Eigen::Matrix3d::Identity() - c * c.transpose());
  const Eigen::Matrix3d jCom = jOrigin - pointMass;
  report.inertiaAboutCom = {jCom(0, 0), jCom(0, 1), jCom(0, 2), jCom(1, 1), jCom(1, 2), jCom(2, 2)};

  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(jCom, Eigen::EigenvaluesOnly);
  const Eigen::Vector3d lambda = eigen.eigenvalues();  // ascending
  report.principalMoments = {lambda[0], lambda[1], lambda[2]};

  report.positiveDefinite = lambda[0] > 0.0;
  if (!report.positiveDefinite) {
    report.problems.push_back(
        "the inertia about the centre of mass is not positive definite (smallest principal "
        "moment " +
        format(lambda[0]) + " kg·m²)");
  }

  // With ascending moments only λ0 + λ1 ≥ λ2 can fail.
  const double slack = kTriangleTolerance * std::abs(jOrigin.trace());
  report.triangle = lambda[0] + lambda[1] >= lambda[2] - slack;
  if (!report.triangle) {
    report.problems.push_back(
        "the principal moments about the centre of mass violate the "
        "triangle inequality (" +
        format(lambda[0]) + " + " + format(lambda[1]) + " < " + format(lambda[2]) + " kg·m²)");
  }

  report.consistent = report.massPositive && report.positiveDefinite && report.triangle;
  return report;
}

}  // namespace zelto::tool
