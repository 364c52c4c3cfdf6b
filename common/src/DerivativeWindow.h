#pragma once

#include <Eigen/Dense>
#include <cmath>
#include <cstddef>
#include <limits>

namespace zelto {

//! The window of the estimator's angular-acceleration fit: the derivative at c of the
//! least-squares cubic through the gyro inputs within c ± W. The estimator joins with it, and
//! the noise measurement derives the variance of that derivative from it.
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
  //! Inputs each half of the window must hold for a derivative.
  static constexpr std::size_t kMinInputsPerHalf = 2;

  //! W for inputs period seconds apart. At 100 Hz and above (within the rounding of the time
  //! stamps) the least half width is used as it is, so the derivative at those rates does not
  //! depend on the measured period at all.
  static constexpr double halfWidth(double period) {
    const double wanted = kPeriodsPerHalfWidth * period;
    if (!(wanted > kHalfWidth + kTolerance)) return kHalfWidth;
    return wanted < kMaxHalfWidth ? wanted : kMaxHalfWidth;
  }

  //! Variance of the derivative per unit gyro variance (1/s²) for inputs period seconds apart:
  //! the derivative is a weighted sum Σ wᵢ·ωᵢ, so this is Σ wᵢ² = [(XᵀX)⁻¹]₁₁ for the design
  //! matrix X with rows (1, d, d², d³) of the offsets d of the inputs in the window from its
  //! centre. 567 at 1 kHz; infinite where the window cannot hold two inputs on either side.
  static double noiseFactor(double period) {
    const double w = halfWidth(period);
    const int half = static_cast<int>(std::floor((w + kTolerance) / period));
    if (half < static_cast<int>(kMinInputsPerHalf)) return std::numeric_limits<double>::infinity();
    Eigen::Matrix4d normal = Eigen::Matrix4d::Zero();
    for (int i = -half; i <= half; ++i) {
      const double d = i * period;
      const Eigen::Vector4d x(1.0, d, d * d, d * d * d);
      normal += x * x.transpose();
    }
    return normal.inverse()(1, 1);
  }
};

}  // namespace zelto
