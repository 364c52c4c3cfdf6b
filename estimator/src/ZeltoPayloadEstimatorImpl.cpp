#include "ZeltoPayloadEstimatorImpl.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <limits>

#include "EstimationReport.h"
#include "Log.h"
#include "PayloadParameterFile.h"

namespace zelto {
namespace {

// The version line comes first, before the configuration is read.
EstimatorConfig loadConfiguration(const std::string& configPath) {
  printVersion("ZeltoPayloadEstimator version: V");
  return parseConfiguration(configPath);
}

}  // namespace

std::int64_t ZeltoPayloadEstimatorImpl::steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ZeltoPayloadEstimatorImpl::ZeltoPayloadEstimatorImpl(const std::string& configPath, Clock clock)
    : config_(loadConfiguration(configPath)), inertiaEstimator_(config_), clock_(clock) {
  logInfo("Zelto Payload Estimator has been initialized successfully");
}

ZeltoPayloadEstimatorImpl::~ZeltoPayloadEstimatorImpl() = default;

bool ZeltoPayloadEstimatorImpl::isEstimationSuccessful() const {
  return state_ == EstimatorState::Idle && lastRunSucceeded_ &&
         inertiaEstimator_.conclude().outcome != InertiaEstimator::Outcome::None;
}

void ZeltoPayloadEstimatorImpl::initializeEstimator() {
  logInfo("Initializing estimator");
  try {
    inertiaEstimator_.setConfig(config_);
  } catch (const std::exception&) {
    initialized_ = false;
    throw;
  }
  initialized_ = true;
  logInfo("Estimator initialized");
}

bool ZeltoPayloadEstimatorImpl::startPayloadEstimation() {
  // Every call discards the previous estimate, so the previous run's success is gone too.
  lastRunSucceeded_ = false;
  initializeEstimator();
  if (state_ != EstimatorState::Estimating) {
    state_ = EstimatorState::Estimating;
    startTime_ = clock_();
    logInfo("Payload estimation has started successfully");
    logInfo("Tool should not be in contact while estimator is running!");
    return true;
  }
  endRun(elapsedSeconds());
  // The test sees the estimate just re-initialised above.
  if (!inertiaEstimator_.isConverged()) {
    printLine("[InertialWrenchCompensation] stopped estimator before convergence.");
  }
  return true;
}

ZeltoControlReturnCode ZeltoPayloadEstimatorImpl::update(double time, const SensorArray& sample) {
  requireImuData(sample);
  if (state_ != EstimatorState::Estimating) {
    return ZeltoControlReturnCode::Ok;
  }
  if (!initialized_) {
    logError("Estimator is running but not properly initialized");
    return ZeltoControlReturnCode::Error;
  }
  // A NaN, an infinity or an overflowing value would poison the estimate for the rest of the
  // run.
  if (const char* message = refusedValuesMessage(time, sample)) {
    logError(message);
    return ZeltoControlReturnCode::Error;
  }
  // The histories and filters assume non-decreasing times; a repeat within the tolerance is
  // handled downstream (the IMU side drops it).
  if (inertiaEstimator_.hasStoredSample() &&
      goesBackwards(time, inertiaEstimator_.newestSampleTime())) {
    logError(kBackwardsTimeMessage);
    return ZeltoControlReturnCode::Error;
  }

  // One pass per input: the input joins (or completes nothing yet), the joined samples' rows
  // are built once, the gate judges them and the rows it lets through are fed.
  try {
    inertiaEstimator_.process(inertiaEstimator_.join(splitSample(time, sample)));
  } catch (const std::exception& e) {
    // The algorithm's fatal error (a NaN in the estimate) would stay in every later update:
    // the run ends here, unsuccessful, and the caller of this update still gets the error.
    logError(e.what());
    endRun(elapsedSeconds());
    lastRunSucceeded_ = false;
    throw;
  }

  const double elapsed = elapsedSeconds();
  if (elapsed > config_.minTime && inertiaEstimator_.isConverged()) {
    InertiaEstimator::Conclusion converged;
    converged.outcome = InertiaEstimator::Outcome::Converged;
    converged.inertiaIdentified = kAllInertiaIdentified;
    finishRun(elapsed, converged);
  } else if (elapsed > config_.maxTime) {
    // The end of the run: the motion will not identify more, so a result for static
    // compensation counts now.
    if (elapsed > config_.minTime) {
      const InertiaEstimator::Conclusion conclusion = inertiaEstimator_.conclude();
      if (conclusion.outcome != InertiaEstimator::Outcome::None) {
        finishRun(elapsed, conclusion);
        return ZeltoControlReturnCode::Ok;
      }
    }
    MessageText line;  // on the stack: update() does not allocate
    line << "Estimator did not converge within the maximum time limit of ";
    line.appendFixed(config_.maxTime) << " seconds.";
    logError(line.view());
    endRun(elapsed);
  }
  return ZeltoControlReturnCode::Ok;
}

bool ZeltoPayloadEstimatorImpl::finishPayloadEstimation() {
  if (state_ != EstimatorState::Estimating || !initialized_) {
    return false;
  }
  const double elapsed = elapsedSeconds();
  if (!(elapsed > config_.minTime)) {
    return false;
  }
  const InertiaEstimator::Conclusion conclusion = inertiaEstimator_.conclude();
  if (conclusion.outcome == InertiaEstimator::Outcome::None) {
    return false;
  }
  finishRun(elapsed, conclusion);
  return true;
}

void ZeltoPayloadEstimatorImpl::finishRun(double elapsedSeconds,
                                          const InertiaEstimator::Conclusion& conclusion) {
  if (conclusion.outcome == InertiaEstimator::Outcome::Converged) {
    logInfo("Estimator converged in " + formatFixed(elapsedSeconds) + " seconds.");
  } else {
    logWarn("Estimator converged for static compensation in " + formatFixed(elapsedSeconds) +
            " seconds: the motion did not identify the inertia entries " +
            unidentifiedInertiaNames(conclusion.inertiaIdentified) +
            "; keep dynamic compensation off");
  }
  // The converged file is the estimate as the algorithm holds it; a static one replaces the
  // unidentified inertia (see InertiaEstimator::conclude).
  const bool written = writePayloadParameterFile(
      config_,
      [this, &conclusion] {
        return conclusion.outcome == InertiaEstimator::Outcome::Converged
                   ? Eigen::VectorXd(inertiaEstimator_.getParamsSolution())
                   : Eigen::VectorXd(conclusion.solution);
      },
      conclusion.inertiaIdentified);
  const GateCounts& counts = inertiaEstimator_.gateCounts();
  const double assessed = static_cast<double>(counts.assessed);
  InertiaEstimator::Estimate estimate = inertiaEstimator_.estimate();
  if (conclusion.outcome == InertiaEstimator::Outcome::Static) {
    estimate.solution.segment<6>(4) = conclusion.solution.segment<6>(4);
  }
  printEstimationReport(estimate.solution, estimate.variance, elapsedSeconds,
                        assessed > 0.0 ? static_cast<double>(counts.rejected) / assessed : 0.0,
                        counts.episodes, conclusion.inertiaIdentified);
  endRun(elapsedSeconds);
  lastRunSucceeded_ = written;
}

double ZeltoPayloadEstimatorImpl::elapsedSeconds() const {
  return static_cast<double>(clock_() - startTime_) / 1e9;
}

void ZeltoPayloadEstimatorImpl::endRun(double elapsedSeconds) {
  state_ = EstimatorState::Idle;
  endedRunTime_ = elapsedSeconds;
}

double ZeltoPayloadEstimatorImpl::getRunTime() const {
  return state_ == EstimatorState::Estimating ? elapsedSeconds() : endedRunTime_;
}

bool ZeltoPayloadEstimatorImpl::getEstimate(std::array<double, 16>& estimate,
                                            std::array<double, 16>& standardDeviation) const {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (inertiaEstimator_.sampleCount() == 0) {
    estimate.fill(kNaN);
    standardDeviation.fill(kNaN);
    return false;
  }
  const InertiaEstimator::Estimate e = inertiaEstimator_.estimate();
  const bool defined = e.covarianceDefined;
  bool finite = defined;
  for (std::size_t i = 0; i < 16; ++i) {
    const auto k = static_cast<Eigen::Index>(i);
    estimate[i] = e.solution(k);
    standardDeviation[i] = defined ? std::sqrt(e.variance(k)) : kNaN;
    finite = finite && std::isfinite(estimate[i]) && std::isfinite(standardDeviation[i]);
  }
  if (!finite) {
    // An estimate that broke down (the fatal NaN error) has no standard deviations either.
    standardDeviation.fill(kNaN);
  }
  return finite;
}

}  // namespace zelto
