#pragma once

#include <Eigen/Dense>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace zelto {

//! The windows of the estimator's angular-acceleration fits: the derivative at c of the
//! least-squares polynomial through the gyro inputs within c ± W.
//!
//! The reference fit is the cubic over ±25 ms (wider below 100 Hz): the estimator judges every
//! sample with it, and the configured "angular_acc" variance describes it (the noise
//! measurement derives that variance from it). A gyro noisier than kQuietGyroVariance makes
//! that derivative as noisy as the signal of slow motion, and the inertia then breaks; the
//! samples the estimate is fed take their derivative from a wider fit instead (choose()).
struct DerivativeWindow {
  //! Least half width W, s. Narrower windows are noisier, wider ones blur brisk motion.
  static constexpr double kHalfWidth = 0.025;
  //! Input periods per half width where that is wider than kHalfWidth (below 100 Hz): two
  //! inputs on either side of the centre, with room for jitter.
  static constexpr double kPeriodsPerHalfWidth = 2.5;
  //! Largest half width, s: inputs more than half of it apart can never be joined.
  static constexpr double kMaxHalfWidth = 0.125;
  //! Slack on the window's edges, s: inputs on an edge count whatever the rounding of their
  //! time stamps (half the repeat tolerance, above the resolution of Unix-epoch times).
  static constexpr double kTolerance = 5e-6;
  //! Inputs each half of the reference window must hold for a derivative.
  static constexpr std::size_t kMinInputsPerHalf = 2;

  //! A least-squares polynomial fit: half width, s, and degree (3 or 5).
  struct Fit {
    double halfWidth = kHalfWidth;
    int degree = 3;
  };

  //! The gyro variance (rad²/s²) up to which the reference fit stays: the variance of its
  //! derivative at this gyro noise is the bound every wider fit must meet, so estimates on a
  //! gyro this quiet are those of the reference fit alone.
  static constexpr double kQuietGyroVariance = 1e-5;

  //! The wider fits, tried in this order for a noisier gyro. Between ±50 and ±100 ms the cubic
  //! starts to flatten brisk hand motion (over ±100 ms by 0.5 % of α at twice the hand pace,
  //! more than a plain slope over ±25 ms at hand pace), so the widest is a quintic (0.01 %). Their
  //! derivative's variance per gyro variance at 1 kHz: 73 and 28, against the reference's 567.
  static constexpr std::array<Fit, 2> kWideFits{{{0.05, 3}, {0.1, 5}}};
  static constexpr double kWidestHalfWidth = kWideFits.back().halfWidth;  //!< s

  //! W for inputs period seconds apart. At 100 Hz and above (within the rounding of the time
  //! stamps) the least half width is used as it is, so the derivative at those rates does not
  //! depend on the measured period at all.
  static constexpr double halfWidth(double period) {
    const double wanted = kPeriodsPerHalfWidth * period;
    if (!(wanted > kHalfWidth + kTolerance)) return kHalfWidth;
    return wanted < kMaxHalfWidth ? wanted : kMaxHalfWidth;
  }

  //! The reference fit for inputs period seconds apart: the cubic over ±halfWidth(period).
  static Fit reference(double period) { return Fit{halfWidth(period), 3}; }

  //! Inputs each half of a fit's window must hold: two, and at least half the coefficients.
  static constexpr std::size_t minInputsPerHalf(int degree) {
    const std::size_t forDegree = static_cast<std::size_t>(degree + 1) / 2;
    return forDegree > kMinInputsPerHalf ? forDegree : kMinInputsPerHalf;
  }

  //! Inputs on either side of the centre of a window of evenly spaced inputs (0 for a period
  //! that is not positive; at most a million, beyond any sensor's rate).
  static int halfCount(double period, double halfWidth) {
    const double count = std::floor((halfWidth + kTolerance) / period);
    if (!(count > 0.0)) return 0;
    return count < 1e6 ? static_cast<int>(count) : 1000000;
  }

  //! Variance of the reference derivative per unit gyro variance (1/s²) for inputs period
  //! seconds apart: the derivative is a weighted sum Σ wᵢ·ωᵢ, so this is Σ wᵢ² = [(XᵀX)⁻¹]₁₁
  //! for the design matrix X with rows (1, d, d², d³) of the offsets d of the inputs in the
  //! window from its centre. 567 at 1 kHz; infinite where the window cannot hold two inputs on
  //! either side.
  static double noiseFactor(double period) {
    const double w = halfWidth(period);
    const int half = halfCount(period, w);
    if (half < static_cast<int>(kMinInputsPerHalf)) return std::numeric_limits<double>::infinity();
    Eigen::Matrix4d normal = Eigen::Matrix4d::Zero();
    for (int i = -half; i <= half; ++i) {
      const double d = i * period;
      const Eigen::Vector4d x(1.0, d, d * d, d * d * d);
      normal += x * x.transpose();
    }
    return normal.inverse()(1, 1);
  }

  //! The same for any fit (1/s²); infinite where its window cannot hold enough inputs.
  static double noiseFactor(double period, const Fit& fit) {
    const int half = halfCount(period, fit.halfWidth);
    if (half < static_cast<int>(minInputsPerHalf(fit.degree))) {
      return std::numeric_limits<double>::infinity();
    }
    const double scale = half * period;  // the offsets in units of the outermost one
    return (fit.degree == 5 ? scaledInverse<5>(half) : scaledInverse<3>(half)) / (scale * scale);
  }

  //! The fit the estimate's samples take their derivative from, for inputs period seconds
  //! apart and a gyro of the given variance (rad²/s², the largest of the axes): the reference
  //! fit up to kQuietGyroVariance, else the first of kWideFits whose derivative is no noisier
  //! than the reference's at kQuietGyroVariance, else the widest (its noise then exceeds that
  //! bound, and the estimate's σ says so). Wide fits must be wider than the reference and hold
  //! enough inputs.
  static Fit choose(double period, double gyroVariance) {
    const Fit ref = reference(period);
    const double bound = noiseFactor(period) * kQuietGyroVariance;
    if (!(gyroVariance > kQuietGyroVariance) || !std::isfinite(bound)) return ref;
    Fit chosen = ref;
    for (const Fit& fit : kWideFits) {
      if (!(fit.halfWidth > ref.halfWidth + kTolerance)) continue;
      const double factor = noiseFactor(period, fit);
      if (!std::isfinite(factor)) continue;
      chosen = fit;
      if (gyroVariance * factor <= bound) break;
    }
    return chosen;
  }

  //! The weights gᵢ, i = −half…half, of the fit's derivative for evenly spaced inputs: the
  //! derivative is Σ gᵢ·ω(c + i·T) / T for inputs T apart, whatever T. weights must hold
  //! 2·half + 1 values.
  template <int Degree>
  static void gridWeights(int half, double* weights) {
    const auto inverse = scaledNormal<Degree>(half).inverse().eval();
    for (int i = -half; i <= half; ++i) {
      const double u = static_cast<double>(i) / half;
      weights[i + half] = inverse.row(1).transpose().dot(powers<Degree>(u)) / half;
    }
  }

 private:
  template <int Degree>
  static Eigen::Matrix<double, Degree + 1, 1> powers(double u) {
    Eigen::Matrix<double, Degree + 1, 1> x;
    x(0) = 1.0;
    for (int j = 1; j <= Degree; ++j) x(j) = x(j - 1) * u;
    return x;
  }

  // Σ x·xᵀ over the offsets u = i / half in [−1, 1]: conditioned well enough whatever the rate.
  template <int Degree>
  static Eigen::Matrix<double, Degree + 1, Degree + 1> scaledNormal(int half) {
    Eigen::Matrix<double, Degree + 1, Degree + 1> normal;
    normal.setZero();
    for (int i = -half; i <= half; ++i) {
      const Eigen::Matrix<double, Degree + 1, 1> x = powers<Degree>(static_cast<double>(i) / half);
      normal += x * x.transpose();
    }
    return normal;
  }

  template <int Degree>
  static double scaledInverse(int half) {
    return scaledNormal<Degree>(half).inverse()(1, 1);
  }
};

}  // namespace zelto
