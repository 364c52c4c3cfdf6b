#include "SampleJoiner.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>

namespace zelto {
namespace {

// Index of the first input of h whose time is not before(time) (h.size() when none): a binary
// search, the times being increasing.
template <typename Before>
std::size_t partitionPoint(const StampedHistory& h, Before before) {
  std::size_t low = 0, high = h.size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (before(h[mid].time)) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// The derivative at centre of the least-squares polynomial of the given degree through the
// angular velocities within centre ± w into alpha; false while a half of the window holds fewer
// than minPerHalf inputs.
//
// The polynomial is ω(c + x·W) ≈ b0 + b1·x + … + b_D·x^D, x in [−1, 1]: the normal equations in
// the scaled time x stay well conditioned whatever the rate and however far the time stamps lie
// from zero. Their matrix holds only the sums of x⁰…x^(2D).
template <int Degree>
bool polynomialDerivative(const StampedHistory& h, double centre, double w, std::size_t minPerHalf,
                          Eigen::Vector3d& alpha) {
  constexpr int kCoefficients = Degree + 1;
  const double reach = w + DerivativeWindow::kTolerance;
  std::size_t left = 0, right = 0;
  std::array<double, 2 * Degree + 1> powerSums{};
  Eigen::Matrix<double, kCoefficients, 3> moments = Eigen::Matrix<double, kCoefficients, 3>::Zero();
  const std::size_t first = partitionPoint(h, [&](double t) { return t - centre < -reach; });
  for (std::size_t i = first; i < h.size(); ++i) {
    const double offset = h[i].time - centre;
    if (offset > reach) break;
    const double x = offset / w;
    left += x < 0.0 ? 1 : 0;
    right += x > 0.0 ? 1 : 0;
    std::array<double, kCoefficients> p;
    p[0] = 1.0;
    for (std::size_t k = 1; k < p.size(); ++k) p[k] = p[k - 1] * x;
    // x^m as the product of the two powers nearest m/2: x⁴ = x²·x², x⁵ = x²·x³, …
    for (std::size_t m = 0; m < powerSums.size(); ++m) powerSums[m] += p[m / 2] * p[m - m / 2];
    const Eigen::Vector3d& v = h[i].value;
    for (int k = 0; k < kCoefficients; ++k) {
      moments.row(k) += p[static_cast<std::size_t>(k)] * v.transpose();
    }
  }
  if (left < minPerHalf || right < minPerHalf) {
    return false;
  }
  Eigen::Matrix<double, kCoefficients, kCoefficients> normal;
  for (int r = 0; r < kCoefficients; ++r) {
    for (int c = 0; c < kCoefficients; ++c)
      normal(r, c) = powerSums[static_cast<std::size_t>(r + c)];
  }
  const Eigen::Matrix<double, kCoefficients, 3> coefficients = normal.ldlt().solve(moments);
  alpha = coefficients.row(1).transpose() / w;
  return alpha.allFinite();
}

}  // namespace

void SampleJoiner::trackPeriod(double time) {
  if (!hasInput_) {
    irregularAt_ = time;
    return;
  }
  const double interval = time - newestTime_;
  intervals_[intervalCount_ % kRecentIntervals] = interval;
  ++intervalCount_;
  const std::size_t n = std::min(intervalCount_, kRecentIntervals);
  std::array<double, kRecentIntervals> sorted = intervals_;
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(sorted.begin(), middle, sorted.begin() + static_cast<std::ptrdiff_t>(n));
  period_ = *middle;
  halfWindow_ = DerivativeWindow::halfWidth(period_);
  if (!(std::abs(interval - period_) <= kGridJitter * period_)) {
    irregularAt_ = time;
  }
}

std::optional<std::size_t> SampleJoiner::centreIndex(double age) const {
  const StampedHistory& h = angularVelocity_;
  const double latest = h.back().time - age + DerivativeWindow::kTolerance;
  const std::size_t after = partitionPoint(h, [latest](double t) { return t <= latest; });
  if (after == 0) return std::nullopt;
  return after - 1;
}

InertialSample SampleJoiner::sampleAt(std::size_t index, const Eigen::Vector3d& alpha) {
  const double centre = angularVelocity_[index].time;
  InertialSample s;
  s.time = centre;
  s.linearAcceleration = linearAcceleration_.sampleAt(centre).value;
  s.angularVelocity = angularVelocity_.sampleAt(centre).value;
  s.angularAcceleration = alpha;
  // The IMU's stamps lag the wrench's by the delay: its values at c describe the instant the
  // wrench stamped c − delay measured (interpolated between the two wrench inputs around it).
  s.force = force_.sampleAt(centre - imuDelay_).value;
  s.torque = torque_.sampleAt(centre - imuDelay_).value;
  return s;
}

JoinedSamples SampleJoiner::join(const SplitSample& input) {
  JoinedSamples joined;
  // A host polling the sensor faster than it samples hands over each input several times;
  // counting them again would shrink the standard deviations without new information.
  if (!angularVelocity_.empty() &&
      std::abs(input.angularVelocity.time - angularVelocity_.back().time) <
          kRepeatedTimeTolerance) {
    return joined;
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
  const StampedHistory& h = angularVelocity_;
  const double w = halfWindow_;
  const double newest = h.back().time;
  const std::optional<std::size_t> centre = centreIndex(w);
  Eigen::Vector3d alpha;
  if (centre && !(hasJoined_ && h[*centre].time <= lastCentre_)) {
    const double c = h[*centre].time;
    if (polynomialDerivative<3>(h, c, w, DerivativeWindow::kMinInputsPerHalf, alpha)) {
      joined.judged = sampleAt(*centre, alpha);
      hasJoined_ = true;
      lastCentre_ = c;
      if (!fitChosen_) {
        fitChosen_ = true;
        fit_ = DerivativeWindow::choose(period_, gyroVariance_);
        widened_ = fit_.halfWidth > w + DerivativeWindow::kTolerance;
      }
      if (widened_) pending_.push(c);
    }
  }
  // Later centres are no earlier than this one: what lies before its window is never read
  // again (unless the window widens, which only costs the first joins after a change of rate).
  // Until the fit is chosen the histories keep what the widest fit would need.
  double keepFrom = (centre ? h[*centre].time : newest - w) - w;
  if (!fitChosen_) {
    keepFrom = std::min(keepFrom, newest - 2.0 * DerivativeWindow::kWidestHalfWidth);
  } else if (widened_) {
    if (!pending_.empty() &&
        pending_.front() <= newest - fit_.halfWidth + DerivativeWindow::kTolerance) {
      const double c = pending_.pop();
      const std::size_t index = partitionPoint(h, [c](double t) { return t < c; });
      if (index < h.size() && h[index].time == c && fitDerivative(index, alpha)) {
        joined.fed = sampleAt(index, alpha);
      }
    }
    keepFrom = std::min(
        keepFrom, (pending_.empty() ? newest - fit_.halfWidth : pending_.front()) - fit_.halfWidth);
  }
  dropOlderThan(keepFrom - DerivativeWindow::kTolerance);
  return joined;
}

bool SampleJoiner::fitDerivative(std::size_t centre, Eigen::Vector3d& alpha) {
  const StampedHistory& h = angularVelocity_;
  const double c = h[centre].time;
  const double w = fit_.halfWidth;
  // Evenly spaced inputs: the fit is a fixed weighting of the window's inputs, by their place.
  // The inputs on either side are counted with the mean spacing of those after the centre
  // (about W of them), which the stamps' jitter hardly moves, unlike the median period.
  const std::size_t after = h.size() - 1 - centre;
  const double half =
      after > 0 ? std::round(w * static_cast<double>(after) / (h.back().time - c)) : 0.0;
  const std::size_t n = static_cast<std::size_t>(half);
  if (half >= static_cast<double>(DerivativeWindow::minInputsPerHalf(fit_.degree)) &&
      2 * n + 1 <= kMaxGridInputs && n <= centre && n <= after &&
      irregularAt_ <= h[centre - n].time) {
    if (static_cast<int>(n) != gridHalf_) {
      gridHalf_ = static_cast<int>(n);
      if (fit_.degree == 5) {
        DerivativeWindow::gridWeights<5>(gridHalf_, gridWeights_.data());
      } else {
        DerivativeWindow::gridWeights<3>(gridHalf_, gridWeights_.data());
      }
    }
    const std::size_t first = centre - n;
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (std::size_t k = 0; k <= 2 * n; ++k) sum += gridWeights_[k] * h[first + k].value;
    // The spacing of this very window: the median period may be off by the stamps' jitter,
    // which over a hundred intervals would scale the derivative.
    const double spacing = (h[centre + n].time - h[first].time) / (2.0 * half);
    alpha = sum / spacing;
    return alpha.allFinite();
  }
  const std::size_t minPerHalf = DerivativeWindow::minInputsPerHalf(fit_.degree);
  return fit_.degree == 5 ? polynomialDerivative<5>(h, c, w, minPerHalf, alpha)
                          : polynomialDerivative<3>(h, c, w, minPerHalf, alpha);
}

void SampleJoiner::dropOlderThan(double time) {
  linearAcceleration_.dropOlderThan(time);
  angularVelocity_.dropOlderThan(time);
  force_.dropOlderThan(time);
  torque_.dropOlderThan(time);
}

}  // namespace zelto
