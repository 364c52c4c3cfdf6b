#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "ConsistencyReport.h"
#include "PhysicalConsistency.h"

namespace zelto::tool {
namespace {

struct PointMass {
  double mass;
  Eigen::Vector3d position;
};

// The parameters of a rigid set of point masses, summed particle by particle:
// J = Σ m·(|r|²·I − r·rᵀ) about the sensor origin.
InertialParameters fromParticles(const std::vector<PointMass>& particles) {
  InertialParameters p;
  Eigen::Vector3d moment = Eigen::Vector3d::Zero();
  Eigen::Matrix3d j = Eigen::Matrix3d::Zero();
  for (const PointMass& q : particles) {
    p.mass += q.mass;
    moment += q.mass * q.position;
    j += q.mass * (q.position.squaredNorm() * Eigen::Matrix3d::Identity() -
                   q.position * q.position.transpose());
  }
  const Eigen::Vector3d c = moment / p.mass;
  p.com = {c.x(), c.y(), c.z()};
  p.inertia = {j(0, 0), j(0, 1), j(0, 2), j(1, 1), j(1, 2), j(2, 2)};
  return p;
}

// Eight equal masses at the corners of an a × b × c box, turned and moved away from the
// origin. About its centre its principal moments are m/4·(b² + c²), m/4·(a² + c²),
// m/4·(a² + b²).
std::vector<PointMass> turnedBox(double m, double a, double b, double c) {
  const Eigen::Matrix3d turn = (Eigen::AngleAxisd(0.7, Eigen::Vector3d::UnitZ()) *
                                Eigen::AngleAxisd(-0.4, Eigen::Vector3d::UnitY()) *
                                Eigen::AngleAxisd(1.1, Eigen::Vector3d::UnitX()))
                                   .toRotationMatrix();
  const Eigen::Vector3d centre(0.03, -0.02, 0.11);
  std::vector<PointMass> particles;
  for (int sx : {-1, 1}) {
    for (int sy : {-1, 1}) {
      for (int sz : {-1, 1}) {
        const Eigen::Vector3d local(sx * a / 2, sy * b / 2, sz * c / 2);
        particles.push_back({m / 8, centre + turn * local});
      }
    }
  }
  return particles;
}

InertialParameters diagonalAtOrigin(double mass, double ixx, double iyy, double izz) {
  InertialParameters p;
  p.mass = mass;
  p.inertia = {ixx, 0.0, 0.0, iyy, 0.0, izz};
  return p;
}

TEST(PhysicalConsistency, TurnedOffsetBoxIsConsistentWithItsKnownPrincipalMoments) {
  const double m = 2.0, a = 0.1, b = 0.06, c = 0.04;
  const ConsistencyReport r = checkPhysicalConsistency(fromParticles(turnedBox(m, a, b, c)));
  EXPECT_TRUE(r.consistent);
  EXPECT_TRUE(r.finite);
  EXPECT_TRUE(r.massPositive);
  EXPECT_TRUE(r.momentsNonNegative);
  EXPECT_TRUE(r.triangle);
  EXPECT_TRUE(r.problems.empty());
  // Ascending: m/4·(b² + c²) = 0.0026, m/4·(a² + c²) = 0.0058, m/4·(a² + b²) = 0.0068.
  EXPECT_NEAR(r.principalMoments[0], 0.0026, 1e-14);
  EXPECT_NEAR(r.principalMoments[1], 0.0058, 1e-14);
  EXPECT_NEAR(r.principalMoments[2], 0.0068, 1e-14);
}

TEST(PhysicalConsistency, InertiaAboutTheCentreOfMassIsThatOfTheParticlesAroundIt) {
  const std::vector<PointMass> particles = {{0.5, {0.1, 0.02, 0.05}},
                                            {0.3, {-0.04, 0.06, 0.12}},
                                            {0.2, {0.02, -0.08, 0.09}},
                                            {0.4, {0.0, 0.01, 0.2}}};
  const InertialParameters p = fromParticles(particles);
  // Sum of m·(|r − c|²·I − (r − c)(r − c)ᵀ) directly.
  const Eigen::Vector3d c(p.com[0], p.com[1], p.com[2]);
  Eigen::Matrix3d expected = Eigen::Matrix3d::Zero();
  for (const PointMass& q : particles) {
    const Eigen::Vector3d d = q.position - c;
    expected += q.mass * (d.squaredNorm() * Eigen::Matrix3d::Identity() - d * d.transpose());
  }
  const ConsistencyReport r = checkPhysicalConsistency(p);
  const std::array<double, 6> entries = {expected(0, 0), expected(0, 1), expected(0, 2),
                                         expected(1, 1), expected(1, 2), expected(2, 2)};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(r.inertiaAboutCom[i], entries[i], 1e-15) << i;
  EXPECT_TRUE(r.consistent);
}

TEST(PhysicalConsistency, MassMustBePositive) {
  ConsistencyReport r = checkPhysicalConsistency(diagonalAtOrigin(0.0, 1e-3, 1e-3, 1e-3));
  EXPECT_FALSE(r.consistent);
  EXPECT_FALSE(r.massPositive);
  EXPECT_TRUE(r.momentsNonNegative);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0], "the mass is not positive (0 kg)");

  r = checkPhysicalConsistency(diagonalAtOrigin(-0.25, 1e-3, 1e-3, 1e-3));
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0], "the mass is not positive (-0.25 kg)");
}

TEST(PhysicalConsistency, OriginInertiaSmallerThanThePointMassTermLeavesANegativeMoment) {
  // 1 kg at 0.1 m along z contributes 0.01 kg·m² to Ixx and Iyy about the origin; an origin
  // inertia of 0.005 leaves −0.005 about the centre of mass.
  InertialParameters p = diagonalAtOrigin(1.0, 0.005, 0.012, 0.002);
  p.com = {0.0, 0.0, 0.1};
  const ConsistencyReport r = checkPhysicalConsistency(p);
  EXPECT_FALSE(r.consistent);
  EXPECT_FALSE(r.momentsNonNegative);
  EXPECT_NEAR(r.inertiaAboutCom[0], -0.005, 1e-15);
  EXPECT_NEAR(r.inertiaAboutCom[3], 0.002, 1e-15);
  EXPECT_NEAR(r.principalMoments[0], -0.005, 1e-15);
  ASSERT_EQ(r.problems.size(), 2u);
  EXPECT_EQ(r.problems[0],
            "the inertia about the centre of mass has a negative principal moment (-0.005 "
            "kg·m²)");
  EXPECT_EQ(r.problems[1],
            "the principal moments about the centre of mass violate the triangle inequality "
            "(-0.005 + 0.002 < 0.002 kg·m²)");
}

TEST(PhysicalConsistency, PrincipalMomentsMustSatisfyTheTriangleInequality) {
  const ConsistencyReport r = checkPhysicalConsistency(diagonalAtOrigin(1.0, 1e-3, 1e-3, 3e-3));
  EXPECT_FALSE(r.consistent);
  EXPECT_TRUE(r.momentsNonNegative);
  EXPECT_FALSE(r.triangle);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0],
            "the principal moments about the centre of mass violate the triangle inequality "
            "(0.001 + 0.001 < 0.003 kg·m²)");
}

// The body above with only Izz free to change: it comes down to Ixx + Iyy (a flat body, the
// nearest that can exist). A consistent body comes back as it was; 1 kg 0.1 m out on z with no
// inertia of its own about the origin has Ixx −0.01 about its centre of mass whatever Izz is.
TEST(PhysicalConsistency, NearestConsistentInertiaMovesOnlyAlongTheFreeDirections) {
  Eigen::Matrix<double, 6, 6> izz = Eigen::Matrix<double, 6, 6>::Zero();
  izz(5, 0) = 1.0;
  zelto::InertiaEntries j, flat;
  j << 1e-3, 0.0, 0.0, 1e-3, 0.0, 3e-3;
  flat << 1e-3, 0.0, 0.0, 1e-3, 0.0, 2e-3;
  const std::optional<zelto::InertiaEntries> nearest =
      zelto::nearestConsistentInertia(1.0, Eigen::Vector3d::Zero(), j, izz, 1);
  ASSERT_TRUE(nearest.has_value());
  EXPECT_LT((*nearest - flat).cwiseAbs().maxCoeff(), 1e-12);
  j(5) = 1.5e-3;
  EXPECT_EQ(zelto::nearestConsistentInertia(1.0, Eigen::Vector3d::Zero(), j, izz, 1), j);
  EXPECT_FALSE(zelto::nearestConsistentInertia(1.0, Eigen::Vector3d(0.0, 0.0, 0.1),
                                               zelto::InertiaEntries::Zero(), izz, 1));
}

// The same body as a file naming the entries the motion did not identify: with Izz among them
// it passes over what was identified; Ixy cannot help (the moments 1 ± Ixy and 3, ×1e-3).
TEST(PhysicalConsistency, OnlyWhatTheMotionIdentifiedMustBeConsistent) {
  const InertialParameters p = diagonalAtOrigin(1.0, 1e-3, 1e-3, 3e-3);
  const ConsistencyReport overIdentified = checkPhysicalConsistency(p, {"Izz"});
  EXPECT_TRUE(overIdentified.consistent);
  EXPECT_TRUE(overIdentified.consistentOverIdentified);
  EXPECT_FALSE(overIdentified.triangle);  // the values in the file still fail
  EXPECT_FALSE(checkPhysicalConsistency(p, {"Ixy"}).consistent);
}

TEST(PhysicalConsistency, FlatBodyIsAcceptedUpToTheRoundingOfTheFile) {
  // A flat body has λ3 = λ1 + λ2 exactly. The slack is 2e-5 of the trace (here 6e-3 kg·m²,
  // so 1.2e-7): six significant digits in the file cannot push it further out.
  EXPECT_TRUE(checkPhysicalConsistency(diagonalAtOrigin(1.0, 1e-3, 2e-3, 3e-3)).consistent);
  EXPECT_TRUE(checkPhysicalConsistency(diagonalAtOrigin(1.0, 1e-3, 2e-3, 3e-3 + 1e-8)).consistent);
  EXPECT_FALSE(checkPhysicalConsistency(diagonalAtOrigin(1.0, 1e-3, 2e-3, 3e-3 + 1e-6)).consistent);
}

TEST(PhysicalConsistency, PointMassIsTheLimitOfAPossibleBody) {
  InertialParameters p;
  p.mass = 1.0;
  p.com = {0.0, 0.0, 0.1};
  p.inertia = {0.01, 0.0, 0.0, 0.01, 0.0, 0.0};  // exactly the point-mass term
  EXPECT_TRUE(checkPhysicalConsistency(p).consistent);
  p.inertia[0] = p.inertia[3] = 0.01 - 1e-6;  // beyond the rounding of the file
  EXPECT_FALSE(checkPhysicalConsistency(p).momentsNonNegative);
}

TEST(PhysicalConsistency, NonFiniteValuesAreInconsistent) {
  InertialParameters p = diagonalAtOrigin(1.0, 1e-3, 1e-3, 1e-3);
  p.com[1] = std::numeric_limits<double>::quiet_NaN();
  const ConsistencyReport r = checkPhysicalConsistency(p);
  EXPECT_FALSE(r.consistent);
  EXPECT_FALSE(r.finite);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0], "the parameters contain a value that is not a finite number");
}

}  // namespace
}  // namespace zelto::tool
