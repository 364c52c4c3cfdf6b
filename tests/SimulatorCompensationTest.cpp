// The simulator and the compensator agree on the physics: compensating a noise-free simulated
// sample with the true payload returns exactly the sensor bias.
#include <gtest/gtest.h>
#include <zelto/ZeltoPayloadCompensator.h>

#include <filesystem>
#include <fstream>

#include "ObservationModel.h"
#include "PayloadSimulator.h"
#include "TestUtils.h"

namespace zelto {
namespace {

sim::Payload offCentreTool() {
  return sim::Payload::fromCentroidal(2.3, Eigen::Vector3d(0.021, -0.034, 0.087),
                                      {0.011, 0.0007, -0.0012, 0.014, 0.0009, 0.006},
                                      Eigen::Vector3d(1.7, -0.6, 2.2),
                                      Eigen::Vector3d(0.05, -0.08, 0.03));
}

Eigen::Matrix<double, 10, 1> inertialParameters(const sim::Payload& p) {
  const std::array<double, 16> theta = p.parameterVector();
  return Eigen::Map<const Eigen::Matrix<double, 10, 1>>(theta.data());
}

TEST(SimulatorCompensation, RegressorWithTrueParametersLeavesTheBias) {
  // Hand motion with every term present: the compensator's regressor (gravity and inertia)
  // applied to the exact kinematics removes the payload completely.
  sim::Options options;
  options.payload = offCentreTool();
  options.seed = 17;
  sim::PayloadSimulator simulator(options);
  const Eigen::Matrix<double, 10, 1> phi = inertialParameters(options.payload);
  Eigen::Matrix<double, 6, 1> bias;
  bias << options.payload.forceBias, options.payload.torqueBias;
  Regressor y;
  for (const sim::SimSample& s : simulator.generate(20.0)) {
    fillPayloadRegressor(s.truth.linearAcceleration, s.truth.angularVelocity,
                         s.truth.angularAcceleration, true, y);
    Eigen::Matrix<double, 6, 1> measured;
    measured << s.truth.force, s.truth.torque;
    ASSERT_EIGEN_NEAR((measured + y * phi).eval(), bias, 1e-12) << "at t = " << s.time;
  }
}

TEST(SimulatorCompensation, StaticModeOnStillPosesReturnsTheBias) {
  // Through the library: noise-free still poses, static compensation with the true payload.
  // While the tool is held still the only payload wrench is gravity, which static mode removes
  // exactly; during the moves between poses the inertial wrench stays in.
  const sim::Payload tool = offCentreTool();
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / "zelto_simulator_compensation";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "payload.json").string();
  const std::array<double, 6> j = tool.inertia;
  {
    std::ofstream file(path);
    file.precision(17);
    file << R"({"payload_compensator_config": {"payload_properties": {"mass": )" << tool.mass
         << R"(, "com": {"x": )" << tool.com.x() << R"(, "y": )" << tool.com.y() << R"(, "z": )"
         << tool.com.z() << R"(}, "inertia": {"Ixx": )" << j[0] << R"(, "Ixy": )" << j[1]
         << R"(, "Ixz": )" << j[2] << R"(, "Iyy": )" << j[3] << R"(, "Iyz": )" << j[4]
         << R"(, "Izz": )" << j[5] << R"(}}, "enable_dynamic_compensation": false}})";
  }
  test::CoutCapture quiet;
  ZeltoPayloadCompensator compensator(path);

  sim::Options options;
  options.payload = tool;
  options.motion.staticPoses = true;
  options.seed = 3;
  sim::PayloadSimulator simulator(options);
  int held = 0;
  std::array<double, 12> out{};
  for (const sim::SimSample& s : simulator.generate(40.0)) {
    ASSERT_EQ(compensator.update(s.time, s.values, out), Ok);
    if (!simulator.motion().isHolding(s.time)) continue;
    ++held;
    for (int k = 0; k < 3; ++k) {
      ASSERT_NEAR(out[k], tool.forceBias[k], 1e-9) << "force " << k << " at t = " << s.time;
      ASSERT_NEAR(out[k + 3], tool.torqueBias[k], 1e-10) << "torque " << k << " at t = " << s.time;
    }
  }
  EXPECT_GT(held, 10000);  // most of the recording is spent in still poses
}

}  // namespace
}  // namespace zelto
