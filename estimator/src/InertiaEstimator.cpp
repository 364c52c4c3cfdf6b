#include "InertiaEstimator.h"

#include <Eigen/Cholesky>
#include <cmath>

#include "Log.h"
#include "PhysicalConsistency.h"
#include "Sample.h"

namespace zelto {
namespace {

// A standard deviation below its bound; NaN counts as zero.
bool below(double threshold, double variance) {
  const double sigma = std::sqrt(variance);
  return threshold > (std::isnan(sigma) ? 0.0 : sigma);
}

}  // namespace

InertiaEstimator::InertiaEstimator(const EstimatorConfig& config)
    : tool_(std::make_unique<EstimationTool>(config)),
      convergenceThresholds_{config.thresholdMass, config.thresholdCom, config.thresholdInertia,
                             config.thresholdWrenchBias},
      config_(config) {}

InertiaEstimator::~InertiaEstimator() = default;

void InertiaEstimator::setConfig(const EstimatorConfig& config) {
  auto tool = std::make_unique<EstimationTool>(config);
  config_ = config;
  tool_ = std::move(tool);
  convergenceThresholds_ = {config.thresholdMass, config.thresholdCom, config.thresholdInertia,
                            config.thresholdWrenchBias};
  init();
}

void InertiaEstimator::init() {
  linearAcceleration_.clear();
  angularVelocity_.clear();
  force_.clear();
  torque_.clear();
  newSampleJoined_ = false;
  hasJoined_ = false;
  lastCentre_ = 0.0;
  repeatedInput_ = false;
  sampleCount_ = 0;
  gate_ = SampleGate();
  hasStoredSample_ = false;
  newestSampleTime_ = 0.0;
  tool_->init();
  logInfo("Estimator has been initialized");
}

void InertiaEstimator::imuCallback(const StampedVector3& linAcc, const StampedVector3& angVel) {
  // A host polling the sensor faster than it samples hands over each input several times;
  // counting them again would shrink the standard deviations without new information.
  repeatedInput_ = !angularVelocity_.empty() &&
                   std::abs(angVel.time - angularVelocity_.back().time) < kRepeatedTimeTolerance;
  if (repeatedInput_) {
    return;
  }
  linearAcceleration_.push(linAcc);
  angularVelocity_.push(angVel);
}

void InertiaEstimator::wrenchCallback(const StampedVector3& force, const StampedVector3& torque) {
  if (repeatedInput_) {
    repeatedInput_ = false;
    return;
  }
  force_.push(force);
  torque_.push(torque);
  if (!hasStoredSample_ || force.time > newestSampleTime_) {
    newestSampleTime_ = force.time;
  }
  hasStoredSample_ = true;
  if (angularVelocity_.empty()) {
    return;
  }

  // The centre is the newest input at least W old rather than exactly W before the newest
  // input: interpolated values between two inputs would average their noise and share it with
  // the neighbouring joined samples, and the estimate would count that noise as information.
  const double newest = angularVelocity_.back().time;
  double centre = 0.0;
  bool found = false;
  for (std::size_t i = angularVelocity_.size(); i-- > 0;) {
    if (angularVelocity_[i].time <= newest - kHalfWindow + kWindowTolerance) {
      centre = angularVelocity_[i].time;
      found = true;
      break;
    }
  }
  Eigen::Vector3d alpha;
  if (found && !(hasJoined_ && centre <= lastCentre_) && centredDerivative(centre, alpha)) {
    currentSample_.time = centre;
    currentSample_.linearAcceleration = linearAcceleration_.sampleAt(centre).value;
    currentSample_.angularVelocity = angularVelocity_.sampleAt(centre).value;
    currentSample_.angularAcceleration = alpha;
    currentSample_.force = force_.sampleAt(centre).value;
    currentSample_.torque = torque_.sampleAt(centre).value;
    newSampleJoined_ = true;
    hasJoined_ = true;
    lastCentre_ = centre;
  }
  // Later centres are no earlier than this one: what lies before its window is never read again.
  dropOlderThan((found ? centre : newest - kHalfWindow) - kHalfWindow - kWindowTolerance);
}

bool InertiaEstimator::centredDerivative(double centre, Eigen::Vector3d& alpha) const {
  const StampedHistory& w = angularVelocity_;
  const std::size_t n = w.size();
  std::size_t left = 0, right = 0;
  // Least-squares cubic ω(c + x·W) ≈ b0 + b1·x + b2·x² + b3·x³ over the window, x in [−1, 1]:
  // the normal equations in the scaled time x stay well conditioned whatever the rate and
  // however far the time stamps lie from zero. Their matrix holds only the sums of x⁰…x⁶.
  std::array<double, 7> powerSums{};
  Eigen::Matrix<double, 4, 3> moments = Eigen::Matrix<double, 4, 3>::Zero();
  for (std::size_t i = 0; i < n; ++i) {
    const double offset = w[i].time - centre;
    if (std::abs(offset) > kHalfWindow + kWindowTolerance) continue;
    const double x = offset / kHalfWindow;
    left += x < 0.0 ? 1 : 0;
    right += x > 0.0 ? 1 : 0;
    const double x2 = x * x;
    const double x3 = x2 * x;
    powerSums[0] += 1.0;
    powerSums[1] += x;
    powerSums[2] += x2;
    powerSums[3] += x3;
    powerSums[4] += x2 * x2;
    powerSums[5] += x2 * x3;
    powerSums[6] += x3 * x3;
    const Eigen::Vector3d& v = w[i].value;
    moments.row(0) += v.transpose();
    moments.row(1) += x * v.transpose();
    moments.row(2) += x2 * v.transpose();
    moments.row(3) += x3 * v.transpose();
  }
  if (left < kMinHalfWindowInputs || right < kMinHalfWindowInputs) {
    return false;
  }
  Eigen::Matrix4d normal;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) normal(r, c) = powerSums[static_cast<std::size_t>(r + c)];
  }
  const Eigen::Matrix<double, 4, 3> coefficients = normal.ldlt().solve(moments);
  alpha = coefficients.row(1).transpose() / kHalfWindow;
  return alpha.allFinite();
}

void InertiaEstimator::dropOlderThan(double time) {
  linearAcceleration_.dropOlderThan(time);
  angularVelocity_.dropOlderThan(time);
  force_.dropOlderThan(time);
  torque_.dropOlderThan(time);
}

bool InertiaEstimator::update() {
  if (!newSampleJoined_) {
    return true;
  }
  newSampleJoined_ = false;
  const SampleConsistency c = tool_->assess(currentSample_);
  switch (gate_.assess(currentSample_.time, c)) {
    case SampleGate::Decision::Feed:
      tool_->update(currentSample_);
      ++sampleCount_;
      break;
    case SampleGate::Decision::Restart:
      tool_->restart();
      sampleCount_ = 0;
      break;
    case SampleGate::Decision::Reject:
    case SampleGate::Decision::Hold:
      break;
  }
  reportGateEvent();
  return true;
}

void InertiaEstimator::reportGateEvent() const {
  // Lines on the update path are formatted on the stack: no allocation.
  MessageText line;
  switch (gate_.lastEvent()) {
    case SampleGate::Event::None:
      return;
    case SampleGate::Event::ContactStarted:
      logWarn("Contact detected: samples are left out of the estimate until it ends");
      return;
    case SampleGate::Event::ContactEnded:
      line << "Contact ended after ";
      line.appendFixed(gate_.lastContactDuration()) << " seconds; estimation goes on";
      logInfo(line.view());
      return;
    case SampleGate::Event::Restarted:
      logWarn("Contact lasted 3.5 seconds: the estimate is discarded and estimation starts again");
      return;
    case SampleGate::Event::NoiseSuspect:
      line << "Residuals do not fit the configured measurement noise: ";
      if (gate_.suspicion() == SampleGate::Suspicion::TorqueOverForce) {
        line << "torque rows ";
        line.appendFixed(gate_.noiseRatio())
            << " times the force rows (torque variances too small, or force or linear_acc "
               "variances too large?)";
      } else {
        line.appendFixed(100.0 * gate_.outlierShare())
            << " % of the samples exceed the outlier gate, 0.1 % expected (variances too small "
               "for some channels, or linear_acc variances too large?)";
      }
      line << "; outlier gate and contact detection are off for this run. Measure the "
              "variances with 'zelto-payload noise'";
      logWarn(line.view());
      return;
  }
}

InertiaEstimator::Vector16 InertiaEstimator::getParamsSolution() const {
  Vector16 solution;
  solution.head<10>() = tool_->getParamsSolution();
  const InertialSample bias = tool_->getBiasSolution();
  solution.segment<3>(10) = bias.force;
  solution.segment<3>(13) = bias.torque;
  return solution;
}

InertiaEstimator::Vector16 InertiaEstimator::getParamsVariance() const {
  Vector16 variance;
  variance.head<10>() = tool_->getParamsCovariance().diagonal();
  variance.tail<6>() = tool_->getBiasCovariance().diagonal();
  return variance;
}

bool InertiaEstimator::isConverged() const {
  // One query of each covariance: the algorithm evaluates its covariance on demand.
  const InertialCovariance params = tool_->getParamsCovariance();
  const BiasCovariance bias = tool_->getBiasCovariance();
  const auto& [mass, com, inertia, wrenchBias] = convergenceThresholds_;
  bool converged = below(mass, params(0, 0));
  for (int i = 1; i < 4; ++i) {
    converged = converged && below(com, params(i, i));
  }
  for (int i = 4; i < 10; ++i) {
    converged = converged && below(inertia, params(i, i));
  }
  for (int i = 0; i < 6; ++i) {
    converged = converged && below(wrenchBias, bias(i, i));
  }
  if (!converged || !tool_->hasAlgorithm()) {
    return converged;
  }
  if (gate_.blocksConvergence(currentSample_.time)) {
    return false;
  }
  // Small standard deviations around a body that cannot exist mean the motion has not told
  // the parameters apart yet (or something else is wrong): keep going.
  const InertialParameters p = tool_->getParamsSolution();
  Eigen::Matrix3d j;
  j << p(4), p(5), p(6), p(5), p(7), p(8), p(6), p(8), p(9);
  return checkPhysicalConsistency(p(0), p.segment<3>(1), j, inertia).consistent();
}

}  // namespace zelto
