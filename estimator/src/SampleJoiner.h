#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <optional>

#include "DerivativeWindow.h"
#include "Sample.h"
#include "SignalHistory.h"
#include "StampedHistory.h"

namespace zelto {

//! Joins the estimator's inputs into inertial samples. For every new input of time t the
//! sample at the centre c ≈ t − W (the newest input at least W old) of the window
//! [c − W, c + W] is joined: the angular acceleration is the derivative at c of the
//! least-squares cubic through the angular velocities in the window, and every other channel is
//! taken at c. So all channels describe the same instant (a causal derivative would describe the
//! motion of some time earlier), and the fit follows hand motion without the bias of a plain
//! slope, which flattens the curvature of ω within the window (0.2 % of α at hand pace, 0.8 % at
//! twice it: more than the error a heavy tool's estimate otherwise has).
//!
//! The half width W is DerivativeWindow::halfWidth of the input period, the median of the last
//! five intervals between inputs on their own time stamps: 25 ms at 100 Hz and above, 2.5
//! periods below, at most 125 ms. The histories hold about
//! 2W of input; in steady state nothing is allocated. One object joins one run: a new run
//! starts with a fresh joiner.
class SampleJoiner {
 public:
  //! imuDelay: s, how much later the IMU's stamps are than the wrench's for the same instant
  //! (within ±DerivativeWindow::kHalfWidth): the sample at c takes the wrench of c − imuDelay.
  explicit SampleJoiner(double imuDelay = 0.0) : imuDelay_(imuDelay) {}

  //! Stores one input and returns the sample it completes, if any. An input whose time
  //! repeats the previous input's (within 1e-5 s) is dropped whole: no input reaches the
  //! estimate twice. Joins nothing, silently, while either half of the window holds fewer
  //! than two inputs (the first 2W of a run, and after a gap); each centre is joined once.
  std::optional<InertialSample> join(const SplitSample& input);

  //! Whether an input was stored, and the latest time stored.
  bool hasInput() const { return hasInput_; }
  double newestTime() const { return newestTime_; }
  //! Time of the latest joined sample (0 before the first).
  double lastJoinedTime() const { return lastCentre_; }
  //! The half width W in use, s.
  double halfWindow() const { return halfWindow_; }
  //! The median interval between the recent inputs, s (0 before the second input).
  double inputPeriod() const { return period_; }
  //! True when the inputs come too far apart for two of them to fit in half of the widest
  //! window: nothing can be joined.
  bool tooSparse() const {
    return period_ * DerivativeWindow::kMinInputsPerHalf > DerivativeWindow::kMaxHalfWidth;
  }

  //! Items held by the angular-velocity history (bounded by the window; for tests).
  std::size_t historySize() const { return angularVelocity_.size(); }

 private:
  static constexpr std::size_t kRecentIntervals = 5;

  void trackPeriod(double time);
  //! The derivative at the centre of the least-squares cubic through the angular velocities
  //! in [centre − W, centre + W] into alpha; false while a half of the window holds too few
  //! inputs.
  bool centredDerivative(double centre, Eigen::Vector3d& alpha) const;
  void dropOlderThan(double time);

  double imuDelay_ = 0.0;
  StampedHistory linearAcceleration_, angularVelocity_, force_, torque_;
  bool hasJoined_ = false;   //!< a sample was joined
  double lastCentre_ = 0.0;  //!< time of the latest joined sample
  bool hasInput_ = false;
  double newestTime_ = 0.0;
  // The last intervals between inputs (ring), their median and the half width they give.
  std::array<double, kRecentIntervals> intervals_{};
  std::size_t intervalCount_ = 0;
  double period_ = 0.0;
  double halfWindow_ = DerivativeWindow::kHalfWidth;
};

}  // namespace zelto
