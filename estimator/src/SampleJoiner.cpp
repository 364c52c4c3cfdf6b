#include "SampleJoiner.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>

namespace zelto {

void SampleJoiner::trackPeriod(double time) {
  if (!hasInput_) {
    return;
  }
  intervals_[intervalCount_ % kRecentIntervals] = time - newestTime_;
  ++intervalCount_;
  const std::size_t n = std::min(intervalCount_, kRecentIntervals);
  std::array<double, kRecentIntervals> sorted = intervals_;
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(sorted.begin(), middle, sorted.begin() + static_cast<std::ptrdiff_t>(n));
  period_ = *middle;
  halfWindow_ = DerivativeWindow::halfWidth(period_);
}

std::optional<InertialSample> SampleJoiner::join(const SplitSample& input) {
  // A host polling the sensor faster than it samples hands over each input several times;
  // counting them again would shrink the standard deviations without new information.
  if (!angularVelocity_.empty() &&
      std::abs(input.angularVelocity.time - angularVelocity_.back().time) <
          kRepeatedTimeTolerance) {
    return std::nullopt;
  }
  const double time = input.force.time;
  trackPeriod(time);
  linearAcceleration_.push(input.linearAcceleration);
  angularVelocity_.push(input.angularVelocity);
  force_.push(input.force);
  torque_.push(input.torque);
  if (!hasInput_ || time > newestTime_) {
    newestTime_ = time;
  }
  hasInput_ = true;

  // The centre is the newest input at least W old rather than exactly W before the newest
  // input: interpolated values between two inputs would average their noise and share it with
  // the neighbouring joined samples, and the estimate would count that noise as information.
  const double w = halfWindow_;
  const double newest = angularVelocity_.back().time;
  double centre = 0.0;
  bool found = false;
  for (std::size_t i = angularVelocity_.size(); i-- > 0;) {
    if (angularVelocity_[i].time <= newest - w + DerivativeWindow::kTolerance) {
      centre = angularVelocity_[i].time;
      found = true;
      break;
    }
  }
  std::optional<InertialSample> joined;
  Eigen::Vector3d alpha;
  if (found && !(hasJoined_ && centre <= lastCentre_) && centredDerivative(centre, alpha)) {
    InertialSample& s = joined.emplace();
    s.time = centre;
    s.linearAcceleration = linearAcceleration_.sampleAt(centre).value;
    s.angularVelocity = angularVelocity_.sampleAt(centre).value;
    s.angularAcceleration = alpha;
    // The IMU's stamps lag the wrench's by the delay: its values at c describe the instant the
    // wrench stamped c − delay measured (interpolated between the two wrench inputs around it).
    s.force = force_.sampleAt(centre - imuDelay_).value;
    s.torque = torque_.sampleAt(centre - imuDelay_).value;
    hasJoined_ = true;
    lastCentre_ = centre;
  }
  // Later centres are no earlier than this one: what lies before its window is never read
  // again (unless the window widens, which only costs the first joins after a change of rate).
  dropOlderThan((found ? centre : newest - w) - w - DerivativeWindow::kTolerance);
  return joined;
}

bool SampleJoiner::centredDerivative(double centre, Eigen::Vector3d& alpha) const {
  const StampedHistory& h = angularVelocity_;
  const double w = halfWindow_;
  const std::size_t n = h.size();
  std::size_t left = 0, right = 0;
  // Least-squares cubic ω(c + x·W) ≈ b0 + b1·x + b2·x² + b3·x³ over the window, x in [−1, 1]:
  // the normal equations in the scaled time x stay well conditioned whatever the rate and
  // however far the time stamps lie from zero. Their matrix holds only the sums of x⁰…x⁶.
  std::array<double, 7> powerSums{};
  Eigen::Matrix<double, 4, 3> moments = Eigen::Matrix<double, 4, 3>::Zero();
  for (std::size_t i = 0; i < n; ++i) {
    const double offset = h[i].time - centre;
    if (std::abs(offset) > w + DerivativeWindow::kTolerance) continue;
    const double x = offset / w;
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
    const Eigen::Vector3d& v = h[i].value;
    moments.row(0) += v.transpose();
    moments.row(1) += x * v.transpose();
    moments.row(2) += x2 * v.transpose();
    moments.row(3) += x3 * v.transpose();
  }
  if (left < DerivativeWindow::kMinInputsPerHalf || right < DerivativeWindow::kMinInputsPerHalf) {
    return false;
  }
  Eigen::Matrix4d normal;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) normal(r, c) = powerSums[static_cast<std::size_t>(r + c)];
  }
  const Eigen::Matrix<double, 4, 3> coefficients = normal.ldlt().solve(moments);
  alpha = coefficients.row(1).transpose() / w;
  return alpha.allFinite();
}

void SampleJoiner::dropOlderThan(double time) {
  linearAcceleration_.dropOlderThan(time);
  angularVelocity_.dropOlderThan(time);
  force_.dropOlderThan(time);
  torque_.dropOlderThan(time);
}

}  // namespace zelto
