#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cstdint>
#include <iostream>
#include <random>
#include <vector>

#include "InertiaCompensator.h"
#include "ObservationModel.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;
using test::infoLine;
using Vec3 = Eigen::Vector3d;

StampedVector3 at(double t, const Vec3& v) { return StampedVector3{t, v}; }

InertialParameters params(double m, const Vec3& h, double ixx, double ixy, double ixz, double iyy,
                          double iyz, double izz) {
  InertialParameters p;
  p << m, h.x(), h.y(), h.z(), ixx, ixy, ixz, iyy, iyz, izz;
  return p;
}

//! Feeds one sample through both process calls, as the exported class does.
void feed(InertiaCompensator& c, double t, const Vec3& force, const Vec3& torque,
          const Vec3& linAcc, const Vec3& angVel) {
  ASSERT_TRUE(c.processImu(at(t, linAcc), at(t, angVel)));
  ASSERT_TRUE(c.processWrench(at(t, force), at(t, torque)));
}

//! A rigid payload as a cloud of point masses at fixed positions in the sensor frame.
struct PointMass {
  double mass;
  Vec3 position;
};

//! Newton–Euler summed point by point: the force and torque (about the sensor origin) the
//! sensor must apply to the cloud so that every point follows the frame's motion. Point i
//! has the specific acceleration a + α × rᵢ + ω × (ω × rᵢ) (gravity is inside a, the
//! accelerometer's specific force).
void cloudWrench(const std::vector<PointMass>& cloud, const Vec3& a, const Vec3& omega,
                 const Vec3& alpha, bool withMotion, Vec3& force, Vec3& torque) {
  force.setZero();
  torque.setZero();
  for (const PointMass& p : cloud) {
    Vec3 acc = a;
    if (withMotion) {
      acc += alpha.cross(p.position) + omega.cross(omega.cross(p.position));
    }
    const Vec3 f = p.mass * acc;
    force += f;
    torque += p.position.cross(f);
  }
}

//! m, m·c and the inertia tensor about the sensor origin, Σ mᵢ(|rᵢ|²·1 − rᵢ·rᵢᵀ), of the cloud.
InertialParameters cloudParameters(const std::vector<PointMass>& cloud) {
  double m = 0.0;
  Vec3 h = Vec3::Zero();
  Eigen::Matrix3d j = Eigen::Matrix3d::Zero();
  for (const PointMass& p : cloud) {
    m += p.mass;
    h += p.mass * p.position;
    j += p.mass * (p.position.squaredNorm() * Eigen::Matrix3d::Identity() -
                   p.position * p.position.transpose());
  }
  return params(m, h, j(0, 0), j(0, 1), j(0, 2), j(1, 1), j(1, 2), j(2, 2));
}

Vec3 randomVec(std::mt19937& rng, double scale) {
  std::uniform_real_distribution<double> u(-scale, scale);
  const double x = u(rng);
  const double y = u(rng);
  const double z = u(rng);
  return Vec3(x, y, z);
}

TEST(InertiaCompensator, ConstructionPrintsOneInfoLine) {
  CoutCapture out;
  InertiaCompensator c;
  EXPECT_EQ(out.str(), infoLine("Inertia Compensator intialized successfully"));
  for (std::size_t size : c.historySizes()) {
    EXPECT_EQ(size, 0u);
  }
}

TEST(InertiaCompensator, AngularAccelerationOverTheFirstThreeSamples) {
  CoutCapture out;
  InertiaCompensator c;
  out.reset();
  const Vec3 a(0, 0, 9.81);
  // First sample: zero angular acceleration without asking the EMA (no notice printed).
  ASSERT_TRUE(c.processImu(at(1.000, a), at(1.000, Vec3(0.3, -0.2, 1.0))));
  EXPECT_EQ(c.newestAngularAcceleration().time, 1.000);
  EXPECT_EQ(c.newestAngularAcceleration().value, Vec3::Zero());
  ASSERT_TRUE(c.processWrench(at(1.000, Vec3::Zero()), at(1.000, Vec3::Zero())));
  // Second: the EMA takes its first value and still gives zero.
  ASSERT_TRUE(c.processImu(at(1.002, a), at(1.002, Vec3(0.5, -0.2, 1.1))));
  EXPECT_EQ(c.newestAngularAcceleration().time, 1.002);
  EXPECT_EQ(c.newestAngularAcceleration().value, Vec3::Zero());
  ASSERT_TRUE(c.processWrench(at(1.002, Vec3::Zero()), at(1.002, Vec3::Zero())));
  // Third: (ω₃ − ω₂)/(Δt + τ) with Δt = 0.001 s and τ = 0.1 s.
  ASSERT_TRUE(c.processImu(at(1.003, a), at(1.003, Vec3(0.5 + 0.101, -0.2 - 0.202, 1.1))));
  EXPECT_EQ(c.newestAngularAcceleration().time, 1.003);
  EXPECT_EIGEN_NEAR(c.newestAngularAcceleration().value, Vec3(1.0, -2.0, 0.0), 1e-9);
  EXPECT_EQ(out.str(), "");
}

TEST(InertiaCompensator, StaticGravityTerms) {
  CoutCapture out;
  InertiaCompensator c;
  // m = 1, h = 0, J = 0, a = (0, 0, 9.81): force gains (0, 0, 9.81), torque unchanged.
  c.setParameters(params(1, Vec3::Zero(), 0, 0, 0, 0, 0, 0));
  feed(c, 0.0, Vec3(1, 2, 3), Vec3(0.1, 0.2, 0.3), Vec3(0, 0, 9.81), Vec3(5, 6, 7));
  WrenchRecord w = c.staticWrench();
  EXPECT_EQ(w.time, 0.0);
  EXPECT_EIGEN_NEAR(w.force, Vec3(1, 2, 3 + 9.81), 1e-12);
  EXPECT_EIGEN_NEAR(w.torque, Vec3(0.1, 0.2, 0.3), 1e-12);

  // h = (0, 0, 0.1): along the acceleration no torque ...
  InertiaCompensator d;
  d.setParameters(params(1, Vec3(0, 0, 0.1), 0, 0, 0, 0, 0, 0));
  feed(d, 0.0, Vec3::Zero(), Vec3::Zero(), Vec3(0, 0, 9.81), Vec3(0, 0, 1));
  EXPECT_EIGEN_NEAR(d.staticWrench().torque, Vec3::Zero(), 1e-12);
  // ... and across it h × a = (0, 0.981, 0). ω and α never enter the static wrench.
  feed(d, 0.01, Vec3::Zero(), Vec3::Zero(), Vec3(9.81, 0, 0), Vec3(3, -2, 1));
  w = d.staticWrench();
  EXPECT_EQ(w.time, 0.01);
  EXPECT_EIGEN_NEAR(w.force, Vec3(9.81, 0, 0), 1e-12);
  EXPECT_EIGEN_NEAR(w.torque, Vec3(0, 0.981, 0), 1e-12);
}

TEST(InertiaCompensator, DynamicTermsOnTheFirstSample) {
  CoutCapture out;
  // m = 1, h = (0.1, 0, 0), J = diag(1, 2, 3), a = 0, ω = (0, 0, 1), α = 0 (first sample):
  // centripetal force (−0.1, 0, 0), no torque.
  InertiaCompensator c;
  c.setParameters(params(1, Vec3(0.1, 0, 0), 1, 0, 0, 2, 0, 3));
  feed(c, 0.0, Vec3::Zero(), Vec3::Zero(), Vec3::Zero(), Vec3(0, 0, 1));
  WrenchRecord w = c.dynamicWrench();
  EXPECT_EIGEN_NEAR(w.force, Vec3(-0.1, 0, 0), 1e-12);
  EXPECT_EIGEN_NEAR(w.torque, Vec3::Zero(), 1e-12);

  // h = 0, J = diag(1, 2, 3), ω = (1, 1, 0): gyroscopic torque ω × (J·ω) = (0, 0, 1).
  InertiaCompensator d;
  d.setParameters(params(1, Vec3::Zero(), 1, 0, 0, 2, 0, 3));
  feed(d, 0.0, Vec3(1, 1, 1), Vec3(-1, -1, -1), Vec3::Zero(), Vec3(1, 1, 0));
  w = d.dynamicWrench();
  EXPECT_EIGEN_NEAR(w.force, Vec3(1, 1, 1), 1e-12);
  EXPECT_EIGEN_NEAR(w.torque, Vec3(-1, -1, 0), 1e-12);
}

TEST(InertiaCompensator, DynamicTermsWithAngularAcceleration) {
  CoutCapture out;
  InertiaCompensator c;
  c.setParameters(params(1, Vec3(0.1, 0, 0), 1, 0, 0, 2, 0, 3));
  // ω steps from 0 to 0.202 rad/s about z one millisecond after the EMA took its first
  // value: α = 0.202 / 0.101 = 2 rad/s².
  feed(c, 0.000, Vec3::Zero(), Vec3::Zero(), Vec3::Zero(), Vec3::Zero());
  feed(c, 0.001, Vec3::Zero(), Vec3::Zero(), Vec3::Zero(), Vec3::Zero());
  feed(c, 0.002, Vec3::Zero(), Vec3::Zero(), Vec3::Zero(), Vec3(0, 0, 0.202));
  EXPECT_EIGEN_NEAR(c.newestAngularAcceleration().value, Vec3(0, 0, 2), 1e-9);
  const WrenchRecord w = c.dynamicWrench();
  // α × h = (0, 0.2, 0); ω × (ω × h) = (−0.1·ωz², 0, 0); J·α = (0, 0, 6); ω ∥ J·ω.
  const double wz = 0.202;
  EXPECT_EIGEN_NEAR(w.force, Vec3(-0.1 * wz * wz, 0.2, 0), 1e-9);
  EXPECT_EIGEN_NEAR(w.torque, Vec3(0, 0, 6), 1e-9);
  // The static wrench of the same sample keeps none of it.
  EXPECT_EIGEN_NEAR(c.staticWrench().force, Vec3::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(c.staticWrench().torque, Vec3::Zero(), 0.0);
}

// A payload made of point masses, driven through an arbitrary motion: the sensor reads the
// bias minus the wrench that carries the cloud along. Dynamic compensation must give back
// the bias exactly; static compensation only when the motion terms vanish.
TEST(InertiaCompensator, RemovesTheWrenchOfAPointMassPayload) {
  const std::uint32_t seed = 20240611;
  std::cout << "random seed " << seed << std::endl;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> massDist(0.05, 0.8);
  std::vector<PointMass> cloud;
  for (int i = 0; i < 5; ++i) {
    cloud.push_back(PointMass{massDist(rng), randomVec(rng, 0.15)});
  }
  const InertialParameters phi = cloudParameters(cloud);
  const Vec3 forceBias(0.53, -1.2, 3.4);
  const Vec3 torqueBias(0.012, -0.004, 0.0009);

  CoutCapture out;
  InertiaCompensator dynamicC;
  InertiaCompensator staticC;
  dynamicC.setParameters(phi);
  staticC.setParameters(phi);
  double t = 10.0;
  for (int k = 0; k < 300; ++k) {
    t += 0.0005 + 0.001 * std::uniform_real_distribution<double>(0, 1)(rng);
    const Vec3 a = Vec3(0, 0, 9.81) + randomVec(rng, 3.0);
    const Vec3 omega = randomVec(rng, 2.0);
    ASSERT_TRUE(dynamicC.processImu(at(t, a), at(t, omega)));
    ASSERT_TRUE(staticC.processImu(at(t, a), at(t, omega)));
    // α is whatever the compensator's own filter derived; the cloud moves with it.
    const Vec3 alpha = dynamicC.newestAngularAcceleration().value;
    Vec3 carryForce;
    Vec3 carryTorque;
    cloudWrench(cloud, a, omega, alpha, true, carryForce, carryTorque);
    const Vec3 measuredForce = forceBias - carryForce;
    const Vec3 measuredTorque = torqueBias - carryTorque;
    ASSERT_TRUE(dynamicC.processWrench(at(t, measuredForce), at(t, measuredTorque)));
    ASSERT_TRUE(staticC.processWrench(at(t, measuredForce), at(t, measuredTorque)));

    const WrenchRecord dyn = dynamicC.dynamicWrench();
    EXPECT_EQ(dyn.time, t);
    ASSERT_EIGEN_NEAR(dyn.force, forceBias, 1e-12);
    ASSERT_EIGEN_NEAR(dyn.torque, torqueBias, 1e-12);

    // Static mode removes gravity only: what is left is the motion part of the cloud.
    Vec3 gravityForce;
    Vec3 gravityTorque;
    cloudWrench(cloud, a, omega, alpha, false, gravityForce, gravityTorque);
    const WrenchRecord stat = staticC.staticWrench();
    ASSERT_EIGEN_NEAR(stat.force, forceBias - (carryForce - gravityForce), 1e-12);
    ASSERT_EIGEN_NEAR(stat.torque, torqueBias - (carryTorque - gravityTorque), 1e-12);
  }
}

// The compensated wrench is written out with cross products for speed; it must agree with
// (F; τ) + Y·φ for the estimator's regressor Y, in both modes.
TEST(InertiaCompensator, AgreesWithTheRegressorTimesParameters) {
  const std::uint32_t seed = 77;
  std::cout << "random seed " << seed << std::endl;
  std::mt19937 rng(seed);
  InertialParameters phi;
  for (int i = 0; i < 10; ++i) {
    phi[i] = std::uniform_real_distribution<double>(-2, 2)(rng);
  }
  CoutCapture out;
  InertiaCompensator c;
  c.setParameters(phi);
  for (int k = 0; k < 200; ++k) {
    const double t = 0.001 * k;
    const Vec3 f = randomVec(rng, 20);
    const Vec3 tau = randomVec(rng, 2);
    const Vec3 a = randomVec(rng, 15);
    const Vec3 omega = randomVec(rng, 5);
    feed(c, t, f, tau, a, omega);
    const Vec3 alpha = c.newestAngularAcceleration().value;
    for (bool dynamic : {false, true}) {
      Regressor y;
      fillPayloadRegressor(a, omega, alpha, dynamic, y);
      Eigen::Matrix<double, 6, 1> expected;
      expected << f, tau;
      expected += y * phi;
      const WrenchRecord w = dynamic ? c.dynamicWrench() : c.staticWrench();
      Eigen::Matrix<double, 6, 1> got;
      got << w.force, w.torque;
      ASSERT_EIGEN_NEAR(got, expected, 1e-11) << "sample " << k << (dynamic ? " dynamic" : "");
    }
  }
}

TEST(InertiaCompensator, HistoriesHoldSevenItemsAfterEachPrune) {
  CoutCapture out;
  InertiaCompensator c;
  for (int k = 1; k <= 500; ++k) {
    const double t = 0.001 * k;
    feed(c, t, Vec3(k, 0, 0), Vec3(0, k, 0), Vec3(0, 0, 9.81), Vec3(0.01 * k, 0, 0));
    const std::size_t expected = k < 7 ? static_cast<std::size_t>(k) : 7u;
    for (std::size_t size : c.historySizes()) {
      ASSERT_EQ(size, expected) << "after sample " << k;
    }
  }
}

TEST(InertiaCompensator, RepeatedImuTimeIsRefusedAndNothingIsStored) {
  CoutCapture out;
  InertiaCompensator c;
  feed(c, 1.0, Vec3::Zero(), Vec3::Zero(), Vec3(0, 0, 9.81), Vec3::Zero());
  const auto before = c.historySizes();
  out.reset();
  // 5 µs later is the same sample; so is 5 µs earlier.
  EXPECT_FALSE(c.processImu(at(1.000005, Vec3(1, 1, 1)), at(1.000005, Vec3(1, 1, 1))));
  EXPECT_FALSE(c.processImu(at(0.999995, Vec3(1, 1, 1)), at(0.999995, Vec3(1, 1, 1))));
  EXPECT_EQ(c.historySizes(), before);
  EXPECT_EQ(out.str(), "");
  // 20 µs later is a new sample.
  EXPECT_TRUE(c.processImu(at(1.00002, Vec3(1, 1, 1)), at(1.00002, Vec3(1, 1, 1))));
}

TEST(InertiaCompensator, WrenchWithoutImuRecordFailsButIsKept) {
  CoutCapture out;
  InertiaCompensator c;
  EXPECT_FALSE(c.processWrench(at(0.0, Vec3(1, 0, 0)), at(0.0, Vec3::Zero())));
  const auto sizes = c.historySizes();
  EXPECT_EQ(sizes[2], 1u);   // raw force
  EXPECT_EQ(sizes[3], 1u);   // raw torque
  EXPECT_EQ(sizes[10], 1u);  // wrench record, force channel
  EXPECT_EQ(sizes[0], 0u);   // no IMU data
}

TEST(InertiaCompensator, TimesMoreThanTenMicrosecondsBackAreDetected) {
  CoutCapture out;
  InertiaCompensator c;
  EXPECT_FALSE(c.isBeforeNewestImu(-100.0));  // nothing stored yet
  feed(c, 2.0, Vec3::Zero(), Vec3::Zero(), Vec3(0, 0, 9.81), Vec3::Zero());
  EXPECT_FALSE(c.isBeforeNewestImu(2.0));
  EXPECT_FALSE(c.isBeforeNewestImu(2.0 - 5e-6));  // a repeat, refused by processImu
  EXPECT_TRUE(c.isBeforeNewestImu(2.0 - 2e-5));
  EXPECT_TRUE(c.isBeforeNewestImu(1.0));
  EXPECT_FALSE(c.isBeforeNewestImu(3.0));
}

}  // namespace
}  // namespace zelto
