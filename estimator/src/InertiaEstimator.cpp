#include "InertiaEstimator.h"

#include <algorithm>
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
  const auto& gyro = config_.noiseAngularVel;
  run_ = Run(config_.imuDelay, std::max({gyro[0], gyro[1], gyro[2]}));
  tool_->init();
  logInfo("Estimator has been initialized");
}

JoinedSamples InertiaEstimator::join(const SplitSample& input) {
  JoinedSamples joined = run_.joiner.join(input);
  if (!run_.sparseReported && run_.joiner.tooSparse()) {
    run_.sparseReported = true;
    reportSparseInputs();
  }
  if (joined.judged && !run_.angularAccChecked) {
    run_.angularAccChecked = true;
    checkAngularAccelerationVariance();
  }
  return joined;
}

void InertiaEstimator::process(const JoinedSamples& joined) {
  if (joined.judged) {
    const PreparedSample prepared = prepare(*joined.judged);
    const SampleGate::Verdict verdict = judge(prepared);
    if (!run_.joiner.widened()) {
      apply(verdict, prepared);
    } else {
      // The verdict takes effect now, restart and lines included; only the feeding waits, for
      // the rows of the same instant from the wider fit.
      run_.admissions.push(Admission{
          prepared.sample.time, verdict.decision == SampleGate::Decision::Feed, verdict.weight});
      SampleGate::Verdict now = verdict;
      if (now.decision == SampleGate::Decision::Feed) now.decision = SampleGate::Decision::Hold;
      apply(now, prepared);
    }
  }
  if (joined.fed) {
    if (const std::optional<double> weight = admission(joined.fed->time)) {
      apply(SampleGate::Verdict{SampleGate::Decision::Feed, SampleGate::Event::None, *weight},
            prepare(*joined.fed));
    }
  }
}

std::optional<double> InertiaEstimator::admission(double time) {
  // Fed samples come in the order their instants were judged, at the same input times; the
  // slack only guards against rounding.
  RingQueue<Admission, SampleJoiner::kMaxPending>& queue = run_.admissions;
  while (!queue.empty() && queue.front().time < time - DerivativeWindow::kTolerance) queue.pop();
  if (queue.empty() || queue.front().time > time + DerivativeWindow::kTolerance) {
    return std::nullopt;
  }
  const Admission a = queue.pop();
  return a.feed ? std::optional<double>(a.weight) : std::nullopt;
}

SampleGate::Verdict InertiaEstimator::judge(const PreparedSample& sample) {
  const SampleGate::Verdict verdict =
      run_.attempt.gate.assess(sample.sample.time, tool_->assess(sample));
  run_.counts.count(verdict);
  return verdict;
}

void InertiaEstimator::apply(const SampleGate::Verdict& verdict, const PreparedSample& sample) {
  // A restart replaces the gate: what the lines report of the contact is read before.
  const double contactDuration = run_.attempt.gate.lastContactDuration();
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
  reportGateEvent(verdict.event, contactDuration);
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
  const SampleJoiner& joiner = run_.joiner;
  const double factor = DerivativeWindow::noiseFactor(joiner.inputPeriod());
  const Eigen::Vector3d gyro(config_.noiseAngularVel[0], config_.noiseAngularVel[1],
                             config_.noiseAngularVel[2]);
  const Eigen::Vector3d floor = factor * gyro;
  const Eigen::Vector3d configured(config_.noiseAngularAcc[0], config_.noiseAngularAcc[1],
                                   config_.noiseAngularAcc[2]);
  const bool raise = floor.allFinite() && !(configured.array() >= floor.array()).all();
  const Eigen::Vector3d judged = raise ? configured.cwiseMax(floor) : configured;
  // The configured variance describes the reference derivative; a wider fit weighs the same
  // gyro noise by its own factor.
  const double ratio =
      joiner.widened() ? DerivativeWindow::noiseFactor(joiner.inputPeriod(), joiner.fit()) / factor
                       : 1.0;
  if (raise || joiner.widened()) {
    tool_->setAngularAccelerationVariances(ratio * judged, judged);
  }
  // Lines on the update path are formatted on the stack: no allocation.
  if (raise) {
    MessageText line;
    line << "The configured angular_acc variance is below the derivative's own noise at this "
            "input rate (angular_vel variance x ";
    line.appendFixed(factor) << " = ";
    line.appendFixed(floor.maxCoeff()) << " rad^2/s^4 at most): the derivative's noise is used "
                                          "instead where it is larger";
    logWarn(line.view());
  }
  if (joiner.widened()) {
    MessageText line;
    line << "The gyro's noise (angular_vel variance ";
    line.appendFixed(gyro.maxCoeff())
        << " at most) would make the angular acceleration too noisy for the inertia: the "
           "estimate takes it from a fit of degree "
        << (joiner.fit().degree == 5 ? "5" : "3") << " over +-";
    line.appendFixed(joiner.fit().halfWidth) << " seconds (angular_acc variance x ";
    line.appendFixed(ratio) << "); samples are still judged, and contact flagged, on the +-";
    line.appendFixed(joiner.halfWindow()) << " seconds fit";
    logInfo(line.view());
  }
}

void InertiaEstimator::reportGateEvent(SampleGate::Event event, double contactDuration) const {
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
      line.appendFixed(contactDuration) << " seconds; estimation goes on";
      logInfo(line.view());
      return;
    case SampleGate::Event::Restarted:
      logWarn("Contact lasted 3.5 seconds: the estimate is discarded and estimation starts again");
      return;
    case SampleGate::Event::RestartedAfterEarlyContact:
      line << "Contact ended after ";
      line.appendFixed(contactDuration)
          << " seconds; it was there before samples could be judged, so the estimate is "
             "discarded and estimation starts again";
      logWarn(line.view());
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

namespace {

// The thresholds of the parameters a static result needs: mass, centre of mass and bias.
bool staticPartBelow(const EstimateReadout& r, const std::array<double, 4>& thresholds) {
  bool ok = below(thresholds[0], r.paramsCovariance(0, 0));
  for (int i = 1; i < 4; ++i) {
    ok = ok && below(thresholds[1], r.paramsCovariance(i, i));
  }
  for (int i = 0; i < 6; ++i) {
    ok = ok && below(thresholds[3], r.biasCovariance(i, i));
  }
  return ok;
}

Eigen::Matrix3d inertiaTensor(const InertialParameters& p) {
  Eigen::Matrix3d j;
  j << p(4), p(5), p(6), p(5), p(7), p(8), p(6), p(8), p(9);
  return j;
}

}  // namespace

bool InertiaEstimator::isConverged() const {
  const EstimateReadout r = tool_->readout();
  bool converged = staticPartBelow(r, convergenceThresholds_);
  for (int i = 4; i < 10; ++i) {
    converged = converged && below(convergenceThresholds_[2], r.paramsCovariance(i, i));
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
  return checkPhysicalConsistency(p(0), p.segment<3>(1), inertiaTensor(p),
                                  convergenceThresholds_[2])
             .consistent() &&
         !tool_->identifyInertia().leavesUnidentified();
}

InertiaEstimator::Conclusion InertiaEstimator::conclude() const {
  Conclusion c;
  c.solution = estimate().solution;
  if (isConverged()) {
    c.outcome = Outcome::Converged;
    c.inertiaIdentified = kAllInertiaIdentified;
    return c;
  }
  const EstimateReadout r = tool_->readout();
  if (!tool_->hasAlgorithm() || !staticPartBelow(r, convergenceThresholds_) ||
      run_.attempt.gate.blocksConvergence(run_.joiner.lastJoinedTime())) {
    return c;
  }
  const InertiaIdentification identification = tool_->identifyInertia();
  if (!identification.leavesUnidentified()) {
    return c;
  }
  // An entry the motion informs but not to the threshold is not identified either: a static
  // result does not use it, and the file must not present it as known.
  InertiaEntryFlags identified = identification.entryIdentified;
  for (int j = 0; j < 6; ++j) {
    if (!below(convergenceThresholds_[2], r.paramsCovariance(4 + j, 4 + j))) {
      identified[static_cast<std::size_t>(j)] = false;
    }
  }
  // What the motion did not identify stays what it was before any sample, the prior; what it
  // did is kept. If the two do not make a body that can exist, the nearest one that does
  // (moving along the unidentified directions only) takes their place.
  const InertiaVector prior = Eigen::Map<const InertiaVector>(config_.priorInertia.data());
  const InertiaVector reference =
      identification.withPriorAlongUnidentified(r.params.tail<6>(), prior);
  std::optional<InertiaEntries> inertia =
      nearestConsistentInertia(r.params(0), r.params.segment<3>(1), reference,
                               identification.directions, identification.unidentified);
  if (!inertia) {
    // The identified entries are known only to their standard deviations: where no body fits
    // them exactly, the nearest one that does is taken as long as it moves none of them by
    // more than kIdentifiedSlack of theirs.
    inertia = nearestConsistentInertia(r.params(0), r.params.segment<3>(1), reference,
                                       Eigen::Matrix<double, 6, 6>::Identity(), 6);
    if (!inertia) {
      return c;
    }
    for (int j = 0; j < 6; ++j) {
      const auto k = static_cast<std::size_t>(j);
      const InertiaEntries& consistent = *inertia;
      const double change = std::abs(consistent(j) - r.params(4 + j));
      const double sigma = std::sqrt(r.paramsCovariance(4 + j, 4 + j));
      if (identified[k] && !(change <= kIdentifiedSlack * sigma)) {
        return c;
      }
    }
  }
  c.outcome = Outcome::Static;
  c.solution.segment<6>(4) = *inertia;
  c.inertiaIdentified = identified;
  return c;
}

}  // namespace zelto
