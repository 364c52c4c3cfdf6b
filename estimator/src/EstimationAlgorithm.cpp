#include "EstimationAlgorithm.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "Log.h"

namespace zelto {
namespace {

constexpr const char* kNanMessage =
    "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!";

// Below this |1 + rᵀ·P·r| the Sherman–Morrison update would divide by (almost) zero; P is
// positive definite in exact arithmetic, so this only happens once rounding has broken it.
constexpr double kMinDenominator = 1e-12;

std::string list(const double* values, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      text += ", ";
    }
    text += formatFixed(values[i]);
  }
  return text;
}

std::string list(const Eigen::Vector3d& v) { return list(v.data(), 3); }

}  // namespace

MeasurementVector MeasurementNoise::asVector() const {
  MeasurementVector v;
  v << linearAcceleration, angularVelocity, angularAcceleration, force, torque;
  return v;
}

MeasurementNoise MeasurementNoise::fromVector(const MeasurementVector& variances) {
  MeasurementNoise noise;
  noise.linearAcceleration = variances.segment<3>(0);
  noise.angularVelocity = variances.segment<3>(3);
  noise.angularAcceleration = variances.segment<3>(6);
  noise.force = variances.segment<3>(9);
  noise.torque = variances.segment<3>(12);
  return noise;
}

EstimationAlgorithm::TlsState::TlsState(const ParameterVector& prior, double forgettingFactor)
    : parameterVector(prior), covarianceEstimator(forgettingFactor) {}

EstimationAlgorithm::EstimationAlgorithm() = default;

EstimationAlgorithm::~EstimationAlgorithm() = default;

void EstimationAlgorithm::requireInitialized() const {
  if (!initialized_) {
    throw std::logic_error("EstimationAlgorithm used before init()");
  }
}

void EstimationAlgorithm::init(const Eigen::VectorXd& prior, const MeasurementNoise& noise,
                               double factor) {
  if (prior.size() > kNumParameters) {
    throw std::invalid_argument("EstimationAlgorithm::init: prior has " +
                                std::to_string(prior.size()) + " entries, at most 16 allowed");
  }
  if (getNumParameters() != kNumParameters) {
    throw std::logic_error("EstimationAlgorithm supports 16 parameters only");
  }
  measurementNoise = noise;
  judgedAngularAcceleration = noise.angularAcceleration;
  forgettingFactor = factor;
  numParameters = getNumParameters();
  augmentedSize = numParameters + 1;
  prior_.setZero();
  prior_.head(prior.size()) = prior;
  startRun();
  initialized_ = true;

  const ParameterVector& t = tls.parameterVector;
  logInfo(std::string(88, '='));
  logInfo("[ESTIMATOR ALGORITHM] Payload prior set to:");
  logInfo("  Mass: " + formatFixed(t(0)));
  // The first moments m·c are shown as stored, not divided by the mass.
  logInfo("  CoM: [" + list(t.data() + 1, 3) + "]");
  logInfo("  Inertia: [" + list(t.data() + 4, 6) + "]");
  logInfo("  Force bias: [" + list(t.data() + 10, 3) + "]");
  logInfo("  Torque bias: [" + list(t.data() + 13, 3) + "]");
  logInfo(std::string(89, '-'));
  logInfo("[ESTIMATOR ALGORITHM] Measurement noise covariance set to:");
  logInfo("  Force: [" + list(noise.force) + "]");
  logInfo("  Torque: [" + list(noise.torque) + "]");
  logInfo("  Lin acc: [" + list(noise.linearAcceleration) + "]");
  logInfo("  Ang vel: [" + list(noise.angularVelocity) + "]");
  logInfo("  Ang acc: [" + list(noise.angularAcceleration) + "]");
  logInfo(std::string(88, '='));
}

void EstimationAlgorithm::startRun() { tls = TlsState(prior_, forgettingFactor); }

void EstimationAlgorithm::restart() {
  requireInitialized();
  startRun();
}

void EstimationAlgorithm::updateParameterVector(const AugmentedVector& row,
                                                const AugmentedMatrix& rowErrorCovariance) {
  updateRow(row, rowErrorCovariance, false);
}

void EstimationAlgorithm::updateParameterVectorStructured(
    const AugmentedVector& row, const AugmentedMatrix& rowErrorCovariance) {
  updateRow(row, rowErrorCovariance, true);
}

void EstimationAlgorithm::updateRow(const AugmentedVector& r, const AugmentedMatrix& q,
                                    bool structuredCovariance) {
  ParameterVector& theta = tls.parameterVector;
  AugmentedMatrix& p = tls.inverseCorrelation;
  if (theta.hasNaN()) {
    throw std::runtime_error(kNanMessage);
  }

  // Recursive least squares, Sherman–Morrison form: P = (I/100 + Σ r·rᵀ)⁻¹ gains the row
  // through (P⁻¹ + r·rᵀ)⁻¹ = P − P·r·rᵀ·P / (1 + rᵀ·P·r). P is symmetric, so rᵀ·P = (P·r)ᵀ.
  const AugmentedVector pr = p * r;
  const double den = 1.0 + r.dot(pr);
  if (std::abs(den) < kMinDenominator) {
    return;
  }
  if (den > 0.0) {
    // As u·uᵀ with u = P·r/√den the update stays exactly symmetric in floating point.
    const AugmentedVector u = pr / std::sqrt(den);
    p.noalias() -= u * u.transpose();
  } else {
    const AugmentedVector k = pr / den;
    p.noalias() -= k * pr.transpose();
  }

  // Inverse iteration for the pencil (Σ r·rᵀ + I/100, Q̄): v = P·Q̄·w, then rescale v so that
  // its last entry is −1. Q̄ is the mean row error covariance; its scale cancels in θ.
  ++tls.rowCount;
  const double weight = 1.0 / tls.rowCount;
  AugmentedMatrix& meanQ = tls.meanRowErrorCovariance;
  AugmentedVector w;
  w << theta, -1.0;
  AugmentedVector v;
  // Infinite entries of θ (after v[16] = 0) must meet the zero blocks of Q̄ to turn into NaN
  // as in the full product, so the structured shortcut needs a finite w.
  if (structuredCovariance && tls.meanIsBlockDiagonal && theta.allFinite()) {
    auto meanBlock = meanQ.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    meanBlock += weight * (q.topLeftCorner<kStructuredBlock, kStructuredBlock>() - meanBlock);
    meanQ(kLast, kLast) += weight * (q(kLast, kLast) - meanQ(kLast, kLast));
    const Eigen::Matrix<double, kStructuredBlock, 1> qw = meanBlock * w.head<kStructuredBlock>();
    v.noalias() = p.leftCols<kStructuredBlock>() * qw;
    v.noalias() += p.col(kLast) * (meanQ(kLast, kLast) * w(kLast));
  } else {
    if (!structuredCovariance) {
      tls.meanIsBlockDiagonal = false;
    }
    meanQ += weight * (q - meanQ);
    const AugmentedVector qw = meanQ * w;
    v.noalias() = p * qw;
  }
  theta = -v.head<kNumParameters>() / v(kLast);
}

TlsCovarianceEstimator::Evaluation EstimationAlgorithm::parameterCovariance() const {
  if (!initialized_) {
    return {ParameterMatrix::Zero(), false};
  }
  if (tls.consumedSamples == 0) {
    return {ParameterMatrix::Ones(), false};
  }
  return tls.covarianceEstimator.evaluate();
}

InertialParameters EstimationAlgorithm::getParamsSolution() const {
  InertialParameters solution = InertialParameters::Zero();
  if (!initialized_) {
    return solution;
  }
  const ParameterVector& t = tls.parameterVector;
  solution(0) = t(0);
  solution.segment<3>(1) = t.segment<3>(1) / t(0);
  solution.tail<6>() = t.segment<6>(4);
  return solution;
}

InertialCovariance EstimationAlgorithm::propagateToCentreOfMass(
    const ParameterMatrix& thetaCovariance) const {
  if (!initialized_) {
    return InertialCovariance::Zero();
  }
  const InertialCovariance s = thetaCovariance.topLeftCorner<10, 10>();
  // First-order propagation from (m, m·c) to (m, c): ∂c/∂m = −(m·c)/m², ∂c/∂(m·c) = I/m.
  const ParameterVector& t = tls.parameterVector;
  const double m = t(0);
  InertialCovariance j = InertialCovariance::Identity();
  for (int k = 1; k <= 3; ++k) {
    j(k, 0) = -t(k) / (m * m);
    j(k, k) = 1.0 / m;
  }
  return j * s * j.transpose();
}

InertialCovariance EstimationAlgorithm::getParamsCovariance() const {
  return propagateToCentreOfMass(parameterCovariance().covariance);
}

bool EstimationAlgorithm::isCovarianceDefined() const {
  return initialized_ && tls.rowCount > 0 && parameterCovariance().defined;
}

BiasCovariance EstimationAlgorithm::getBiasCovariance() const {
  return parameterCovariance().covariance.bottomRightCorner<6, 6>();
}

InertiaIdentification EstimationAlgorithm::identifyInertia() const {
  if (!initialized_ || tls.consumedSamples == 0) {
    return {};
  }
  // The information the estimate takes for motion is S − λ·C, the same bias-corrected
  // information its covariance rests on; λ absorbs a common scale error of the configured
  // variances. Without any error variance configured there is no scale and nothing to remove.
  const TlsCovarianceEstimator& tracker = tls.covarianceEstimator;
  double lambda = getRayleighQuotient();
  if (!std::isfinite(lambda) || !(lambda > 0.0)) {
    lambda = 0.0;
  }
  ParameterMatrix information = tracker.getInformationSum().topLeftCorner<16, 16>();
  for (int t = 0; t < kRowsPerSample; ++t) {
    information -= lambda * tracker.getRowTypeErrorCovariance(t).topLeftCorner<16, 16>();
  }
  return zelto::identifyInertia(information, lambda * tls.uncountedNoise);
}

EstimateReadout EstimationAlgorithm::readout() const {
  const TlsCovarianceEstimator::Evaluation c = parameterCovariance();
  EstimateReadout r;
  r.params = getParamsSolution();
  r.bias = getBiasSolution();
  r.paramsCovariance = propagateToCentreOfMass(c.covariance);
  r.biasCovariance = c.covariance.bottomRightCorner<6, 6>();
  r.covarianceDefined = initialized_ && tls.rowCount > 0 && c.defined;
  return r;
}

}  // namespace zelto
