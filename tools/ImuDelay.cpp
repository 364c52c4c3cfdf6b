#include "ImuDelay.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <type_traits>

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
template <int Rows, class Block>
void addUpper(const Block& d, Gram& g) {
  for (int j = 0; j < 17; ++j) {
    for (int i = 0; i <= j; ++i) {
      double sum = 0.0;
      for (int r = 0; r < Rows; ++r) sum += d(r, i) * d(r, j);
      g(i, j) += sum;
    }
  }
}

// Each half of the recording apart: the rows weighted by their noise (what the fit minimises),
// and the force and torque rows unweighted (for their rms).
struct Normal {
  Gram fit[2];
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

// A low-pass filter run forward and backward (no phase shift) along the rows: a second-order
// Butterworth section per direction at `cutoff` of the sample rate.
class LowPass {
 public:
  explicit LowPass(double cutoff) {
    const double k = std::tan(3.14159265358979323846 * cutoff);
    const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
    b0_ = k * k * norm;
    a1_ = 2.0 * (k * k - 1.0) * norm;
    a2_ = (1.0 - std::sqrt(2.0) * k + k * k) * norm;
  }

  template <class Sequence>
  void apply(Sequence& x) const {
    pass(x.begin(), x.end());
    pass(x.rbegin(), x.rend());
  }

  // Σh² of the whole filter: the variance of white noise after it, per unit before.
  double noiseGain(std::size_t length) const {
    std::vector<double> x(length, 0.0);
    x[length / 2] = 1.0;
    apply(x);
    double sum = 0.0;
    for (double v : x) sum += v * v;
    return sum;
  }

 private:
  // Each component of the values in turn (a number, or an array of them).
  template <class It>
  void pass(It begin, It end) const {
    using Value = std::decay_t<decltype(*begin)>;
    if constexpr (std::is_arithmetic_v<Value>) {
      passOne(begin, end, [](Value& v) -> double& { return v; });
    } else {
      for (std::size_t c = 0; c < std::tuple_size<Value>::value; ++c) {
        passOne(begin, end, [c](Value& v) -> double& { return v[c]; });
      }
    }
  }

  // Starts from the first value held since ever, so a constant passes unchanged.
  template <class It, class Component>
  void passOne(It begin, It end, Component component) const {
    if (begin == end) return;
    double x1 = component(*begin), x2 = x1, y1 = x1, y2 = x1;
    for (It it = begin; it != end; ++it) {
      double& value = component(*it);
      const double y0 = b0_ * (value + 2.0 * x1 + x2) - a1_ * y1 - a2_ * y2;
      x2 = x1;
      x1 = value;
      y2 = y1;
      y1 = y0;
      value = y0;
    }
  }

  double b0_ = 1.0, a1_ = 0.0, a2_ = 0.0;
};

// The regressor is linear in the specific force a, the angular acceleration α and the products
// ω_i·ω_j of the angular velocity: Y = B₀ + Σ s_k·B_k over those twelve signals s_k. Filtering
// the twelve signals filters Y exactly, at a fraction of the cost of filtering Y.
constexpr int kSignals = 12;
using Signals = std::array<double, kSignals>;
using Row = Eigen::Matrix<double, 6, 17>;

Signals signalsOf(const Vec3& a, const Vec3& w, const Vec3& alpha) {
  return {a.x(),         a.y(),         a.z(),         alpha.x(),     alpha.y(),     alpha.z(),
          w.x() * w.x(), w.y() * w.y(), w.z() * w.z(), w.x() * w.y(), w.x() * w.z(), w.y() * w.z()};
}

class DelayFit {
 public:
  DelayFit(const DelayInput& in, double reach, double lowPass) : in_(in) {
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
    wrenchNoise_.setZero();
    wrenchNoise_.diagonal() << Vec3::Constant(std::max(force, kVarianceFloor)),
        Vec3::Constant(std::max(torque, kVarianceFloor));
    whiten_ = wrenchNoise_.diagonal().cwiseInverse().cwiseSqrt().asDiagonal();
    findBasis();
    used_.assign(rows_.size(), true);
    wrench_.resize(rows_.size());
    for (std::size_t j = 0; j < rows_.size(); ++j) wrench_[j] = in.wrench[rows_[j]];
    wrenchInterval_ = medianInterval(in.wrenchTimes);
    if (rows_.size() < 2) return;
    // The filter's transients at both ends are left out. After it the rows are oversampled:
    // every `stride_`-th (eight per period of the cutoff) stands for its neighbours.
    const double rate = 1.0 / wrenchInterval_;
    if (lowPass > 0.0 && lowPass < 0.4 * rate) {
      filter_.emplace(lowPass / rate);
      edge_ = static_cast<std::size_t>(std::ceil(0.5 * rate / lowPass));
      stride_ = std::max<std::size_t>(1, static_cast<std::size_t>(rate / (8.0 * lowPass)));
      noiseGain_ = filter_->noiseGain(32 * edge_ + 1);
      for (std::size_t j = 0; j < rows_.size(); ++j) {
        used_[j] = j >= edge_ && j + edge_ < rows_.size();
      }
      filter_->apply(wrench_);
    }
  }

  //! Wrench samples that enter the fit.
  std::size_t rows() const {
    return static_cast<std::size_t>(std::count(used_.begin(), used_.end(), true));
  }
  //! Share of the rows' white noise the filter lets through (1 without a filter).
  double noiseGain() const { return noiseGain_; }

  //! Leaves out the rows whose weighted residual at `shift` with the fit's parameters exceeds
  //! ten times the median's, and their neighbours within the filter's reach: a tap or a contact
  //! on the tool, which the payload model does not describe. Returns how many.
  std::size_t excludeOutliers(double shift) {
    const std::vector<Signals> s = filteredSignals(shift);
    Theta theta;
    leastResidual(weighted(accumulate(s), -1), theta);
    std::vector<double> r(s.size(), 0.0), kept;
    for (std::size_t j = 0; j < s.size(); j += stride_) {
      const Eigen::Matrix<double, 6, 1> e = row(s, j) * theta;
      r[j] = (whiten_ * e).squaredNorm();
      if (used_[j]) kept.push_back(r[j]);
    }
    if (kept.empty()) return 0;
    const double limit = 10.0 * median(kept);
    const std::size_t before = rows();
    std::vector<bool> used = used_;
    for (std::size_t j = 0; j < s.size(); j += stride_) {
      if (!used_[j] || r[j] <= limit) continue;
      const std::size_t from = j > edge_ + stride_ ? j - edge_ - stride_ : 0;
      const std::size_t to = std::min(s.size(), j + edge_ + stride_ + 1);
      for (std::size_t k = from; k < to; ++k) used[k] = false;
    }
    used_ = used;
    return before - rows();
  }

  Normal accumulate(double shift) const { return accumulate(filteredSignals(shift)); }

  Gram weighted(const Normal& n, int half) const {
    return half < 0 ? Gram(n.fit[0] + n.fit[1]) : n.fit[static_cast<std::size_t>(half)];
  }

  //! Weights the rows by all of their noise from now on: besides the wrench's, the specific
  //! force's, which enters each row through the mass and first moments fitted at `shift`. With
  //! a noisy accelerometer this noise dominates, is larger along some axes than others and is
  //! shared by the force and torque rows; weighting by the wrench's alone lets the noisiest
  //! axis drive the fit. Nothing changes when the specific force's variance is not known.
  void weighAccelerometerNoise(double shift) {
    const std::array<double, 3>& variance = in_.specificForceVariance;
    if (std::all_of(variance.begin(), variance.end(), [](double v) { return !(v > 0.0); })) return;
    Theta theta;
    leastResidual(weighted(accumulate(shift), -1), theta);
    // Both sides are compared below the cutoff, where white noise counts by its density: the
    // specific force's variance per sample at its own rate counts as many wrench samples' worth.
    const double density = medianInterval(in_.specificForce.times) / wrenchInterval_;
    Eigen::Matrix<double, 6, 6> noise = wrenchNoise_;
    for (int i = 0; i < 3; ++i) {
      const Eigen::Matrix<double, 6, 1> j = basis_[1 + i] * theta.head<10>();
      noise += std::max(0.0, variance[static_cast<std::size_t>(i)]) * density * j * j.transpose();
    }
    whiten_ = noise.llt().matrixL().solve(Eigen::Matrix<double, 6, 6>::Identity());
  }

  // Unweighted rms of the force and torque residuals of the weighted fit.
  void rms(const Normal& n, double& force, double& torque) const {
    Theta theta;
    leastResidual(weighted(n, -1), theta);
    const double count = 3.0 * static_cast<double>(rows());
    force = std::sqrt(std::max(0.0, theta.dot((n.force[0] + n.force[1]) * theta)) / count);
    torque = std::sqrt(std::max(0.0, theta.dot((n.torque[0] + n.torque[1]) * theta)) / count);
  }

 private:
  // B₀ and the B_k of the twelve signals, read off the regressor itself.
  void findBasis() {
    Regressor y;
    const Vec3 zero = Vec3::Zero();
    fillPayloadRegressor(zero, zero, zero, true, y);
    basis_[0] = y;
    for (int i = 0; i < 3; ++i) {
      fillPayloadRegressor(Vec3::Unit(i), zero, zero, true, y);
      basis_[1 + i] = y - basis_[0];
      fillPayloadRegressor(zero, zero, Vec3::Unit(i), true, y);
      basis_[4 + i] = y - basis_[0];
      fillPayloadRegressor(zero, Vec3::Unit(i), zero, true, y);
      basis_[7 + i] = y - basis_[0];
    }
    const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (int p = 0; p < 3; ++p) {
      const int i = pairs[p][0], j = pairs[p][1];
      fillPayloadRegressor(zero, Vec3::Unit(i) + Vec3::Unit(j), zero, true, y);
      basis_[10 + p] = y - basis_[0] - basis_[7 + i] - basis_[7 + j];
    }
  }

  // The twelve signals at each row with the inertial values at t + shift; filtered.
  std::vector<Signals> filteredSignals(double shift) const {
    std::vector<Signals> s(rows_.size());
    Interpolator specificForce(in_.specificForce), angularVelocity(in_.angularVelocity),
        alpha(alpha_);
    for (std::size_t j = 0; j < rows_.size(); ++j) {
      const double time = in_.wrenchTimes[rows_[j]];
      const double aTime = time + (in_.specificForceDelayed ? shift : 0.0);
      const double wTime = time + (in_.angularVelocityDelayed ? shift : 0.0);
      s[j] = signalsOf(specificForce.at(aTime), angularVelocity.at(wTime), alpha.at(wTime));
    }
    if (filter_) filter_->apply(s);
    return s;
  }

  // The fit's row j: the regressor, the biases' −I, then −wrench.
  Row row(const std::vector<Signals>& s, std::size_t j) const {
    Row m = Row::Zero();
    Regressor y = basis_[0];
    for (int k = 0; k < kSignals; ++k) y += s[j][static_cast<std::size_t>(k)] * basis_[1 + k];
    m.leftCols<10>() = y;
    m.block<3, 3>(0, 10) = -Eigen::Matrix3d::Identity();
    m.block<3, 3>(3, 13) = -Eigen::Matrix3d::Identity();
    for (int c = 0; c < 6; ++c) m(c, 16) = -wrench_[j][static_cast<std::size_t>(c)];
    return m;
  }

  Normal accumulate(const std::vector<Signals>& s) const {
    Normal n;
    for (int h = 0; h < 2; ++h) {
      n.fit[h].setZero();
      n.force[h].setZero();
      n.torque[h].setZero();
    }
    std::size_t count = 0, total = 0;
    for (std::size_t j = 0; j < s.size(); j += stride_) total += used_[j] ? 1 : 0;
    for (std::size_t j = 0; j < s.size(); j += stride_) {
      if (!used_[j]) continue;
      const int h = 2 * count++ < total ? 0 : 1;
      const Row m = row(s, j);
      const Row whitened = whiten_ * m;
      addUpper<6>(whitened, n.fit[h]);
      addUpper<3>(m.topRows<3>(), n.force[h]);
      addUpper<3>(m.bottomRows<3>(), n.torque[h]);
    }
    const double scale = static_cast<double>(stride_);
    for (int h = 0; h < 2; ++h) {
      for (Gram* g : {&n.fit[h], &n.force[h], &n.torque[h]}) {
        g->triangularView<Eigen::StrictlyLower>() = g->transpose();
        *g *= scale;
      }
    }
    return n;
  }

  const DelayInput& in_;
  VectorTrack alpha_;
  std::vector<std::size_t> rows_;
  std::vector<std::array<double, 6>> wrench_;  // per element of rows_, filtered
  std::vector<bool> used_;                     // per element of rows_
  std::array<Regressor, 1 + kSignals> basis_;
  std::optional<LowPass> filter_;
  std::size_t edge_ = 0;    // rows the filter reaches on either side
  std::size_t stride_ = 1;  // rows apart that enter the sums
  double noiseGain_ = 1.0;
  double wrenchInterval_ = 1.0;  // s, the wrench's median
  // The rows' noise covariance without the specific force's, and its inverse Cholesky factor
  // (or that of all of it), which the rows are multiplied with.
  Eigen::Matrix<double, 6, 6> wrenchNoise_;
  Eigen::Matrix<double, 6, 6> whiten_;
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

  DelayFit fit(in, reach * step, search.lowPass);
  DelayEstimate e;
  e.rows = fit.rows();
  const auto enough = [&] {
    if (e.rows >= kMinimumDelayRows) return;
    throw std::invalid_argument(
        "the delay search needs at least " + std::to_string(kMinimumDelayRows) +
        " wrench samples with inertial values at every shift within " +
        format("%.3g", 1e3 * reach * step) + " ms, got " + std::to_string(e.rows));
  };
  enough();

  std::vector<double> halves[2];
  Normal atZero;
  Theta theta;
  const auto scan = [&] {
    e.shifts.clear();
    e.residuals.clear();
    halves[0].clear();
    halves[1].clear();
    for (int k = -reach; k <= reach; ++k) {
      const double shift = k * step;
      const Normal n = fit.accumulate(shift);
      if (k == 0) atZero = n;
      e.shifts.push_back(shift);
      e.residuals.push_back(leastResidual(fit.weighted(n, -1), theta));
      for (int h = 0; h < 2; ++h) halves[h].push_back(leastResidual(fit.weighted(n, h), theta));
    }
  };
  // Rows the model does not describe (a tap, a contact) are left out at no shift, then again
  // at the delay found without them.
  e.excludedRows = fit.excludeOutliers(0.0);
  scan();
  const Minimum first = findMinimum(e.residuals);
  const double pilot = e.shifts[first.index] + first.offset * step;
  fit.weighAccelerometerNoise(pilot);
  e.excludedRows += fit.excludeOutliers(pilot);
  e.rows = fit.rows();
  enough();
  scan();

  const Minimum best = findMinimum(e.residuals);
  const double least = e.residuals[best.index];
  const double rise = *std::max_element(e.residuals.begin(), e.residuals.end()) - least;
  // Per degree of freedom of the rows as independent as the filter leaves them.
  const double variance =
      least / std::max(1.0, 6.0 * fit.noiseGain() * static_cast<double>(e.rows) - 16.0);
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
  // A resampled accelerometer reads far too little noise here; its rows then weigh as by the
  // wrench's noise alone, as when the variance is not known.
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t i = 0; i < channel.size(); ++i) channel[i] = in.specificForce.values[i][c];
    in.specificForceVariance[c] = measureChannelNoise(channel).variance;
  }
  return measureImuDelay(in, search);
}

std::string configurationObjection(const DelayEstimate& e) {
  const std::string range = format("%.0f ms", 1e3 * (e.shifts.empty() ? 0.0 : e.shifts.back()));
  if (e.flat) return "the fit is flat over ±" + range + ": the motion does not tell the delay";
  if (e.ambiguous) {
    return "the delay is not unique (another minimum of the fit at " +
           milliseconds(e.otherMinimum) + ")";
  }
  if (e.atEdge) return "the best fit lies at the edge of the search, ±" + range;
  if (!(std::abs(e.delay) <= kConfigurableDelay)) {
    return "the delay " + milliseconds(e.delay) + " lies beyond the ±" +
           format("%.0f ms", 1e3 * kConfigurableDelay) + " the libraries pair";
  }
  return "";
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
