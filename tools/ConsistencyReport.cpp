#include "ConsistencyReport.h"

#include <Eigen/Core>
#include <cmath>
#include <cstdio>

#include "PhysicalConsistency.h"

namespace zelto::tool {

namespace {

constexpr const char* kInertiaNames[6] = {"Ixx", "Ixy", "Ixz", "Iyy", "Iyz", "Izz"};

std::string format(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4g", v);
  return buffer;
}

}  // namespace

ConsistencyReport checkPhysicalConsistency(const InertialParameters& p,
                                           const std::vector<std::string>& notIdentified) {
  ConsistencyReport report;
  Eigen::Matrix3d jOrigin;
  jOrigin << p.inertia[0], p.inertia[1], p.inertia[2],  //
      p.inertia[1], p.inertia[3], p.inertia[4],         //
      p.inertia[2], p.inertia[4], p.inertia[5];
  const double slack = kTriangleTolerance * std::abs(jOrigin.trace());
  const zelto::PhysicalConsistency rule = zelto::checkPhysicalConsistency(
      p.mass, Eigen::Vector3d(p.com[0], p.com[1], p.com[2]), jOrigin, slack);

  report.finite = rule.finite && std::isfinite(slack);
  if (!report.finite) {
    report.problems.push_back("the parameters contain a value that is not a finite number");
    return report;
  }
  report.massPositive = rule.massPositive;
  report.momentsNonNegative = rule.momentsNonNegative;
  report.triangle = rule.triangle;
  const Eigen::Matrix3d& jCom = rule.inertiaAboutCom;
  report.inertiaAboutCom = {jCom(0, 0), jCom(0, 1), jCom(0, 2), jCom(1, 1), jCom(1, 2), jCom(2, 2)};
  const Eigen::Vector3d& lambda = rule.principalMoments;
  report.principalMoments = {lambda[0], lambda[1], lambda[2]};

  if (!report.massPositive) {
    report.problems.push_back("the mass is not positive (" + format(p.mass) + " kg)");
  }
  if (!report.momentsNonNegative) {
    report.problems.push_back(
        "the inertia about the centre of mass has a negative principal moment (" +
        format(lambda[0]) + " kg·m²)");
  }
  if (!report.triangle) {
    report.problems.push_back(
        "the principal moments about the centre of mass violate the "
        "triangle inequality (" +
        format(lambda[0]) + " + " + format(lambda[1]) + " < " + format(lambda[2]) + " kg·m²)");
  }
  report.consistent = rule.consistent();
  if (!report.consistent && report.massPositive && !notIdentified.empty()) {
    // Free to change: the entries the motion did not identify, each on its own.
    Eigen::Matrix<double, 6, 6> directions = Eigen::Matrix<double, 6, 6>::Zero();
    int count = 0;
    for (const std::string& name : notIdentified) {
      for (int j = 0; j < 6; ++j) {
        if (name == kInertiaNames[j] && count < 6) directions(j, count++) = 1.0;
      }
    }
    zelto::InertiaEntries inertia;
    for (int j = 0; j < 6; ++j) inertia(j) = p.inertia[static_cast<std::size_t>(j)];
    report.consistentOverIdentified =
        zelto::nearestConsistentInertia(p.mass, Eigen::Vector3d(p.com[0], p.com[1], p.com[2]),
                                        inertia, directions, count)
            .has_value();
    report.consistent = report.consistentOverIdentified;
  }
  return report;
}

}  // namespace zelto::tool
