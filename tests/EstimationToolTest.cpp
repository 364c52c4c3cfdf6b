#include <gtest/gtest.h>

#include <Eigen/Core>
#include <string>

#include "EstimationTool.h"
#include "PayloadSimulator.h"
#include "Sample.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;
using test::infoLine;

EstimatorConfig exampleConfig() {
  EstimatorConfig c;
  c.priorMass = 2.0;
  c.priorCom = {0.1, 0.0, 0.05};
  c.priorInertia = {0.01, 0.001, 0.002, 0.02, 0.003, 0.03};
  // Distinct variances, so that a channel taken from the wrong field shows.
  c.noiseForce = {1.0, 2.0, 3.0};
  c.noiseTorque = {4.0, 5.0, 6.0};
  c.noiseLinearAcc = {7.0, 8.0, 9.0};
  c.noiseAngularVel = {10.0, 11.0, 12.0};
  c.noiseAngularAcc = {13.0, 14.0, 15.0};
  return c;
}

// The variances the estimator was validated with on hand motion.
EstimatorConfig handMotionConfig() {
  EstimatorConfig c = exampleConfig();
  c.priorMass = 1.0;
  c.priorCom = {0.0, 0.0, 0.05};
  c.priorInertia = {0.001, 0.0, 0.0, 0.001, 0.0, 0.001};
  c.noiseForce = {0.01, 0.01, 0.01};
  c.noiseTorque = {1e-5, 1e-5, 1e-5};
  c.noiseLinearAcc = {1e-3, 1e-3, 1e-3};
  c.noiseAngularVel = {1e-5, 1e-5, 1e-5};
  c.noiseAngularAcc = {1e-2, 1e-2, 1e-2};
  return c;
}

// Noisy moving-payload samples with the exact angular acceleration (seed printed on failure).
std::vector<InertialSample> simulatedSamples(double seconds, std::uint64_t seed) {
  sim::Options o;
  o.payload = sim::Payload::fromCentroidal(
      1.0, Eigen::Vector3d(0.01, -0.02, 0.08), {0.002, 0.0001, 0.0, 0.003, 0.0, 0.001},
      Eigen::Vector3d(0.5, -0.3, 1.0), Eigen::Vector3d(0.02, 0.01, -0.03));
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.seed = seed;
  sim::PayloadSimulator simulator(o);
  std::vector<InertialSample> samples;
  for (const sim::SimSample& s : simulator.generate(seconds)) {
    const SplitSample split = splitSample(s.time, s.values);
    samples.push_back(InertialSample{s.time, split.linearAcceleration.value,
                                     split.angularVelocity.value, s.truth.angularAcceleration,
                                     split.force.value, split.torque.value});
  }
  return samples;
}

TEST(EstimationTool, PriorVectorHoldsMassFirstMomentsAndInertia) {
  Eigen::VectorXd expected(10);
  expected << 2.0, 0.2, 0.0, 0.1, 0.01, 0.001, 0.002, 0.02, 0.003, 0.03;
  EXPECT_EIGEN_NEAR(EstimationTool::priorParameters(exampleConfig()), expected, 1e-15);
}

TEST(EstimationTool, NoiseFollowsTheOrderOfTheSampleFields) {
  const MeasurementNoise n = EstimationTool::measurementNoise(exampleConfig());
  EXPECT_EIGEN_NEAR(n.linearAcceleration, Eigen::Vector3d(7.0, 8.0, 9.0), 0.0);
  EXPECT_EIGEN_NEAR(n.angularVelocity, Eigen::Vector3d(10.0, 11.0, 12.0), 0.0);
  EXPECT_EIGEN_NEAR(n.angularAcceleration, Eigen::Vector3d(13.0, 14.0, 15.0), 0.0);
  EXPECT_EIGEN_NEAR(n.force, Eigen::Vector3d(1.0, 2.0, 3.0), 0.0);
  EXPECT_EIGEN_NEAR(n.torque, Eigen::Vector3d(4.0, 5.0, 6.0), 0.0);
}

TEST(EstimationTool, UpdateBeforeInitWarnsAndReturnsFalse) {
  EstimationTool tool(exampleConfig());
  CoutCapture out;
  EXPECT_FALSE(tool.update(InertialSample{}));
  EXPECT_EQ(out.str(), "Warning: EstimationTool::update() called without initialized algorithm\n");
}

TEST(EstimationTool, QueriesBeforeInitAnswerZerosSilently) {
  EstimationTool tool(exampleConfig());
  CoutCapture out;
  EXPECT_FALSE(tool.hasAlgorithm());
  EXPECT_EIGEN_NEAR(tool.getParamsCovariance(), (Eigen::Matrix<double, 10, 10>::Zero()), 0.0);
  EXPECT_EIGEN_NEAR(tool.getBiasCovariance(), (Eigen::Matrix<double, 6, 6>::Zero()), 0.0);
  EXPECT_EIGEN_NEAR(tool.getParamsSolution(), (Eigen::Matrix<double, 10, 1>::Zero()), 0.0);
  const InertialSample bias = tool.getBiasSolution();
  EXPECT_EQ(bias.time, 0.0);
  EXPECT_EIGEN_NEAR(bias.force, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(bias.torque, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_EQ(out.str(), "");
}

TEST(EstimationTool, InitStartsFromThePriorAndAnnouncesItself) {
  EstimationTool tool(exampleConfig());
  CoutCapture out;
  tool.init();
  const std::string text = out.str();
  // The algorithm's own initialisation block shows the prior and the variances it received.
  EXPECT_NE(text.find(infoLine("  Mass: 2.000000")), std::string::npos) << text;
  EXPECT_NE(text.find(infoLine("  CoM: [0.200000, 0.000000, 0.100000]")), std::string::npos);
  EXPECT_NE(text.find(infoLine("  Force: [1.000000, 2.000000, 3.000000]")), std::string::npos);
  EXPECT_NE(text.find(infoLine("  Lin acc: [7.000000, 8.000000, 9.000000]")), std::string::npos);
  EXPECT_NE(text.find(infoLine("  Ang acc: [13.000000, 14.000000, 15.000000]")), std::string::npos);
  const std::string last = infoLine("Estimation tool has been initialized");
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);

  Eigen::Matrix<double, 10, 1> solution;
  solution << 2.0, 0.1, 0.0, 0.05, 0.01, 0.001, 0.002, 0.02, 0.003, 0.03;
  EXPECT_TRUE(tool.hasAlgorithm());
  EXPECT_EIGEN_NEAR(tool.getParamsSolution(), solution, 1e-15);
  EXPECT_EIGEN_NEAR(tool.getBiasSolution().force, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(tool.getBiasSolution().torque, Eigen::Vector3d::Zero(), 0.0);
  // Until the first sample the covariance of θ is all ones.
  EXPECT_EIGEN_NEAR(tool.getBiasCovariance(), (Eigen::Matrix<double, 6, 6>::Ones()), 0.0);
}

TEST(EstimationTool, UpdateForwardsSamplesAndTheEstimateApproachesTheTruth) {
  const std::uint64_t seed = 7;
  SCOPED_TRACE("simulation seed " + std::to_string(seed));
  EstimationTool tool(handMotionConfig());
  CoutCapture out;
  tool.init();
  for (const InertialSample& s : simulatedSamples(10.0, seed)) {
    ASSERT_TRUE(tool.update(s));
  }
  const Eigen::Matrix<double, 10, 1> p = tool.getParamsSolution();
  EXPECT_NEAR(p[0], 1.0, 0.005);
  EXPECT_EIGEN_NEAR(p.segment<3>(1), Eigen::Vector3d(0.01, -0.02, 0.08), 0.001);
  EXPECT_EIGEN_NEAR(tool.getBiasSolution().force, Eigen::Vector3d(0.5, -0.3, 1.0), 0.02);
  EXPECT_EIGEN_NEAR(tool.getBiasSolution().torque, Eigen::Vector3d(0.02, 0.01, -0.03), 0.005);
}

TEST(EstimationTool, SecondInitReplacesTheAlgorithm) {
  EstimationTool tool(handMotionConfig());
  CoutCapture out;
  tool.init();
  const Eigen::Matrix<double, 10, 1> prior = tool.getParamsSolution();
  for (const InertialSample& s : simulatedSamples(2.0, 3)) {
    tool.update(s);
  }
  ASSERT_GT((tool.getParamsSolution() - prior).norm(), 1e-3);
  tool.init();
  // Nothing learnt survives: the prior and the initial covariance are back.
  EXPECT_EIGEN_NEAR(tool.getParamsSolution(), prior, 0.0);
  EXPECT_EIGEN_NEAR(tool.getBiasSolution().force, Eigen::Vector3d::Zero(), 0.0);
  EXPECT_EIGEN_NEAR(tool.getBiasCovariance(), (Eigen::Matrix<double, 6, 6>::Ones()), 0.0);
}

}  // namespace
}  // namespace zelto
