#include "EstimationTool.h"

#include <limits>

#include "Log.h"
#include "RecursiveTLSWrenchBias.h"

namespace zelto {

EstimationTool::EstimationTool(const EstimatorConfig& config) : config_(config) {}

EstimationTool::~EstimationTool() = default;

Eigen::VectorXd EstimationTool::priorParameters(const EstimatorConfig& config) {
  // The estimator works with the first moment m·c, which enters the rigid-body equations
  // linearly, rather than with the centre of mass itself.
  const double m = config.priorMass;
  const auto& c = config.priorCom;
  const auto& inertia = config.priorInertia;
  Eigen::VectorXd prior(10);
  prior << m, m * c[0], m * c[1], m * c[2], inertia[0], inertia[1], inertia[2], inertia[3],
      inertia[4], inertia[5];
  return prior;
}

MeasurementNoise EstimationTool::measurementNoise(const EstimatorConfig& config) {
  const auto vector = [](const std::array<double, 3>& v) {
    return Eigen::Vector3d(v[0], v[1], v[2]);
  };
  MeasurementNoise noise;
  noise.linearAcceleration = vector(config.noiseLinearAcc);
  noise.angularVelocity = vector(config.noiseAngularVel);
  noise.angularAcceleration = vector(config.noiseAngularAcc);
  noise.force = vector(config.noiseForce);
  noise.torque = vector(config.noiseTorque);
  return noise;
}

void EstimationTool::init() {
  // Always a new object: nothing learnt from earlier samples survives a restart.
  algorithm_ = createRecursiveTLSWrenchBias(
      kFeedBlockSeconds, NoiseSampleRates{config_.rateLinearAcc, config_.rateAngularVel});
  algorithm_->init(priorParameters(config_), measurementNoise(config_), 1.0);
  logInfo("Estimation tool has been initialized");
}

PreparedSample EstimationTool::prepare(const InertialSample& sample) const {
  if (algorithm_) {
    return algorithm_->prepare(sample);
  }
  PreparedSample none;
  none.sample = sample;
  none.rows.setZero();
  for (auto& g : none.jacobians.force) g.setZero();
  for (auto& g : none.jacobians.torque) g.setZero();
  return none;
}

bool EstimationTool::feed(const PreparedSample& sample, double weight) {
  if (!algorithm_) {
    printLine("Warning: EstimationTool::update() called without initialized algorithm");
    return false;
  }
  return algorithm_->feed(sample, weight);
}

SampleConsistency EstimationTool::assess(const PreparedSample& sample) {
  if (!algorithm_) {
    SampleConsistency none;
    none.statistic = std::numeric_limits<double>::quiet_NaN();
    return none;
  }
  return algorithm_->assess(sample);
}

void EstimationTool::setAngularAccelerationVariances(const Eigen::Vector3d& fed,
                                                     const Eigen::Vector3d& judged) {
  if (algorithm_) {
    algorithm_->setAngularAccelerationVariances(fed, judged);
  }
}

void EstimationTool::restart() {
  if (algorithm_) {
    algorithm_->restart();
  }
}

double EstimationTool::getRayleighQuotient() const {
  return algorithm_ ? algorithm_->getRayleighQuotient() : std::numeric_limits<double>::quiet_NaN();
}

InertialParameters EstimationTool::getParamsSolution() const {
  return algorithm_ ? algorithm_->getParamsSolution() : InertialParameters::Zero();
}

InertialSample EstimationTool::getBiasSolution() const {
  return algorithm_ ? algorithm_->getBiasSolution() : InertialSample{};
}

InertialCovariance EstimationTool::getParamsCovariance() const {
  return algorithm_ ? algorithm_->getParamsCovariance() : InertialCovariance::Zero();
}

BiasCovariance EstimationTool::getBiasCovariance() const {
  return algorithm_ ? algorithm_->getBiasCovariance() : BiasCovariance::Zero();
}

EstimateReadout EstimationTool::readout() const {
  return algorithm_ ? algorithm_->readout() : EstimateReadout{};
}

InertiaIdentification EstimationTool::identifyInertia() const {
  return algorithm_ ? algorithm_->identifyInertia() : InertiaIdentification{};
}

}  // namespace zelto
