#pragma once

#include <cstddef>

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
};

}  // namespace zelto
