#include "RecursiveTLSWrenchBias.h"

#include <atomic>
#include <chrono>
#include <cstdint>

#include "Log.h"

namespace zelto {
namespace {

constexpr std::int64_t kProgressPeriodNs = 1'000'000'000;

std::int64_t steadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// At most one line per second of steady-clock time for the whole process. The time point is
// set the first time a sample gets here, so the first line comes a second after that; of
// several threads that find the second elapsed, only the one whose exchange succeeds prints.
void printProgressLine() {
  static std::atomic<std::int64_t> lastLineNs{steadyNowNs()};
  const std::int64_t now = steadyNowNs();
  std::int64_t last = lastLineNs.load(std::memory_order_relaxed);
  if (now - last < kProgressPeriodNs) {
    return;
  }
  if (!lastLineNs.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
    return;
  }
  // The line holds no number, so standard output's format is left alone: changing it here
  // would race with whatever another thread is printing.
  logInfoRuntime("[ESTIMATOR] Estimating, keep moving the payload...");
}

}  // namespace

RecursiveTLSWrenchBias::RecursiveTLSWrenchBias()
    : observationModel(std::make_unique<ObservationModelTLSWrenchBias>()),
      errorModel(std::make_unique<ErrorModelTLSWrenchBias>()) {
  for (AugmentedMatrix& q : rowErrorCovariance_) {
    q.setZero();
  }
}

RecursiveTLSWrenchBias::~RecursiveTLSWrenchBias() = default;

bool RecursiveTLSWrenchBias::update(const InertialSample& sample) {
  requireInitialized();
  const AugmentedObservation d = observationModel->getAugmentedObservation(sample);
  errorModel->updateJacobians(sample);
  const MeasurementVector variances = measurementNoise.asVector();
  for (int i = 0; i < kRowsPerSample; ++i) {
    errorModel->writeRowErrorCovariance(i, variances, rowErrorCovariance_[i]);
    updateParameterVectorStructured(d.row(i).transpose(), rowErrorCovariance_[i]);
  }
  // The tracker's sums do not depend on θ and it keeps only the newest θ, so handing it the
  // six rows once they all went through leaves it exactly where row-by-row hand-over would.
  // A NaN error in the middle of the sample thus leaves the tracker, and the reported
  // covariance, at the previous sample.
  for (int i = 0; i < kRowsPerSample; ++i) {
    covarianceEstimator.addStructuredRow(parameterVector, d.row(i).transpose(),
                                         rowErrorCovariance_[i], i);
  }
  markSampleConsumed();
  printProgressLine();
  return true;
}

InertialSample RecursiveTLSWrenchBias::getBiasSolution() const {
  InertialSample bias;
  bias.force = parameterVector.segment<3>(10);
  bias.torque = parameterVector.segment<3>(13);
  return bias;
}

InertialSample RecursiveTLSWrenchBias::getBiasVariance() const {
  printLine("RecursiveTLSWrenchBias Bias Variance not implemented!");
  return InertialSample{};
}

std::unique_ptr<EstimationAlgorithm> createRecursiveTLSWrenchBias() {
  return std::make_unique<RecursiveTLSWrenchBias>();
}

}  // namespace zelto
