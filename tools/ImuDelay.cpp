#include "ImuDelay.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "DerivativeWindow.h"
#include "NoiseEstimate.h"
#include "ObservationModel.h"

namespace zelto::tool {

namespace {

using Vec3 = Eigen::Vector3d;
using Gram = Eigen::Matrix<double, 17, 17>;
using Theta = Eigen::Matrix<double, 17, 1>;  // (θ, −1)

// Rows whose time stamp is within this of the previous row's are repeats (as in the libraries).
constexpr double kRepeatTolerance = 1e-5;
// A rise of the residual over the range below this many residual variances tells nothing.
constexpr double kFlatRise = 25.0;
// Another local minimum this close to the best (share of the rise) makes the delay ambiguous.
constexpr double kAmbiguousShare = 0.1;
// An uncertainty above this is worth a warning: it is a sixth of the delays seen on real IMUs.
constexpr double kUncertainWarning = 1e-3;
// Floor of the wrench variances, so that noise-free data still gives finite weights.
constexpr double kVarianceFloor = 1e-30;

Vec3 vec(const std::array<double, 3>& a) { return Vec3(a[0], a[1], a[2]); }

std::string format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

std::string milliseconds(double seconds) { return format("%+.2f ms", 1e3 * seconds); }

double median(std::vector<double> v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  return v[mid];
}

double medianInterval(const std::vector<double>& times) {
  std::vector<double> intervals(times.size() - 1);
  for (std::size_t k = 1; k < times.size(); ++k) intervals[k - 1] = times[k] - times[k - 1];
  return median(intervals);
}

void checkTimes(const std::vector<double>& times, std::size_t values, const std::string& what) {
  if (times.size() != values) {
    throw std::invalid_argument(what + ": times and values differ in length (" +
                                std::to_string(times.size()) + " and " + std::to_string(values) +
                                ")");
  }
  if (times.size() < 2) throw std::invalid_argument(what + ": fewer than two samples");
  for (std::size_t k = 0; k < times.size(); ++k) {
    if (!std::isfinite(times[k]) || (k > 0 && !(times[k] > times[k - 1]))) {
      throw std::invalid_argument(what + ": time " + std::to_string(k) +
                                  " is not finite or not after the previous one");
    }
  }
}

// Linear interpolation along a track at increasing times, each within the track's span.
class Interpolator {
 public:
  explicit Interpolator(const VectorTrack& track) : track_(track) {}
  Vec3 at(double t) {
    const std::vector<double>& times = track_.times;
    while (next_ + 1 < times.size() && times[next_] <= t) ++next_;
    if (next_ == 0) return vec(track_.values.front());
    const double u = std::min(1.0, (t - times[next_ - 1]) / (times[next_] - times[next_ - 1]));
    return (1.0 - u) * vec(track_.values[next_ - 1]) + u * vec(track_.values[next_]);
  }

 private:
  const VectorTrack& track_;
  std::size_t next_ = 0;  // the first sample after the last time asked for
};

// The least of (θ, −1)ᵀ·G·(θ, −1) over θ, and the (θ, −1) that reaches it. The columns are
// scaled to a unit diagonal and small eigenvalues dropped: motion without brisk turns leaves
// the inertia barely determined, which must not spoil the residual.
double leastResidual(const Gram& g, Theta& theta) {
  using Matrix16 = Eigen::Matrix<double, 16, 16>;
  using Vector16 = Eigen::Matrix<double, 16, 1>;
  const Matrix16 a = g.topLeftCorner<16, 16>();
  Vector16 scale;
  for (int i = 0; i < 16; ++i) scale[i] = a(i, i) > 0.0 ? 1.0 / std::sqrt(a(i, i)) : 1.0;
  const Eigen::SelfAdjointEigenSolver<Matrix16> eigen(scale.asDiagonal() * a * scale.asDiagonal());
  const double floor = 1e-12 * eigen.eigenvalues().maxCoeff();
  Vector16 c =
      eigen.eigenvectors().transpose() * scale.cwiseProduct(Vector16(g.topRightCorner<16, 1>()));
  for (int i = 0; i < 16; ++i)
    c[i] = eigen.eigenvalues()[i] > floor ? c[i] / eigen.eigenvalues()[i] : 0.0;
  theta.head<16>() = scale.cwiseProduct(eigen.eigenvectors() * c);
  theta[16] = -1.0;
  return std::max(0.0, theta.dot(g * theta));
}

// Adds the upper triangle of dᵀ·d to g: Eigen's general product spends most of its time
// packing matrices this small.
void addUpper(const Eigen::Matrix<double, 3, 17>& d, Gram& g) {
  for (int j = 0; j < 17; ++j) {
    for (int i = 0; i <= j; ++i)
      g(i, j) += d(0, i) * d(0, j) + d(1, i) * d(1, j) + d(2, i) * d(2, j);
  }
}

// Force and torque rows of the fit, each half of the recording apart.
struct Normal {
  Gram force[2];
  Gram torque[2];
};

// The vertex of the parabola through the residuals at the best grid point and its neighbours,
// in steps from the best, and the curvature (per step²); no refinement at the range's ends.
struct Minimum {
  std::size_t index = 0;
  double offset = 0.0;
  double curvature = 0.0;
};

Minimum findMinimum(const std::vector<double>& r) {
  Minimum m;
  m.index = static_cast<std::size_t>(std::min_element(r.begin(), r.end()) - r.begin());
  if (m.index > 0 && m.index + 1 < r.size()) {
    m.curvature = r[m.index - 1] - 2.0 * r[m.index] + r[m.index + 1];
    if (m.curvature > 0.0) m.offset = 0.5 * (r[m.index - 1] - r[m.index + 1]) / m.curvature;
  }
  return m;
}

class DelayFit {
 public:
  DelayFit(const DelayInput& in, double reach) : in_(in) {
    const double window = DerivativeWindow::halfWidth(medianInterval(in.angularVelocity.times));
    alpha_ = localPolynomialDerivative(in.angularVelocity, window, 3, 1);
    if (alpha_.times.size() < 2) {
      throw std::invalid_argument(
          "the angular velocity has too few samples for its derivative (two on either side "
          "within " +
          format("%.3g", 1e3 * window) + " ms)");
    }
    // The wrench samples that have inertial values at every candidate shift.
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    const auto cover = [&](const VectorTrack& track, bool delayed) {
      low = std::max(low, track.times.front() + (delayed ? reach : 0.0));
      high = std::min(high, track.times.back() - (delayed ? reach : 0.0));
    };
    cover(in.specificForce, in.specificForceDelayed);
    cover(alpha_, in.angularVelocityDelayed);  // within the angular velocity's span
    for (std::size_t i = 0; i < in.wrenchTimes.size(); ++i) {
      if (in.wrenchTimes[i] >= low && in.wrenchTimes[i] <= high) rows_.push_back(i);
    }
    const double force = (in.wrenchVariance[0] + in.wrenchVariance[1] + in.wrenchVariance[2]) / 3;
    const double torque = (in.wrenchVariance[3] + in.wrenchVariance[4] + in.wrenchVariance[5]) / 3;
    forceWeight_ = 1.0 / std::max(force, kVarianceFloor);
    torqueWeight_ = 1.0 / std::max(torque, kVarianceFloor);
  }

  std::size_t rows() const { return rows_.size(); }

  Normal accumulate(double shift) const {
    Normal n;
    for (int h = 0; h < 2; ++h) {
      n.force[h].setZero();
      n.torque[h].setZero();
    }
    Regressor y;
    Eigen::Matrix<double, 3, 17> f = Eigen::Matrix<double, 3, 17>::Zero();
    Eigen::Matrix<double, 3, 17> t = Eigen::Matrix<double, 3, 17>::Zero();
    f.block<3, 3>(0, 10) = -Eigen::Matrix3d::Identity();
    t.block<3, 3>(0, 13) = -Eigen::Matrix3d::Identity();
    Interpolator specificForce(in_.specificForce), angularVelocity(in_.angularVelocity),
        alpha(alpha_);
    for (std::size_t j = 0; j < rows_.size(); ++j) {
      const std::size_t i = rows_[j];
      const double time = in_.wrenchTimes[i];
      const double aTime = time + (in_.specificForceDelayed ? shift : 0.0);
      const double wTime = time + (in_.angularVelocityDelayed ? shift : 0.0);
      fillPayloadRegressor(specificForce.at(aTime), angularVelocity.at(wTime), alpha.at(wTime),
                           true, y);
      f.leftCols<10>() = y.topRows<3>();
      t.leftCols<10>() = y.bottomRows<3>();
      for (int c = 0; c < 3; ++c) {
        f(c, 16) = -in_.wrench[i][static_cast<std::size_t>(c)];
        t(c, 16) = -in_.wrench[i][static_cast<std::size_t>(3 + c)];
      }
      const int h = 2 * j < rows_.size() ? 0 : 1;
      addUpper(f, n.force[h]);
      addUpper(t, n.torque[h]);
    }
    for (int h = 0; h < 2; ++h) {
      n.force[h].triangularView<Eigen::StrictlyLower>() = n.force[h].transpose();
      n.torque[h].triangularView<Eigen::StrictlyLower>() = n.torque[h].transpose();
    }
    return n;
  }

  Gram weighted(const Normal& n, int half) const {
    if (half < 0) return weighted(n, 0) + weighted(n, 1);
    const std::size_t h = static_cast<std::size_t>(half);
    return forceWeight_ * n.force[h] + torqueWeight_ * n.torque[h];
  }

  // Unweighted rms of the force and torque residuals of the weighted fit.
  void rms(const Normal& n, double& force, double& torque) const {
    Theta theta;
    leastResidual(weighted(n, -1), theta);
    const double count = 3.0 * static_cast<double>(rows_.size());
    force = std::sqrt(std::max(0.0, theta.dot((n.force[0] + n.force[1]) * theta)) / count);
    torque = std::sqrt(std::max(0.0, theta.dot((n.torque[0] + n.torque[1]) * theta)) / count);
  }

 private:
  const DelayInput& in_;
  VectorTrack alpha_;
  std::vector<std::size_t> rows_;
  double forceWeight_ = 1.0;
  double torqueWeight_ = 1.0;
};

}  // namespace

VectorTrack localPolynomialDerivative(const VectorTrack& track, double halfWidth, int degree,
                                      int order) {
  if (order < 1 || order > 2 || degree < order || degree > 4 || !(halfWidth > 0.0)) {
    throw std::invalid_argument("a local polynomial derivative of order 1 or 2, degree up to 4");
  }
  using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, 5, 5>;
  using Block = Eigen::Matrix<double, Eigen::Dynamic, 3, 0, 5, 3>;
  const std::size_t p = static_cast<std::size_t>(degree) + 1;
  const double reach = halfWidth + DerivativeWindow::kTolerance;
  const double factorial = order == 1 ? 1.0 : 2.0;
  const std::vector<double>& times = track.times;
  VectorTrack out;
  std::size_t low = 0, high = 0;
  for (std::size_t k = 0; k < times.size(); ++k) {
    while (times[low] < times[k] - reach) ++low;
    while (high < times.size() && times[high] <= times[k] + reach) ++high;
    if (k - low < DerivativeWindow::kMinInputsPerHalf ||
        high - k - 1 < DerivativeWindow::kMinInputsPerHalf) {
      continue;
    }
    // Offsets in half widths keep the normal equations well scaled.
    Matrix a = Matrix::Zero(static_cast<Eigen::Index>(p), static_cast<Eigen::Index>(p));
    Block b = Block::Zero(static_cast<Eigen::Index>(p), 3);
    Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 5, 1> x(static_cast<Eigen::Index>(p));
    for (std::size_t j = low; j < high; ++j) {
      const double u = (times[j] - times[k]) / halfWidth;
      x[0] = 1.0;
      for (std::size_t e = 1; e < p; ++e)
        x[static_cast<Eigen::Index>(e)] = x[static_cast<Eigen::Index>(e - 1)] * u;
      a.noalias() += x * x.transpose();
      b.noalias() += x * vec(track.values[j]).transpose();
    }
    const Block c = a.ldlt().solve(b);
    const double scale = factorial / std::pow(halfWidth, order);
    out.times.push_back(times[k]);
    out.values.push_back({scale * c(order, 0), scale * c(order, 1), scale * c(order, 2)});
  }
  return out;
}

double derivativeNoiseFactor(double rate, double halfWidth, int degree, int order) {
  const int half = static_cast<int>(std::floor((halfWidth + DerivativeWindow::kTolerance) * rate));
  if (half < static_cast<int>(DerivativeWindow::kMinInputsPerHalf)) {
    return std::numeric_limits<double>::infinity();
  }
  const Eigen::Index p = degree + 1;
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(p, p);
  Eigen::VectorXd x(p);
  for (int i = -half; i <= half; ++i) {
    const double u = i / (rate * halfWidth);
    x[0] = 1.0;
    for (Eigen::Index e = 1; e < p; ++e) x[e] = x[e - 1] * u;
    a += x * x.transpose();
  }
  const double factorial = order == 1 ? 1.0 : 2.0;
  return factorial * factorial * a.inverse()(order, order) / std::pow(halfWidth, 2 * order);
}

DelayEstimate measureImuDelay(const DelayInput& in, const DelaySearch& search) {
  checkTimes(in.wrenchTimes, in.wrench.size(), "wrench");
  checkTimes(in.specificForce.times, in.specificForce.values.size(), "specific force");
  checkTimes(in.angularVelocity.times, in.angularVelocity.values.size(), "angular velocity");
  if (!(search.range > 0.0 && search.range <= 0.1) || !(search.step >= 0.0)) {
    throw std::invalid_argument("the delay search needs a range within (0, 100] ms");
  }
  const double step =
      std::min(search.step > 0.0 ? search.step : medianInterval(in.wrenchTimes), search.range);
  // Whole steps that reach the range: a little beyond it rather than short of it.
  const int reach = static_cast<int>(std::ceil(search.range / step - 1e-9));

  const DelayFit fit(in, reach * step);
  DelayEstimate e;
  e.rows = fit.rows();
  if (e.rows < kMinimumDelayRows) {
    throw std::invalid_argument(
        "the delay search needs at least " + std::to_string(kMinimumDelayRows) +
        " wrench samples with inertial values at every shift within " +
        format("%.3g", 1e3 * reach * step) + " ms, got " + std::to_string(e.rows));
  }

  std::vector<double> halves[2];
  Normal atZero;
  Theta theta;
  for (int k = -reach; k <= reach; ++k) {
    const double shift = k * step;
    const Normal n = fit.accumulate(shift);
    if (k == 0) atZero = n;
    e.shifts.push_back(shift);
    e.residuals.push_back(leastResidual(fit.weighted(n, -1), theta));
    for (int h = 0; h < 2; ++h) halves[h].push_back(leastResidual(fit.weighted(n, h), theta));
  }

  const Minimum best = findMinimum(e.residuals);
  const double least = e.residuals[best.index];
  const double rise = *std::max_element(e.residuals.begin(), e.residuals.end()) - least;
  const double variance = least / (6.0 * static_cast<double>(e.rows) - 16.0);
  e.delay = e.shifts[best.index] + best.offset * step;
  e.atEdge = best.index == 0 || best.index + 1 == e.shifts.size();
  e.flat = rise < kFlatRise * variance;
  for (int h = 0; h < 2; ++h) {
    const Minimum m = findMinimum(halves[h]);
    e.halves[h] = e.shifts[m.index] + m.offset * step;
  }
  const double curvature = best.curvature / (step * step);
  const double fromCurvature = curvature > 0.0 ? std::sqrt(2.0 * variance / curvature)
                                               : std::numeric_limits<double>::infinity();
  e.uncertainty =
      e.flat ? reach * step
             : std::min<double>(reach * step,
                                std::max(fromCurvature, 0.5 * std::abs(e.halves[0] - e.halves[1])));

  // The lowest local minimum that is not the best or next to it.
  std::size_t other = e.residuals.size();
  for (std::size_t i = 0; i < e.residuals.size(); ++i) {
    const bool below = (i == 0 || e.residuals[i] < e.residuals[i - 1]) &&
                       (i + 1 == e.residuals.size() || e.residuals[i] < e.residuals[i + 1]);
    const bool apart = i + 1 < best.index || i > best.index + 1;
    if (below && apart && (other == e.residuals.size() || e.residuals[i] < e.residuals[other])) {
      other = i;
    }
  }
  if (other < e.residuals.size()) {
    e.otherMinimum = e.shifts[other];
    e.ambiguous =
        e.residuals[other] - least < std::max(kAmbiguousShare * rise, kFlatRise * variance);
  }

  fit.rms(atZero, e.forceRmsAtZero, e.torqueRmsAtZero);
  fit.rms(fit.accumulate(e.delay), e.forceRmsAtDelay, e.torqueRmsAtDelay);

  const std::string range = format("%.0f ms", 1e3 * reach * step);
  if (e.flat) {
    e.warnings.push_back("the fit changes by less than its noise over ±" + range +
                         ": the motion does not tell the delay (move the payload briskly, or "
                         "give the delay by hand)");
  } else {
    if (e.ambiguous) {
      e.warnings.push_back("another minimum of the fit's residual, at " +
                           milliseconds(e.otherMinimum) +
                           ", comes close to the best: the delay is not unique (a vibration of "
                           "the structure?)");
    }
    if (e.atEdge) {
      e.warnings.push_back("the best fit lies at the edge of the search, " + milliseconds(e.delay) +
                           ": the delay may lie beyond ±" + range);
    }
    if (e.uncertainty > kUncertainWarning) {
      e.warnings.push_back("the delay is uncertain by ±" + format("%.2f ms", 1e3 * e.uncertainty) +
                           " (the halves of the recording give " + milliseconds(e.halves[0]) +
                           " and " + milliseconds(e.halves[1]) + ")");
    }
  }
  return e;
}

DelayEstimate measureRecordingDelay(const std::vector<double>& times,
                                    const std::vector<std::array<double, 12>>& values,
                                    const DelaySearch& search) {
  if (times.size() != values.size()) {
    throw std::invalid_argument("times and samples differ in length (" +
                                std::to_string(times.size()) + " and " +
                                std::to_string(values.size()) + ")");
  }
  DelayInput in;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (!in.wrenchTimes.empty()) {
      const double step = times[i] - in.wrenchTimes.back();
      if (step < -kRepeatTolerance) {
        throw std::invalid_argument("time runs backwards at row " + std::to_string(i));
      }
      if (step <= kRepeatTolerance) continue;
    }
    const std::array<double, 12>& v = values[i];
    if (!std::isfinite(times[i]) ||
        !std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) {
      throw std::invalid_argument("sample " + std::to_string(i) +
                                  " has a time or value that is not finite");
    }
    in.wrenchTimes.push_back(times[i]);
    in.wrench.push_back({v[0], v[1], v[2], v[3], v[4], v[5]});
    in.specificForce.times.push_back(times[i]);
    in.specificForce.values.push_back({v[6], v[7], v[8]});
    in.angularVelocity.times.push_back(times[i]);
    in.angularVelocity.values.push_back({v[9], v[10], v[11]});
  }
  if (in.wrenchTimes.size() < kMinimumSamples) {
    throw std::invalid_argument("at least " + std::to_string(kMinimumSamples) +
                                " samples with distinct time stamps are needed, got " +
                                std::to_string(in.wrenchTimes.size()));
  }
  std::vector<double> channel(in.wrench.size());
  for (std::size_t c = 0; c < 6; ++c) {
    for (std::size_t i = 0; i < channel.size(); ++i) channel[i] = in.wrench[i][c];
    in.wrenchVariance[c] = measureChannelNoise(channel).variance;
  }
  return measureImuDelay(in, search);
}

std::string describeDelay(double delay, const std::string& subject) {
  const std::string size = format("%.2f ms", 1e3 * std::abs(delay));
  if (size == "0.00 ms") {
    return "delay 0.00 ms: the " + subject + "'s time stamps and the wrench's agree";
  }
  return "delay " + milliseconds(delay) + ": the " + subject + "'s time stamps " +
         (delay > 0.0 ? "lag" : "lead") + " the wrench's (each " + subject +
         " value belongs with the wrench " + size + (delay > 0.0 ? " before" : " after") +
         " its stamp)";
}

}  // namespace zelto::tool
