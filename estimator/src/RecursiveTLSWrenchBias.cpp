#include "RecursiveTLSWrenchBias.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

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
  uncountedCovariance_.setZero();
  for (AugmentedMatrix& q : ratedCovariance_) {
    q.setZero();
  }
  for (auto& g : noMotion_.force) g.setZero();
  for (auto& g : noMotion_.torque) g.setZero();
  clearSampleSums();
}

RecursiveTLSWrenchBias::~RecursiveTLSWrenchBias() = default;

// Sample time between two refreshes of the covariance and λ that assess() uses: they change
// slowly, and a span of time (not a count of samples) keeps them as fresh at any rate.
constexpr double kAssessRefreshPeriod = 0.25;

Eigen::Matrix<double, kRowsPerSample, kRowsPerSample> RecursiveTLSWrenchBias::projectedCovariance(
    const AugmentedObservation& d, const ParameterMatrix& c) {
  // Only these blocks of H can be non-zero: the force rows hold m, h (columns 0..3) and the
  // force bias (10..12), the torque rows h, the inertia (1..9) and the torque bias (13..15).
  // Skipping the rest takes about 40 % of the work of the dense product.
  const auto forceLeft = d.block<3, 4>(0, 0);
  const auto forceBias = d.block<3, 3>(0, 10);
  const auto torqueLeft = d.block<3, 9>(3, 1);
  const auto torqueBias = d.block<3, 3>(3, 13);
  Eigen::Matrix<double, kRowsPerSample, kNumParameters> hc;
  hc.topRows<3>() =
      forceLeft.lazyProduct(c.topRows<4>()) + forceBias.lazyProduct(c.middleRows<3>(10));
  hc.bottomRows<3>() =
      torqueLeft.lazyProduct(c.middleRows<9>(1)) + torqueBias.lazyProduct(c.middleRows<3>(13));
  Eigen::Matrix<double, kRowsPerSample, kRowsPerSample> hch;
  hch.leftCols<3>() = hc.leftCols<4>().lazyProduct(forceLeft.transpose()) +
                      hc.middleCols<3>(10).lazyProduct(forceBias.transpose());
  hch.rightCols<3>() = hc.middleCols<9>(1).lazyProduct(torqueLeft.transpose()) +
                       hc.middleCols<3>(13).lazyProduct(torqueBias.transpose());
  return hch;
}

void RecursiveTLSWrenchBias::trackExcitation(const InertialSample& sample) {
  Eigen::Matrix<double, 9, 1> x;
  x << sample.linearAcceleration, sample.angularVelocity, sample.angularAcceleration;
  ++run_.excitationCount;
  const Eigen::Matrix<double, 9, 1> delta = x - run_.excitationMean;
  run_.excitationMean += delta / static_cast<double>(run_.excitationCount);
  run_.excitationSquares += delta.cwiseProduct(x - run_.excitationMean);
}

MeasurementVector RecursiveTLSWrenchBias::effectiveVariances() const {
  MeasurementVector variances = measurementNoise.asVector();
  const double n = static_cast<double>(run_.excitationCount);
  for (int k = 0; k < 9; ++k) {
    // A channel the motion leaves (nearly) still shows its noise only; counting that noise
    // would let the correction "explain" residuals with parameters the motion cannot see.
    const double spread = n > 0.0 ? run_.excitationSquares(k) / n : 0.0;
    if (!(spread >= kExcitationFactor * variances(k))) {
      variances(k) = 0.0;
    }
  }
  return variances;
}

void RecursiveTLSWrenchBias::startRun() {
  EstimationAlgorithm::startRun();
  run_ = Run();
  clearSampleSums();
}

void RecursiveTLSWrenchBias::clearSampleSums() {
  for (std::size_t t = 0; t < kRowsPerSample; ++t) {
    sampleSquares_[t].setZero();
    sampleErrors_[t].setZero();
  }
  block_.clear();
}

PreparedSample RecursiveTLSWrenchBias::prepare(const InertialSample& sample) const {
  return {sample, observationModel->getAugmentedObservation(sample),
          errorModel->sampleJacobians(sample)};
}

SampleConsistency RecursiveTLSWrenchBias::assess(const PreparedSample& prepared) {
  requireInitialized();
  SampleConsistency result;
  if (!run_.assessDefined ||
      (run_.fedSinceRefresh && prepared.sample.time - run_.refreshTime >= kAssessRefreshPeriod)) {
    const TlsCovarianceEstimator::Evaluation c = parameterCovariance();
    run_.assessCovariance = c.covariance;
    // Each row type's residuals against its own configured noise: a channel configured too
    // low or too high by any factor is judged on its own scale. A type without error variance
    // takes the common scale.
    AugmentedVector wNow;
    wNow << tls.parameterVector, -1.0;
    std::array<double, kRowsPerSample> scales{};
    double squares = 0.0;
    double errors = 0.0;
    for (std::size_t t = 0; t < kRowsPerSample; ++t) {
      const double r = wNow.dot(sampleSquares_[t].selfadjointView<Eigen::Upper>() * wNow);
      const double c = wNow.dot(sampleErrors_[t] * wNow);
      scales[t] = r / c;
      squares += r;
      errors += c;
    }
    const double common = squares / errors;
    for (std::size_t t = 0; t < kRowsPerSample; ++t) {
      const double scale = std::isfinite(scales[t]) && scales[t] > 0.0 ? scales[t] : common;
      run_.assessScaleRoots(static_cast<Eigen::Index>(t)) = std::sqrt(scale);
    }
    run_.assessDefined = tls.rowCount > 0 && c.defined && std::isfinite(common) && common > 0.0 &&
                         run_.assessScaleRoots.allFinite();
    run_.fedSinceRefresh = false;
    run_.refreshTime = prepared.sample.time;
  }
  if (!run_.assessDefined) {
    result.statistic = std::numeric_limits<double>::quiet_NaN();
    return result;
  }
  const AugmentedObservation& d = prepared.rows;
  AugmentedVector w;
  w << tls.parameterVector, -1.0;
  const Eigen::Matrix<double, kRowsPerSample, 1> e = d * w;
  // R = U·Σ·Uᵀ with U = ∂e/∂z: row i of U is wᵀ·G_i.
  Eigen::Matrix<double, kRowsPerSample, kNumMeasurements> u;
  for (int i = 0; i < kRowsPerSample; ++i) {
    u.row(i) = errorModel->residualSensitivity(i, prepared.jacobians, w);
  }
  MeasurementVector variances = measurementNoise.asVector();
  variances.segment<3>(6) = judgedAngularAcceleration;
  // Coefficient-wise (lazy) products: for these small fixed sizes they beat the blocked kernel.
  const Eigen::Matrix<double, kRowsPerSample, kNumMeasurements> scaled = u * variances.asDiagonal();
  Eigen::Matrix<double, kRowsPerSample, kRowsPerSample> s = run_.assessScaleRoots.asDiagonal() *
                                                            scaled.lazyProduct(u.transpose()) *
                                                            run_.assessScaleRoots.asDiagonal();
  s.noalias() += projectedCovariance(d, run_.assessCovariance);
  const Eigen::LLT<Eigen::Matrix<double, kRowsPerSample, kRowsPerSample>> llt(s);
  if (llt.info() != Eigen::Success || !(s.diagonal().minCoeff() > 0.0)) {
    result.statistic = std::numeric_limits<double>::quiet_NaN();
    return result;
  }
  result.statistic = e.dot(llt.solve(e));
  result.normalised = e.cwiseQuotient(s.diagonal().cwiseSqrt())
                          .cwiseMax(-SampleConsistency::kClip)
                          .cwiseMin(SampleConsistency::kClip);
  return result;
}

void RecursiveTLSWrenchBias::FeedBlock::clear() {
  for (std::size_t i = 0; i < kRowsPerSample; ++i) {
    rowSum[i].setZero();
    covarianceSum[i].setZero();
    angularVelocitySum[i].setZero();
  }
  accelerationVariance.setZero();
  uncounted.setZero();
  weight = 0.0;
  samples = 0;
}

bool RecursiveTLSWrenchBias::feed(const PreparedSample& prepared, double weight) {
  requireInitialized();
  trackExcitation(prepared.sample);
  run_.fedSinceRefresh = true;
  const double time = prepared.sample.time;
  if (block_.weight > 0.0 && time - block_.start >= feedBlockSeconds_) {
    feedBlock();
  }
  if (block_.weight == 0.0) {
    block_.start = time;
  }
  block_.last = time;
  // A doubted sample counts as a sample with weight·(its information): in the block's mean
  // its rows count weight times, their error covariance weight² times.
  const MeasurementVector variances = effectiveVariances();
  const double weightSquared = weight * weight;
  // A rated angular velocity's share of the rows' error covariance, counted again by density
  // when the block closes.
  const bool angularVelocityRated =
      noiseRates_.angularVelocity > 0.0 && !variances.segment<3>(3).isZero(0.0);
  MeasurementVector angularVelocityOnly;
  if (angularVelocityRated) {
    angularVelocityOnly.setZero();
    angularVelocityOnly.segment<3>(3) = variances.segment<3>(3);
  }
  for (int i = 0; i < kRowsPerSample; ++i) {
    const auto type = static_cast<std::size_t>(i);
    AugmentedMatrix& q = rowErrorCovariance_[type];
    errorModel->writeRowErrorCovariance(i, prepared.jacobians, variances, q);
    const AugmentedVector row = prepared.rows.row(i).transpose();
    block_.rowSum[type] += weight * row;
    sampleSquares_[type].selfadjointView<Eigen::Upper>().rankUpdate(row, weight);
    sampleErrors_[type].topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
        weight * q.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    sampleErrors_[type](kLast, kLast) += weight * q(kLast, kLast);
    block_.covarianceSum[type].topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
        weightSquared * q.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    block_.covarianceSum[type](kLast, kLast) += weightSquared * q(kLast, kLast);
    if (angularVelocityRated) {
      AugmentedMatrix& part = ratedCovariance_[type];
      errorModel->writeRowErrorCovariance(i, prepared.jacobians, angularVelocityOnly, part);
      block_.angularVelocitySum[type].topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
          weightSquared * part.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    }
  }
  block_.accelerationVariance += weightSquared * variances.head<3>();
  block_.weight += weight;
  ++block_.samples;
  // The noise of the channels left out above still enters Σ r·rᵀ, on the inertia of the
  // torque rows (the only rows with inertia): the identification counts it as noise, so that
  // it does not take it for information about the inertia.
  const MeasurementVector uncounted = measurementNoise.asVector() - variances;
  if ((uncounted.head<9>().array() != 0.0).any()) {
    for (int i = 3; i < kRowsPerSample; ++i) {
      errorModel->writeRowErrorCovariance(i, prepared.jacobians, uncounted, uncountedCovariance_);
      block_.uncounted += weightSquared * uncountedCovariance_.block<6, 6>(4, 4);
    }
  }
  if (!(feedBlockSeconds_ > 0.0)) {
    feedBlock();
  }
  printProgressLine();
  return true;
}

void RecursiveTLSWrenchBias::feedBlock() {
  // The block's mean row, counted as many times as the block holds samples: √W·mean = Σw·d/√W,
  // with error covariance W·(Σw²·Q/W²) = Σw²·Q/W.
  const double w = block_.weight;
  const double rowScale = 1.0 / std::sqrt(w);
  // A block of the batch means that closes with this block closes on the sums of the blocks
  // before it, and renews the wrench scales this block's rows use.
  tls.covarianceEstimator.startSample(block_.last);
  const std::array<double, kRowsPerSample>& wrenchScales =
      tls.covarianceEstimator.getWrenchNoiseScales();
  const std::array<double, kRowsPerSample>& regressorScales =
      tls.covarianceEstimator.getRegressorNoiseScales();
  // A rated channel's interpolated values are correlated over its stream's step: the mean keeps
  // (block rate / stream rate) times the variance its samples count one by one. The extra share
  // of each, as a factor on the block's sums (which the mean's covariance divides by w).
  const double blockRate = block_.samples >= 2 && block_.last > block_.start
                               ? (block_.samples - 1) / (block_.last - block_.start)
                               : 0.0;
  const auto extra = [&](double rate) {
    return rate > 0.0 ? std::max(0.0, blockRate / rate - 1.0) / w : 0.0;
  };
  const double accelerationExtra = extra(noiseRates_.linearAcceleration);
  const double angularVelocityExtra = extra(noiseRates_.angularVelocity);
  MeasurementVector accelerationOnly = MeasurementVector::Zero();
  accelerationOnly.head<3>() = accelerationExtra * block_.accelerationVariance;
  AugmentedObservation d;
  for (int i = 0; i < kRowsPerSample; ++i) {
    const auto type = static_cast<std::size_t>(i);
    d.row(i) = rowScale * block_.rowSum[type].transpose();
    AugmentedMatrix& q = rowErrorCovariance_[type];
    q.topLeftCorner<kStructuredBlock, kStructuredBlock>() =
        block_.covarianceSum[type].topLeftCorner<kStructuredBlock, kStructuredBlock>() / w;
    q(kLast, kLast) = block_.covarianceSum[type](kLast, kLast) / w;
    if (accelerationExtra > 0.0) {
      AugmentedMatrix& part = ratedCovariance_[type];
      errorModel->writeRowErrorCovariance(i, noMotion_, accelerationOnly, part);
      q.topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
          part.topLeftCorner<kStructuredBlock, kStructuredBlock>();
    }
    if (angularVelocityExtra > 0.0) {
      q.topLeftCorner<kStructuredBlock, kStructuredBlock>() +=
          angularVelocityExtra *
          block_.angularVelocitySum[type].topLeftCorner<kStructuredBlock, kStructuredBlock>();
    }
    // The pencil takes each row type's wrench noise at the level its residuals show: a wrench
    // channel configured far too quiet would otherwise make the correction blame the
    // regressors for its noise and run off (and regressor noise configured too large for the
    // residuals over-correct). The tracker keeps the configured noise, against which those
    // levels are measured.
    if (regressorScales[type] != 1.0) {
      scaledCovariance_ = q;
      scaledCovariance_.topLeftCorner<kStructuredBlock, kStructuredBlock>() *=
          regressorScales[type];
      scaledCovariance_(kLast, kLast) *= wrenchScales[type];
      updateParameterVectorStructured(d.row(i).transpose(), scaledCovariance_);
    } else {
      const double configured = q(kLast, kLast);
      q(kLast, kLast) = configured * wrenchScales[type];
      updateParameterVectorStructured(d.row(i).transpose(), q);
      q(kLast, kLast) = configured;
    }
  }
  // The tracker's sums do not depend on θ and it keeps only the newest θ, so handing it the
  // six rows once they all went through leaves it exactly where row-by-row hand-over would.
  // A NaN error in the middle of the block thus leaves the tracker, and the reported
  // covariance, at the previous block.
  for (int i = 0; i < kRowsPerSample; ++i) {
    tls.covarianceEstimator.addStructuredRow(tls.parameterVector, d.row(i).transpose(),
                                             rowErrorCovariance_[static_cast<std::size_t>(i)], i);
  }
  if (!block_.uncounted.isZero(0.0)) {
    addUncountedNoise(block_.uncounted / w);
  }
  block_.clear();
  markSampleConsumed();
}

InertialSample RecursiveTLSWrenchBias::getBiasSolution() const {
  InertialSample bias;
  bias.force = tls.parameterVector.segment<3>(10);
  bias.torque = tls.parameterVector.segment<3>(13);
  return bias;
}

InertialSample RecursiveTLSWrenchBias::getBiasVariance() const {
  printLine("RecursiveTLSWrenchBias Bias Variance not implemented!");
  return InertialSample{};
}

std::unique_ptr<EstimationAlgorithm> createRecursiveTLSWrenchBias(double feedBlockSeconds,
                                                                  const NoiseSampleRates& rates) {
  auto algorithm = std::make_unique<RecursiveTLSWrenchBias>();
  algorithm->setFeedBlockSeconds(feedBlockSeconds);
  algorithm->setNoiseSampleRates(rates);
  return algorithm;
}

}  // namespace zelto
