#include "InertiaEstimator.h"

#include <cmath>

#include "Log.h"
#include "PhysicalConsistency.h"

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
  run_ = Run(config_.imuDelay);
  tool_->init();
  logInfo("Estimator has been initialized");
}

std::optional<InertialSample> InertiaEstimator::join(const SplitSample& input) {
  std::optional<InertialSample> joined = run_.joiner.join(input);
  if (!run_.sparseReported && run_.joiner.tooSparse()) {
    run_.sparseReported = true;
    reportSparseInputs();
  }
  if (joined && !run_.angularAccChecked) {
    run_.angularAccChecked = true;
    checkAngularAccelerationVariance();
  }
  return joined;
}

SampleGate::Verdict InertiaEstimator::judge(const PreparedSample& sample) {
  const SampleGate::Verdict verdict =
      run_.attempt.gate.assess(sample.sample.time, tool_->assess(sample));
  run_.counts.count(verdict);
  return verdict;
}

void InertiaEstimator::apply(const SampleGate::Verdict& verdict, const PreparedSample& sample) {
  switch (verdict.decision) {
    case SampleGate::Decision::Feed:
      tool_->feed(sample, verdict.weight);
      ++run_.attempt.fed;
      break;
    case SampleGate::Decision::Restart:
      tool_->restart();
      run_.attempt = Attempt();
      break;
    case SampleGate::Decision::Reject:
    case SampleGate::Decision::Hold:
      break;
  }
  reportGateEvent(verdict.event);
}

void InertiaEstimator::reportSparseInputs() const {
  MessageText line;  // on the stack: the update path does not allocate
  line << "Inputs arrive every ";
  line.appendFixed(run_.joiner.inputPeriod()) << " seconds: too sparse to join (";
  line.appendFixed(DerivativeWindow::kMaxHalfWidth)
      << " seconds on either side of a sample must hold two inputs); nothing is estimated "
         "until they come at least every ";
  line.appendFixed(DerivativeWindow::kMaxHalfWidth / DerivativeWindow::kMinInputsPerHalf)
      << " seconds";
  logWarn(line.view());
}

void InertiaEstimator::checkAngularAccelerationVariance() {
  const double factor = DerivativeWindow::noiseFactor(run_.joiner.inputPeriod());
  const Eigen::Vector3d gyro(config_.noiseAngularVel[0], config_.noiseAngularVel[1],
                             config_.noiseAngularVel[2]);
  const Eigen::Vector3d floor = factor * gyro;
  const Eigen::Vector3d configured(config_.noiseAngularAcc[0], config_.noiseAngularAcc[1],
                                   config_.noiseAngularAcc[2]);
  if (!floor.allFinite() || (configured.array() >= floor.array()).all()) {
    return;
  }
  tool_->raiseAngularAccelerationVariance(floor);
  MessageText line;  // on the stack: the update path does not allocate
  line << "The configured angular_acc variance is below the derivative's own noise at this input "
          "rate (angular_vel variance x ";
  line.appendFixed(factor) << " = ";
  line.appendFixed(floor.maxCoeff()) << " rad^2/s^4 at most): the derivative's noise is used "
                                        "instead where it is larger";
  logWarn(line.view());
}

void InertiaEstimator::reportGateEvent(SampleGate::Event event) const {
  // Lines on the update path are formatted on the stack: no allocation.
  const SampleGate& gate = run_.attempt.gate;
  MessageText line;
  switch (event) {
    case SampleGate::Event::None:
      return;
    case SampleGate::Event::ContactStarted:
      logWarn("Contact detected: samples are left out of the estimate until it ends");
      return;
    case SampleGate::Event::ContactEnded:
      line << "Contact ended after ";
      line.appendFixed(gate.lastContactDuration()) << " seconds; estimation goes on";
      logInfo(line.view());
      return;
    case SampleGate::Event::Restarted:
      logWarn("Contact lasted 3.5 seconds: the estimate is discarded and estimation starts again");
      return;
    case SampleGate::Event::NoiseSuspect:
      line << "Residuals do not fit the configured measurement noise: ";
      if (gate.suspicion() == SampleGate::Suspicion::TorqueOverForce) {
        line << "torque rows ";
        line.appendFixed(gate.noiseRatio())
            << " times the force rows (torque variances too small, or force or linear_acc "
               "variances too large?)";
      } else {
        line.appendFixed(100.0 * gate.outlierShare())
            << " % of the samples exceed the outlier gate, 0.1 % expected (variances too small "
               "for some channels, or linear_acc variances too large?)";
      }
      line << "; outlier gate and contact detection are off for this run. Measure the "
              "variances with 'zelto-payload noise'";
      logWarn(line.view());
      return;
  }
}

InertiaEstimator::Estimate InertiaEstimator::estimate() const {
  const EstimateReadout r = tool_->readout();
  Estimate e;
  e.solution << r.params, r.bias.force, r.bias.torque;
  e.variance << r.paramsCovariance.diagonal(), r.biasCovariance.diagonal();
  e.covarianceDefined = r.covarianceDefined;
  return e;
}

InertiaEstimator::Vector16 InertiaEstimator::getParamsSolution() const {
  const InertialSample bias = tool_->getBiasSolution();
  Vector16 solution;
  solution << tool_->getParamsSolution(), bias.force, bias.torque;
  return solution;
}

InertiaEstimator::Vector16 InertiaEstimator::getParamsVariance() const {
  return estimate().variance;
}

bool InertiaEstimator::isConverged() const {
  const EstimateReadout r = tool_->readout();
  const InertialCovariance& params = r.paramsCovariance;
  const BiasCovariance& bias = r.biasCovariance;
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
  if (run_.attempt.gate.blocksConvergence(run_.joiner.lastJoinedTime())) {
    return false;
  }
  // Small standard deviations around a body that cannot exist mean the motion has not told
  // the parameters apart yet (or something else is wrong): keep going.
  const InertialParameters& p = r.params;
  Eigen::Matrix3d j;
  j << p(4), p(5), p(6), p(5), p(7), p(8), p(6), p(8), p(9);
  return checkPhysicalConsistency(p(0), p.segment<3>(1), j, inertia).consistent();
}

}  // namespace zelto
