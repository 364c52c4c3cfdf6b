#include <gtest/gtest.h>
#include <zelto/ZeltoPayloadCompensator.h>

#include <Eigen/Geometry>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <limits>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestUtils.h"
#include "ZeltoPayloadCompensatorImpl.h"

namespace zelto {
namespace {

using test::CoutCapture;
using test::errorLine;
using test::infoLine;
using Vec3 = Eigen::Vector3d;
using Array12 = std::array<double, 12>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::string kVersionLine = infoLine("ZeltoPayloadCompensator version: V1.0.3");
const std::string kParsedLine = infoLine("Configuration file has been parsed successfully");
const std::string kInertiaLine = infoLine("Inertia Compensator intialized successfully");
const std::string kStaticLine =
    infoLine("Compensator initialized to compensate only for gravity (static compensation)");
const std::string kDynamicLine = infoLine(
    "Compensator initialized to compensate for both gravity and inertia (static + dynamic "
    "compensation)");
const std::string kReadyLine =
    infoLine("Zelto Payload Compensator has been initialized successfully");
const std::string kTareRequested =
    infoLine("Tare requested \xE2\x80\x94 waiting for sufficient data window...");
const std::string kTareDeferred =
    infoLine("Tare deferred \xE2\x80\x94 outputting zeros until window is collected.");
const std::string kTareImmediate =
    infoLine("Tare complete immediately (window already sufficient).");
const std::string kTareDeferredDone =
    infoLine("Deferred tare complete. Bias computed from window.");
const std::string kImuFailed = errorLine("Failed to process IMU data in compensator.");
const std::string kNonFinite = errorLine("Sample contains a non-finite value; sample ignored.");
const std::string kOutOfRange =
    errorLine("Sample contains a value beyond 1e9 in magnitude; sample ignored.");
const std::string kBackwards = errorLine("Sample time stamp goes backwards; sample ignored.");
const char* const kImuMissing =
    "IMU data is not available \xE2\x80\x94 make sure the IMU is enabled (Rev K: appmode should "
    "be 2)";

struct Payload {
  double mass = 0.0;
  Vec3 com = Vec3::Zero();
  double ixx = 0, ixy = 0, ixz = 0, iyy = 0, iyz = 0, izz = 0;
  bool dynamic = false;
  std::optional<double> imuDelay;
};

//! Writes a payload parameter file in the estimator's layout (numbers at full precision).
std::string writePayload(const std::string& name, const Payload& p) {
  const std::string path = ::testing::TempDir() + "compensator_" + name + ".json";
  std::ofstream file(path, std::ios::trunc);
  file << std::setprecision(17);
  file << "{\n  \"payload_compensator_config\": {\n    \"payload_properties\": {\n"
       << "      \"mass\": " << p.mass << ",\n"
       << "      \"com\": {\n        \"x\": " << p.com.x() << ",\n        \"y\": " << p.com.y()
       << ",\n        \"z\": " << p.com.z() << "\n      },\n"
       << "      \"inertia\": {\n        \"Ixx\": " << p.ixx << ",\n        \"Ixy\": " << p.ixy
       << ",\n        \"Ixz\": " << p.ixz << ",\n        \"Iyy\": " << p.iyy
       << ",\n        \"Iyz\": " << p.iyz << ",\n        \"Izz\": " << p.izz << "\n      }\n"
       << "    },\n    \"enable_dynamic_compensation\": " << (p.dynamic ? "true" : "false");
  if (p.imuDelay) file << ",\n    \"imu_delay\": " << *p.imuDelay;
  file << " \n  }\n}\n";
  return path;
}

std::string testName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

//! m = 0.5 kg at the sensor origin, static: the compensated force is F + 0.5·a and the
//! torque is τ, so a = (0, 0, 10) adds exactly (0, 0, 5).
std::string simplePayload() {
  Payload p;
  p.mass = 0.5;
  return writePayload(testName(), p);
}

//! Sample k of a tare scenario at time k/10: compensated wrench (k, −1, 3, 0.25, 0, −k/10).
Array12 tareSample(int k) {
  return Array12{static_cast<double>(k), -1, 3 - 5, 0.25, 0, -k / 10.0, 0, 0, 10, 0, 0, 0};
}

Array12 sentinel() {
  Array12 out;
  out.fill(42.0);
  return out;
}

Array12 twelveZeros() { return Array12{}; }

// --- construction ------------------------------------------------------------------------

TEST(ZeltoPayloadCompensator, StaticConstructionLinesByteForByte) {
  Payload p;
  p.mass = 1.0;
  const std::string path = writePayload(testName(), p);
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(path);
  EXPECT_EQ(out.str(), kVersionLine + kParsedLine + kInertiaLine + kStaticLine + kReadyLine);
  EXPECT_EQ(impl.configuredMode(), CompensationMode::Static);
  EXPECT_EQ(static_cast<int>(impl.configuredMode()), 2);
  EXPECT_EQ(impl.activeMode(), CompensationMode::None);
  EXPECT_EQ(impl.parameters().path, path);
  EXPECT_EQ(impl.tareBias(), Wrench6::Zero());
  EXPECT_TRUE(impl.windowSnapshot().empty());
  EXPECT_FALSE(impl.isTarePending());
  EXPECT_FALSE(impl.isOutputSuppressed());
}

TEST(ZeltoPayloadCompensator, DynamicConstructionLinesByteForByte) {
  Payload p;
  p.mass = 1.0;
  p.dynamic = true;
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(writePayload(testName(), p));
  EXPECT_EQ(out.str(), kVersionLine + kParsedLine + kInertiaLine + kDynamicLine + kReadyLine);
  EXPECT_EQ(impl.configuredMode(), CompensationMode::Dynamic);
  EXPECT_EQ(static_cast<int>(impl.configuredMode()), 1);
  EXPECT_EQ(impl.activeMode(), CompensationMode::None);
}

TEST(ZeltoPayloadCompensator, InertialParametersUseMassTimesCentreOfMass) {
  Payload p;
  p.mass = 2.0;
  p.com = Vec3(0.01, -0.02, 0.05);
  p.ixx = 0.1;
  p.ixy = 0.2;
  p.ixz = 0.3;
  p.iyy = 0.4;
  p.iyz = 0.5;
  p.izz = 0.6;
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(writePayload(testName(), p));
  InertialParameters expected;
  expected << 2.0, 0.02, -0.04, 0.1, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6;
  EXPECT_EIGEN_NEAR(impl.inertiaCompensator().parameters(), expected, 1e-15);
}

// Construction from path throws exactly message, having printed the version line only.
void expectRefused(const std::string& path, const std::string& message) {
  CoutCapture out;
  try {
    ZeltoPayloadCompensator compensator(path);
    ADD_FAILURE() << "expected std::runtime_error: " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  EXPECT_EQ(out.str(), kVersionLine);
}

TEST(ZeltoPayloadCompensator, RefusedFilesThrowAfterTheVersionLineOnly) {
  const std::string missing = ::testing::TempDir() + "compensator_missing/none.json";
  expectRefused(missing, "Failed to open configuration file: " + missing);

  const std::string path = ::testing::TempDir() + "compensator_numeric_flag.json";
  {
    std::ofstream file(path, std::ios::trunc);
    file << R"({"payload_compensator_config": {"payload_properties": {"mass": 1,)"
            R"( "com": {"x": 0, "y": 0, "z": 0},)"
            R"( "inertia": {"Ixx": 0, "Ixy": 0, "Ixz": 0, "Iyy": 0, "Iyz": 0, "Izz": 0}},)"
            R"( "enable_dynamic_compensation": 1}})";
  }
  expectRefused(path,
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "boolean, but is number");

  Payload p;
  p.imuDelay = -0.03;
  expectRefused(writePayload(testName(), p),
                "Error parsing configuration file: payload_compensator_config.imu_delay must be "
                "within -0.025 and 0.025 s (the span of samples the compensator holds to pair "
                "them), but is -0.03");
}

// --- update: return codes and output -----------------------------------------------------

TEST(ZeltoPayloadCompensator, FirstUpdateGivesTheStaticCompensatedWrench) {
  Payload p;
  p.mass = 2.0;
  p.com = Vec3(0.01, -0.02, 0.05);  // h = (0.02, −0.04, 0.1)
  p.ixx = 5;                        // inertia plays no part in static mode
  const std::string path = writePayload(testName(), p);
  CoutCapture out;
  ZeltoPayloadCompensator compensator(path);
  out.reset();
  const Array12 input{1, -2, 3, 0.1, 0.2, -0.3, 0.5, -0.3, 9.7, 0.1, 0.2, 0.3};
  const Array12 inputCopy = input;
  Array12 output = sentinel();
  ASSERT_EQ(compensator.update(0.25, input, output), Ok);
  // F + m·a = (1 + 1, −2 − 0.6, 3 + 19.4); τ + h × a = τ + (−0.358, −0.144, 0.014).
  EXPECT_NEAR(output[0], 2.0, 1e-12);
  EXPECT_NEAR(output[1], -2.6, 1e-12);
  EXPECT_NEAR(output[2], 22.4, 1e-12);
  EXPECT_NEAR(output[3], -0.258, 1e-12);
  EXPECT_NEAR(output[4], 0.056, 1e-12);
  EXPECT_NEAR(output[5], -0.286, 1e-12);
  for (std::size_t i = 6; i < 12; ++i) {
    EXPECT_EQ(output[i], 42.0) << "element " << i << " must not be written";
  }
  EXPECT_EQ(input, inputCopy);
  EXPECT_EQ(out.str(), "");
}

TEST(ZeltoPayloadCompensator, ActiveModeLatchesOnTheFirstSuccessfulUpdate) {
  Payload p;
  p.mass = 1.0;
  p.dynamic = true;
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(writePayload(testName(), p));
  Array12 output = sentinel();
  // A refused sample leaves the mode at none.
  EXPECT_EQ(impl.update(0.0, Array12{kNaN, 0, 0, 0, 0, 0, 0, 0, 9.81, 0, 0, 0}, output), Error);
  EXPECT_EQ(impl.activeMode(), CompensationMode::None);
  EXPECT_EQ(impl.update(0.0, Array12{0, 0, 0, 0, 0, 0, 0, 0, 9.81, 0, 0, 0}, output), Ok);
  EXPECT_EQ(impl.activeMode(), CompensationMode::Dynamic);
}

TEST(ZeltoPayloadCompensator, MissingImuThrowsBeforeAnythingIsTaken) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  out.reset();
  Array12 output = sentinel();
  for (const Array12& input :
       {Array12{5, 5, 5, 1, 1, 1, 0, 0, 0, 0, 0, 0}, Array12{5, 5, 5, 1, 1, 1, 0, 0, 0, -0.0, 0, 0},
        Array12{kNaN, 5, 5, 1, 1, 1, 0, 0, 0, 0, 0, 0}}) {
    try {
      impl.update(1.0, input, output);
      ADD_FAILURE() << "expected std::runtime_error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), kImuMissing);
    }
  }
  EXPECT_EQ(output, sentinel());
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(impl.windowSnapshot().empty());
  // Nothing was stored: the same time stamp is still new.
  EXPECT_EQ(impl.update(1.0, Array12{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1e-300}, output), Ok);
}

TEST(ZeltoPayloadCompensator, MissingImuThrowsThroughTheExportedClass) {
  CoutCapture out;
  ZeltoPayloadCompensator compensator(simplePayload());
  Array12 output = sentinel();
  EXPECT_THROW(compensator.update(0.0, Array12{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0}, output),
               std::runtime_error);
  EXPECT_EQ(output, sentinel());
}

TEST(ZeltoPayloadCompensator, RepeatedTimeIsAnErrorAndLeavesOutputAndWindowAlone) {
  CoutCapture out;
  ZeltoPayloadCompensator compensator(simplePayload());
  Array12 output = sentinel();
  ASSERT_EQ(compensator.update(3.0, tareSample(1), output), Ok);
  out.reset();
  output = sentinel();
  EXPECT_EQ(compensator.update(3.0, tareSample(2), output), Error);
  EXPECT_EQ(compensator.update(3.000005, tareSample(2), output), Error);
  EXPECT_EQ(output, sentinel());
  EXPECT_EQ(out.str(), kImuFailed + kImuFailed);
}

TEST(ZeltoPayloadCompensator, NonFiniteAndOutOfRangeSamplesAreRefusedAndNothingIsStored) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output = sentinel();
  ASSERT_EQ(impl.update(1.0, tareSample(1), output), Ok);
  const auto sizes = impl.inertiaCompensator().historySizes();
  out.reset();

  const Array12 good = tareSample(2);
  std::vector<Array12> bad;
  for (std::size_t i = 0; i < 12; ++i) {
    Array12 s = good;
    s[i] = (i % 3 == 0) ? kNaN : (i % 3 == 1 ? kInf : -kInf);
    bad.push_back(s);
  }
  // A NaN among otherwise zero IMU values is IMU data present, then refused as non-finite.
  bad.push_back(Array12{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, kNaN, 0});
  std::string expectedLines;
  output = sentinel();
  for (const Array12& s : bad) {
    EXPECT_EQ(impl.update(1.1, s, output), Error);
    expectedLines += kNonFinite;
  }
  EXPECT_EQ(impl.update(kNaN, good, output), Error);
  EXPECT_EQ(impl.update(kInf, good, output), Error);
  expectedLines += kNonFinite + kNonFinite;
  // Finite values beyond any sensor would overflow the derived quantities just the same.
  for (std::size_t i = 0; i < 12; ++i) {
    Array12 s = good;
    s[i] = (i % 2 == 0) ? 1e300 : -2e9;
    EXPECT_EQ(impl.update(1.1, s, output), Error);
    expectedLines += kOutOfRange;
  }
  EXPECT_EQ(out.str(), expectedLines);
  EXPECT_EQ(output, sentinel());
  EXPECT_EQ(impl.inertiaCompensator().historySizes(), sizes);
  EXPECT_EQ(impl.windowSnapshot().size(), 1u);

  // The next good sample is processed normally, at the time the bad ones carried.
  out.reset();
  ASSERT_EQ(impl.update(1.1, good, output), Ok);
  EXPECT_NEAR(output[0], 2.0, 1e-12);
  EXPECT_NEAR(output[2], 3.0, 1e-12);
  EXPECT_NEAR(output[5], -0.2, 1e-12);
  for (double v : output) {
    EXPECT_TRUE(std::isfinite(v));
  }
  EXPECT_EQ(out.str(), "");
}

TEST(ZeltoPayloadCompensator, TimeGoingBackwardsIsRefusedAndNothingIsStored) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output = sentinel();
  ASSERT_EQ(impl.update(1.0, tareSample(1), output), Ok);
  ASSERT_EQ(impl.update(1.1, tareSample(2), output), Ok);
  const auto sizes = impl.inertiaCompensator().historySizes();
  out.reset();
  output = sentinel();
  EXPECT_EQ(impl.update(0.5, tareSample(3), output), Error);
  EXPECT_EQ(impl.update(1.1 - 2e-5, tareSample(3), output), Error);
  // Within 10 µs it is a repeated sample, reported as before.
  EXPECT_EQ(impl.update(1.1 - 5e-6, tareSample(3), output), Error);
  EXPECT_EQ(out.str(), kBackwards + kBackwards + kImuFailed);
  EXPECT_EQ(output, sentinel());
  EXPECT_EQ(impl.inertiaCompensator().historySizes(), sizes);
  const WrenchWindow window = impl.windowSnapshot();
  ASSERT_EQ(window.size(), 2u);
  EXPECT_EQ(window.back().time, 1.1);

  out.reset();
  ASSERT_EQ(impl.update(1.2, tareSample(4), output), Ok);
  EXPECT_NEAR(output[0], 4.0, 1e-12);
  EXPECT_NEAR(output[5], -0.4, 1e-12);
  EXPECT_EQ(out.str(), "");
}

// A tilted payload of point masses spinning at a constant rate: the sensor reads the bias
// minus the wrench that carries the masses (gravity and centripetal terms). Dynamic
// compensation returns the bias; static compensation leaves the centripetal part.
TEST(ZeltoPayloadCompensator, DynamicModeRemovesGravityAndCentripetalLoad) {
  struct PointMass {
    double mass;
    Vec3 r;
  };
  const std::vector<PointMass> cloud = {{0.4, Vec3(0.05, 0.02, 0.10)},
                                        {0.3, Vec3(-0.04, 0.06, 0.02)},
                                        {0.2, Vec3(0.01, -0.08, 0.15)},
                                        {0.1, Vec3(0.12, 0.0, -0.03)}};
  double m = 0;
  Vec3 h = Vec3::Zero();
  Eigen::Matrix3d j = Eigen::Matrix3d::Zero();
  for (const PointMass& p : cloud) {
    m += p.mass;
    h += p.mass * p.r;
    j += p.mass * (p.r.dot(p.r) * Eigen::Matrix3d::Identity() - p.r * p.r.transpose());
  }
  Payload dyn;
  dyn.mass = m;
  dyn.com = h / m;
  dyn.ixx = j(0, 0);
  dyn.ixy = j(0, 1);
  dyn.ixz = j(0, 2);
  dyn.iyy = j(1, 1);
  dyn.iyz = j(1, 2);
  dyn.izz = j(2, 2);
  dyn.dynamic = true;
  Payload stat = dyn;
  stat.dynamic = false;

  CoutCapture out;
  ZeltoPayloadCompensator dynamicC(writePayload(testName() + "_dynamic", dyn));
  ZeltoPayloadCompensator staticC(writePayload(testName() + "_static", stat));
  const Vec3 omega(0.6, -0.3, 1.2);  // rad/s, constant: α = 0
  const Vec3 forceBias(0.5, -1.0, 2.0);
  const Vec3 torqueBias(0.01, 0.02, -0.03);
  for (int k = 0; k < 2000; ++k) {
    const double t = 0.001 * k;
    // Gravity seen from the rotating sensor frame; the accelerometer reads its opposite.
    const Eigen::Matrix3d r(Eigen::AngleAxisd(omega.norm() * t, omega.normalized()));
    const Vec3 a = r.transpose() * Vec3(0, 0, 9.81);
    Vec3 force = Vec3::Zero();
    Vec3 torque = Vec3::Zero();
    Vec3 centripetalForce = Vec3::Zero();
    Vec3 centripetalTorque = Vec3::Zero();
    for (const PointMass& p : cloud) {
      const Vec3 centripetal = p.mass * omega.cross(omega.cross(p.r));
      const Vec3 f = p.mass * a + centripetal;
      force += f;
      torque += p.r.cross(f);
      centripetalForce += centripetal;
      centripetalTorque += p.r.cross(centripetal);
    }
    const Vec3 measuredF = forceBias - force;
    const Vec3 measuredT = torqueBias - torque;
    const Array12 input{measuredF.x(), measuredF.y(), measuredF.z(), measuredT.x(),
                        measuredT.y(), measuredT.z(), a.x(),         a.y(),
                        a.z(),         omega.x(),     omega.y(),     omega.z()};
    Array12 output = sentinel();
    ASSERT_EQ(dynamicC.update(t, input, output), Ok);
    for (int i = 0; i < 3; ++i) {
      ASSERT_NEAR(output[i], forceBias[i], 1e-12) << "sample " << k;
      ASSERT_NEAR(output[3 + i], torqueBias[i], 1e-12) << "sample " << k;
    }
    ASSERT_EQ(staticC.update(t, input, output), Ok);
    for (int i = 0; i < 3; ++i) {
      ASSERT_NEAR(output[i], forceBias[i] - centripetalForce[i], 1e-12) << "sample " << k;
      ASSERT_NEAR(output[3 + i], torqueBias[i] - centripetalTorque[i], 1e-12) << "sample " << k;
    }
  }
}

// --- the window ----------------------------------------------------------------------------

// An IMU 2.5 ms late, then 2.5 ms early, at 1 kHz (static mode): each wrench is paired with
// the IMU values of its instant, half-way between two samples.
//   sample k at k ms:  0    1    2    3    4  ...
//   d = +2.5 ms:       output k = F(k − 2.5) + m·a(k), F(−) the oldest wrench before k = 3
//   d = −2.5 ms:       output k = F(k) + m·a(k − 2.5), a(−) the oldest IMU value before k = 3
TEST(ZeltoPayloadCompensator, ImuDelayPairsEachWrenchWithTheImuOfItsInstant) {
  const auto force = [](int k) { return Vec3(std::sin(0.3 * k), 0.01 * k * k, 2.0); };
  const auto acc = [](int k) { return Vec3(std::cos(0.2 * k), 0.5, 9.81 - 0.02 * k); };
  const auto between = [](const Vec3& a, const Vec3& b) { return 0.5 * (a + b); };
  for (const double delay : {0.0025, -0.0025}) {
    SCOPED_TRACE("imu_delay " + std::to_string(delay));
    Payload p;
    p.mass = 2.0;
    p.com = Vec3(0.01, -0.02, 0.05);
    p.imuDelay = delay;
    CoutCapture out;
    ZeltoPayloadCompensator compensator(writePayload(testName(), p));
    EXPECT_NE(out.str().find(infoLine(
                  delay > 0.0 ? "IMU delay 2.50 ms: each wrench is paired with the IMU values of "
                                "its instant; the output lags the sensor by 2.50 ms"
                              : "IMU delay -2.50 ms: each wrench is paired with the IMU values of "
                                "its instant, held back 2.50 ms; no added latency")),
              std::string::npos);
    for (int k = 0; k < 12; ++k) {
      const Vec3 f = force(k), a = acc(k);
      const Array12 input{f.x(), f.y(), f.z(), 0.1, 0.2, 0.3, a.x(), a.y(), a.z(), 0.1, 0, 0};
      Array12 output = sentinel();
      ASSERT_EQ(compensator.update(1e-3 * k, input, output), Ok);
      Vec3 pairedForce = force(k), pairedAcc = acc(k);
      Vec3& late = delay > 0.0 ? pairedForce : pairedAcc;
      late = k < 3 ? (delay > 0.0 ? force(0) : acc(0))
                   : (delay > 0.0 ? between(force(k - 3), force(k - 2))
                                  : between(acc(k - 3), acc(k - 2)));
      const Vec3 expectedForce = pairedForce + 2.0 * pairedAcc;
      const Vec3 expectedTorque = Vec3(0.1, 0.2, 0.3) + Vec3(0.02, -0.04, 0.1).cross(pairedAcc);
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(output[i], expectedForce[i], 1e-12) << "k " << k << ", force " << i;
        EXPECT_NEAR(output[3 + i], expectedTorque[i], 1e-12) << "k " << k << ", torque " << i;
      }
    }
  }
}

TEST(ZeltoPayloadCompensator, WindowKeepsEntriesExactlyOneSecondOld) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  ASSERT_EQ(impl.update(0.0, tareSample(0), output), Ok);
  ASSERT_EQ(impl.update(1.0, tareSample(1), output), Ok);
  WrenchWindow window = impl.windowSnapshot();
  ASSERT_EQ(window.size(), 2u);
  EXPECT_EQ(window.front().time, 0.0);
  ASSERT_EQ(impl.update(1.001, tareSample(2), output), Ok);
  window = impl.windowSnapshot();
  ASSERT_EQ(window.size(), 2u);
  EXPECT_EQ(window.front().time, 1.0);
  EXPECT_EQ(window.back().time, 1.001);
  // Entries hold the compensated wrench before any bias.
  Wrench6 expected;
  expected << 2, -1, 3, 0.25, 0, -0.2;
  EXPECT_EIGEN_NEAR(window.back().wrench, expected, 1e-12);
}

TEST(ZeltoPayloadCompensator, SamplesMoreThanASecondApartLeaveOneEntry) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  for (int k = 0; k < 5; ++k) {
    ASSERT_EQ(impl.update(1.5 * k, tareSample(k), output), Ok);
    ASSERT_EQ(impl.windowSnapshot().size(), 1u);
  }
}

TEST(ZeltoPayloadCompensator, OneKilohertzStreamKeepsOneSecondWithoutGrowing) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  for (int k = 0; k < 5000; ++k) {
    ASSERT_EQ(impl.update(0.001 * k, tareSample(1), output), Ok);
  }
  const WrenchWindow window = impl.windowSnapshot();
  EXPECT_GE(window.size(), 1000u);
  EXPECT_LE(window.size(), 1001u);
  EXPECT_LE((window.back().time - window.front().time) * 1000.0, 1000.0);
  EXPECT_EQ(window.capacity(), WrenchWindow::kInitialCapacity);
  for (std::size_t size : impl.inertiaCompensator().historySizes()) {
    EXPECT_EQ(size, 7u);
  }
}

// --- tare ----------------------------------------------------------------------------------

TEST(ZeltoPayloadCompensator, ImmediateTareUsesTheWindowMean) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  for (int k = 0; k <= 6; ++k) {  // 0.0 … 0.6 s
    ASSERT_EQ(impl.update(k / 10.0, tareSample(k), output), Ok);
  }
  out.reset();
  EXPECT_TRUE(impl.tareCompensatedWrench());
  EXPECT_EQ(out.str(), kTareRequested +
                           infoLine("Tare bias set to: [3.000000, -1.000000, 3.000000, "
                                    "0.250000, 0.000000, -0.300000]") +
                           kTareImmediate);
  EXPECT_FALSE(impl.isTarePending());
  EXPECT_FALSE(impl.isOutputSuppressed());
  Wrench6 mean;
  mean << 3, -1, 3, 0.25, 0, -0.3;
  EXPECT_EIGEN_NEAR(impl.tareBias(), mean, 1e-12);

  out.reset();
  output = sentinel();
  ASSERT_EQ(impl.update(0.7, tareSample(7), output), Ok);
  // (7, −1, 3, 0.25, 0, −0.7) − mean
  EXPECT_NEAR(output[0], 4.0, 1e-12);
  EXPECT_NEAR(output[1], 0.0, 1e-12);
  EXPECT_NEAR(output[2], 0.0, 1e-12);
  EXPECT_NEAR(output[3], 0.0, 1e-12);
  EXPECT_NEAR(output[4], 0.0, 1e-12);
  EXPECT_NEAR(output[5], -0.4, 1e-12);
  EXPECT_EQ(output[6], 42.0);
  EXPECT_EQ(out.str(), "");
}

TEST(ZeltoPayloadCompensator, TwoTaresInARowGiveTheSameBias) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  for (int k = 0; k <= 6; ++k) {
    ASSERT_EQ(impl.update(k / 10.0, tareSample(k), output), Ok);
  }
  out.reset();
  impl.tareCompensatedWrench();
  const std::string first = out.str();
  const Wrench6 bias = impl.tareBias();
  out.reset();
  impl.tareCompensatedWrench();
  EXPECT_EQ(out.str(), first);  // the window holds values before the bias
  EXPECT_EQ(impl.tareBias(), bias);
}

TEST(ZeltoPayloadCompensator, DeferredTareHoldsZerosUntilHalfASecond) {
  CoutCapture out;
  ZeltoPayloadCompensator compensator(simplePayload());
  out.reset();
  EXPECT_TRUE(compensator.tareCompensatedWrench());
  EXPECT_EQ(out.str(), kTareRequested + kTareDeferred);

  out.reset();
  for (int k = 0; k <= 4; ++k) {  // 0.0 … 0.4 s: not enough
    Array12 output = sentinel();
    ASSERT_EQ(compensator.update(k / 10.0, tareSample(k), output), Pending) << "sample " << k;
    EXPECT_EQ(output, twelveZeros());
  }
  EXPECT_EQ(out.str(), "");

  // 0.5 s: the window spans 500 ms; this update already returns the tared wrench.
  Array12 output = sentinel();
  ASSERT_EQ(compensator.update(0.5, tareSample(5), output), Ok);
  EXPECT_EQ(out.str(), infoLine("Tare bias set to: [2.500000, -1.000000, 3.000000, 0.250000, "
                                "0.000000, -0.250000]") +
                           kTareDeferredDone);
  // (5, −1, 3, 0.25, 0, −0.5) − mean of samples 0 … 5
  EXPECT_NEAR(output[0], 2.5, 1e-12);
  EXPECT_NEAR(output[1], 0.0, 1e-12);
  EXPECT_NEAR(output[2], 0.0, 1e-12);
  EXPECT_NEAR(output[3], 0.0, 1e-12);
  EXPECT_NEAR(output[4], 0.0, 1e-12);
  EXPECT_NEAR(output[5], -0.25, 1e-12);
  for (std::size_t i = 6; i < 12; ++i) {
    EXPECT_EQ(output[i], 42.0);
  }

  out.reset();
  output = sentinel();
  ASSERT_EQ(compensator.update(0.6, tareSample(6), output), Ok);
  EXPECT_NEAR(output[0], 3.5, 1e-12);
  EXPECT_EQ(out.str(), "");
}

TEST(ZeltoPayloadCompensator, HalfASecondIsEnoughButFourNinetyNineMillisecondsIsNot) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl shortWindow(simplePayload());
  Array12 output;
  ASSERT_EQ(shortWindow.update(0.0, tareSample(0), output), Ok);
  ASSERT_EQ(shortWindow.update(0.499, tareSample(1), output), Ok);
  out.reset();
  shortWindow.tareCompensatedWrench();
  EXPECT_EQ(out.str(), kTareRequested + kTareDeferred);
  EXPECT_TRUE(shortWindow.isTarePending());
  EXPECT_TRUE(shortWindow.isOutputSuppressed());
  EXPECT_EQ(shortWindow.tareBias(), Wrench6::Zero());

  ZeltoPayloadCompensatorImpl longWindow(simplePayload());
  ASSERT_EQ(longWindow.update(0.0, tareSample(0), output), Ok);
  ASSERT_EQ(longWindow.update(0.5, tareSample(1), output), Ok);
  out.reset();
  longWindow.tareCompensatedWrench();
  EXPECT_EQ(out.str(), kTareRequested +
                           infoLine("Tare bias set to: [0.500000, -1.000000, 3.000000, "
                                    "0.250000, 0.000000, -0.050000]") +
                           kTareImmediate);
  EXPECT_FALSE(longWindow.isTarePending());
  EXPECT_FALSE(longWindow.isOutputSuppressed());
}

TEST(ZeltoPayloadCompensator, TareWhileDeferredStaysDeferred) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  impl.tareCompensatedWrench();
  ASSERT_EQ(impl.update(0.0, tareSample(0), output), Pending);
  out.reset();
  impl.tareCompensatedWrench();
  EXPECT_EQ(out.str(), kTareRequested + kTareDeferred);
  EXPECT_TRUE(impl.isTarePending());
  EXPECT_TRUE(impl.isOutputSuppressed());
  ASSERT_EQ(impl.update(0.3, tareSample(3), output), Pending);
  ASSERT_EQ(impl.update(0.5, tareSample(5), output), Ok);
  EXPECT_FALSE(impl.isTarePending());
  EXPECT_FALSE(impl.isOutputSuppressed());
}

TEST(ZeltoPayloadCompensator, DeferredTareWaitsForeverWhenSamplesAreSparse) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  impl.tareCompensatedWrench();
  for (int k = 0; k < 6; ++k) {
    Array12 output = sentinel();
    ASSERT_EQ(impl.update(2.0 * k, tareSample(k), output), Pending);
    EXPECT_EQ(output, twelveZeros());
  }
  EXPECT_TRUE(impl.isTarePending());
  EXPECT_EQ(impl.tareBias(), Wrench6::Zero());
}

TEST(ZeltoPayloadCompensator, FailedUpdatesDuringADeferredTareChangeNothing) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  impl.tareCompensatedWrench();
  ASSERT_EQ(impl.update(0.0, tareSample(0), output), Pending);
  out.reset();
  output = sentinel();
  EXPECT_EQ(impl.update(0.0, tareSample(1), output), Error);   // repeat
  EXPECT_EQ(impl.update(-1.0, tareSample(1), output), Error);  // backwards
  EXPECT_EQ(impl.update(0.6, Array12{kNaN, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0}, output), Error);
  EXPECT_EQ(output, sentinel());
  EXPECT_EQ(out.str(), kImuFailed + kBackwards + kNonFinite);
  EXPECT_TRUE(impl.isTarePending());
  EXPECT_EQ(impl.windowSnapshot().size(), 1u);
}

TEST(ZeltoPayloadCompensator, BiasPersistsUntilTheNextTare) {
  CoutCapture out;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  Array12 output;
  for (int k = 0; k <= 5; ++k) {
    ASSERT_EQ(impl.update(k / 10.0, tareSample(1), output), Ok);
  }
  impl.tareCompensatedWrench();
  // Later samples, far from the tare pose, keep being measured against the same bias.
  for (int k = 6; k <= 40; ++k) {
    ASSERT_EQ(impl.update(k / 10.0, tareSample(k), output), Ok);
    ASSERT_NEAR(output[0], k - 1.0, 1e-12);
    ASSERT_NEAR(output[5], -k / 10.0 + 0.1, 1e-12);
  }
}

// --- threads -------------------------------------------------------------------------------

std::size_t countOccurrences(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t pos = text.find(piece); pos != std::string::npos;
       pos = text.find(piece, pos + piece.size())) {
    ++count;
  }
  return count;
}

//! Points std::cout at another buffer for the lifetime of the object.
class CoutRedirect {
 public:
  explicit CoutRedirect(std::streambuf* target) : previous_(std::cout.rdbuf(target)) {}
  ~CoutRedirect() { std::cout.rdbuf(previous_); }
  CoutRedirect(const CoutRedirect&) = delete;
  CoutRedirect& operator=(const CoutRedirect&) = delete;

 private:
  std::streambuf* previous_;
};

// update() on this thread, tareCompensatedWrench() on another (run under ThreadSanitizer in
// CI). Every answer must be one of the two consistent ones, and the tare lines must all be
// there.
TEST(ZeltoPayloadCompensatorConcurrency, TareOnASecondThreadWhileUpdating) {
  const std::string path = simplePayload();
  test::LockedCaptureBuffer capture;
  constexpr int kTares = 40;
  {
    CoutRedirect redirect(&capture);
    ZeltoPayloadCompensator compensator(path);
    // Constant input: every compensated wrench is c, so every bias is c (up to rounding) and
    // every Ok output is either c (before the first tare took effect) or zero.
    const Array12 input = tareSample(2);
    const double c[6] = {2, -1, 3, 0.25, 0, -0.2};
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::thread tarer([&] {
      while (!started.load()) {
        std::this_thread::yield();
      }
      for (int i = 0; i < kTares; ++i) {
        EXPECT_TRUE(compensator.tareCompensatedWrench());
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
      finished.store(true);
    });

    int ok = 0;
    int pending = 0;
    int zeroed = 0;
    int k = 0;
    // Time advances 1 ms per sample whatever the wall clock does, so the early tares find a
    // short window (deferred) and the later ones a full one (immediate).
    const auto updateWhileTaring = [&] {
      started.store(true);
      for (; (!finished.load() || k < 2000) && k < 5000000; ++k) {
        Array12 output = sentinel();
        const ZeltoControlReturnCode rc = compensator.update(0.001 * k, input, output);
        if (rc == Pending) {
          ++pending;
          ASSERT_EQ(output, twelveZeros()) << "sample " << k;
          continue;
        }
        ASSERT_EQ(rc, Ok) << "sample " << k;
        ++ok;
        const bool raw = std::abs(output[0] - c[0]) < 1e-9;
        zeroed += raw ? 0 : 1;
        for (std::size_t i = 0; i < 6; ++i) {
          ASSERT_NEAR(output[i], raw ? c[i] : 0.0, 1e-9) << "sample " << k << " element " << i;
        }
        for (std::size_t i = 6; i < 12; ++i) {
          ASSERT_EQ(output[i], 42.0) << "sample " << k;
        }
      }
    };
    updateWhileTaring();
    started.store(true);  // in case the loop stopped before releasing the other thread
    tarer.join();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GT(ok, 0);
    EXPECT_GT(pending + zeroed, 0);

    // Whatever state the last tare left, one more second of data settles it: tared output.
    Array12 output = sentinel();
    for (int n = 0; n < 1000; ++n, ++k) {
      output = sentinel();
      ASSERT_NE(compensator.update(0.001 * k, input, output), Error);
    }
    ASSERT_EQ(compensator.update(0.001 * k, input, output), Ok);
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_NEAR(output[i], 0.0, 1e-9);
    }
  }
  const std::string text = capture.str();
  EXPECT_EQ(countOccurrences(text,
                             "Tare requested \xE2\x80\x94 waiting for sufficient data "
                             "window..."),
            static_cast<std::size_t>(kTares));
  EXPECT_EQ(countOccurrences(text, "Tare bias set to: ["),
            countOccurrences(text, "Tare complete immediately (window already sufficient).") +
                countOccurrences(text, "Deferred tare complete. Bias computed from window."));
}

// Standard output that, before it accepts a write, takes from a second thread the two locks
// update() takes. Printing while holding either of them deadlocks (and the test's time-out
// fails it) instead of passing.
class LockProbingBuffer : public std::streambuf {
 public:
  explicit LockProbingBuffer(const ZeltoPayloadCompensatorImpl& impl) : impl_(impl) {}
  std::string text;
  int probes = 0;

 protected:
  int_type overflow(int_type c) override {
    probe();
    text.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    probe();
    text.append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  void probe() {
    std::thread([this] {
      impl_.windowSnapshot();
      impl_.tareBias();
    }).join();
    ++probes;
  }
  const ZeltoPayloadCompensatorImpl& impl_;
};

TEST(ZeltoPayloadCompensatorConcurrency, TareLinesArePrintedWithoutTheLocksUpdateTakes) {
  CoutCapture quiet;
  ZeltoPayloadCompensatorImpl impl(simplePayload());
  LockProbingBuffer probing(impl);
  CoutRedirect redirect(&probing);
  // A deferred tare (its lines from the tare, then from the update that completes it), then
  // an immediate one.
  impl.tareCompensatedWrench();
  Array12 output;
  for (int k = 0; k <= 5; ++k) {
    impl.update(k / 10.0, tareSample(k), output);
  }
  impl.tareCompensatedWrench();
  const std::string bias =
      infoLine("Tare bias set to: [2.500000, -1.000000, 3.000000, 0.250000, 0.000000, -0.250000]");
  EXPECT_EQ(probing.text, kTareRequested + kTareDeferred + bias + kTareDeferredDone +
                              kTareRequested + bias + kTareImmediate);
  EXPECT_EQ(probing.probes, 7);  // one write per line
}

}  // namespace
}  // namespace zelto
