#include "InertiaEstimator.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "Log.h"
#include "Sample.h"

namespace zelto {
namespace {

// Joins of all estimators in the process. Pruning starts with the tenth join; the count
// saturates at its largest value instead of wrapping, so pruning never stops.
std::atomic<std::int32_t> g_joinCount{0};
constexpr std::int32_t kJoinsBeforePruning = 10;

std::int32_t countJoin() {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int32_t current = g_joinCount.load(std::memory_order_relaxed);
  while (current < kMax &&
         !g_joinCount.compare_exchange_weak(current, current + 1, std::memory_order_relaxed)) {
  }
  return current < kMax ? current + 1 : kMax;
}

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
      config_(config) {
  // Ready for samples even before the first init(), which configures them again.
  configureFilters();
}

InertiaEstimator::~InertiaEstimator() = default;

int InertiaEstimator::joinCount() { return g_joinCount.load(std::memory_order_relaxed); }

void InertiaEstimator::setConfig(const EstimatorConfig& config) {
  auto tool = std::make_unique<EstimationTool>(config);
  config_ = config;
  tool_ = std::move(tool);
  convergenceThresholds_ = {config.thresholdMass, config.thresholdCom, config.thresholdInertia,
                            config.thresholdWrenchBias};
  init();
}

void InertiaEstimator::init() {
  rawLinAcc_.clear();
  rawAngVel_.clear();
  rawForce_.clear();
  rawTorque_.clear();
  smoothedLinAcc_.clear();
  smoothedAngVel_.clear();
  angAcc_.clear();
  imuRecords_.clear();
  wrenchRecords_.clear();
  newSampleJoined_ = false;
  sampleCount_ = 0;
  hasStoredSample_ = false;
  newestSampleTime_ = 0.0;

  configureFilters();
  tool_->init();
  logInfo("Estimator has been initialized");
}

void InertiaEstimator::configureFilters() {
  imuSmoothing_.configure("filter", "coeffs", "smoothing", "imu", false);
  ftSmoothing_.configure("filter", "coeffs", "smoothing", "ft", false);
  angVelDifferentiation_.configure("filter", "coeffs", "differentiation", "ang_vel", true);
  angAccFilter_.setTimeConstant(0.1);  // s
}

void InertiaEstimator::imuCallback(const StampedVector3& linAcc, const StampedVector3& angVel) {
  if (!rawLinAcc_.empty() &&
      std::abs(linAcc.time - rawLinAcc_.back().time) < kRepeatedTimeTolerance) {
    return;  // the same IMU sample again
  }
  rawLinAcc_.push(linAcc);
  rawAngVel_.push(angVel);
  if (rawLinAcc_.size() < imuSmoothing_.getNumCoeffs()) {
    return;
  }
  smoothedLinAcc_.push(imuSmoothing_.apply(rawLinAcc_));
  smoothedAngVel_.push(imuSmoothing_.apply(rawAngVel_));
  if (smoothedAngVel_.size() < EMAFilter::getMinSamples()) {
    return;
  }
  angAcc_.push(angAccFilter_.apply(smoothedAngVel_));
  if (canSyncImu(smoothedLinAcc_, smoothedAngVel_, angAcc_)) {
    imuRecords_.push(syncImu(smoothedLinAcc_, smoothedAngVel_, angAcc_));
  } else {
    printLine("IMU Callback: Can't sync linAcc, angVel and angAcc, wait for more data...");
  }
}

void InertiaEstimator::wrenchCallback(const StampedVector3& force, const StampedVector3& torque) {
  rawForce_.push(force);
  rawTorque_.push(torque);
  if (!hasStoredSample_ || force.time > newestSampleTime_) {
    newestSampleTime_ = force.time;
  }
  hasStoredSample_ = true;
  if (rawForce_.size() < ftSmoothing_.getNumCoeffs()) {
    return;
  }
  const StampedVector3 smoothedForce = ftSmoothing_.apply(rawForce_);
  const StampedVector3 smoothedTorque = ftSmoothing_.apply(rawTorque_);
  wrenchRecords_.push(WrenchRecord{smoothedForce.time, smoothedForce.value, smoothedTorque.value});
  if (imuRecords_.empty() || !canSyncImuWrench(imuRecords_, wrenchRecords_)) {
    return;
  }
  currentSample_ = syncImuWrench(imuRecords_, wrenchRecords_);
  newSampleJoined_ = true;
  if (countJoin() >= kJoinsBeforePruning) {
    pruneHistories();
  }
}

void InertiaEstimator::pruneHistories() {
  rawLinAcc_.prune();
  rawAngVel_.prune();
  rawForce_.prune();
  rawTorque_.prune();
  smoothedLinAcc_.prune();
  smoothedAngVel_.prune();
  angAcc_.prune();
  imuRecords_.prune();
  wrenchRecords_.prune();
}

bool InertiaEstimator::update() {
  if (newSampleJoined_) {
    newSampleJoined_ = false;
    tool_->update(currentSample_);
    ++sampleCount_;
  }
  return true;
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
  return converged;
}

}  // namespace zelto
