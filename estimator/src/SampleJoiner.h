#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <optional>

#include "DerivativeWindow.h"
#include "RingQueue.h"
#include "Sample.h"
#include "SignalHistory.h"
#include "StampedHistory.h"

namespace zelto {

//! What one input completes (either may be absent).
struct JoinedSamples {
  //! The sample at the centre of the reference window, with the reference derivative: what the
  //! gate judges, as soon after its instant as the narrow window allows.
  std::optional<InertialSample> judged;
  //! Only where the fit is wider than the reference window: the sample of an instant judged
  //! before, once the fit's window about it has closed, with the fit's derivative; the estimate
  //! takes it in place of the judged sample of the same instant. Otherwise the judged samples
  //! are the ones fed.
  std::optional<InertialSample> fed;
};

//! Joins the estimator's inputs into inertial samples. For every new input of time t the
//! sample at the centre c ≈ t − W (the newest input at least W old) of the window
//! [c − W, c + W] is joined: the angular acceleration is the derivative at c of the
//! least-squares polynomial through the angular velocities in the window, and every other
//! channel is taken at c. So all channels describe the same instant (a causal derivative would
//! describe the motion of some time earlier), and the fit follows hand motion without the bias
//! of a plain slope, which flattens the curvature of ω within the window (0.2 % of α at hand
//! pace, 0.8 % at twice it: more than the error a heavy tool's estimate otherwise has).
//!
//! The reference window (DerivativeWindow::reference) is the cubic over ±25 ms at 100 Hz and
//! above, 2.5 input periods below, at most 125 ms; the input period is the median of the last
//! five intervals between inputs on their own time stamps. At the first join of a run the fit
//! of the fed samples is chosen from the gyro variance at the period measured then
//! (DerivativeWindow::choose). Where it is wider, every input can complete two samples: the
//! judged one and the fed one of the oldest judged instant whose wide window has closed, about
//! W_fit − W_ref after it was judged (JoinedSamples). Every judged instant thus gets its fed
//! twin, in order, whatever the jitter of the stamps.
//!
//! A window of evenly spaced inputs (every interval within half a period of the median) takes
//! the wide fit's derivative from precomputed weights, a dot product, with the window's own
//! mean spacing; a window with a dropped input, or stamps further off, is fitted on its time
//! stamps. Taking jittered stamps as even costs nothing the fit is chosen for: inputs δ off
//! their places err the derivative by α·Σ gᵢδᵢ / T, at random, 0.05 % of α for δ of a tenth of
//! a period at 1 kHz (0.002 rad/s² at hand pace), against the fit's own noise of 0.05 rad/s²
//! at the gyro noise that makes it wide.
//!
//! The histories hold about 2·W of input (of the wider window); in steady state nothing is
//! allocated. One object joins one run: a new run starts with a fresh joiner.
class SampleJoiner {
 public:
  //! imuDelay: s, how much later the IMU's stamps are than the wrench's for the same instant
  //! (within ±DerivativeWindow::kHalfWidth): the sample at c takes the wrench of c − imuDelay.
  //! gyroVariance: rad²/s², the largest configured angular-velocity variance (chooses the fit).
  explicit SampleJoiner(double imuDelay = 0.0, double gyroVariance = 0.0)
      : imuDelay_(imuDelay), gyroVariance_(gyroVariance) {}

  //! Stores one input and returns the samples it completes. An input whose time repeats the
  //! previous input's (within 1e-5 s) is dropped whole: no input reaches the estimate twice.
  //! Joins nothing, silently, while either half of a window holds too few inputs (the first
  //! 2W of a run, and after a gap); each centre is joined once per window.
  JoinedSamples join(const SplitSample& input);

  //! Whether an input was stored, and the latest time stored.
  bool hasInput() const { return hasInput_; }
  double newestTime() const { return newestTime_; }
  //! Time of the latest judged sample (0 before the first).
  double lastJoinedTime() const { return lastCentre_; }
  //! The half width W of the reference window in use, s.
  double halfWindow() const { return halfWindow_; }
  //! The median interval between the recent inputs, s (0 before the second input).
  double inputPeriod() const { return period_; }
  //! True when the inputs come too far apart for two of them to fit in half of the widest
  //! window: nothing can be joined.
  bool tooSparse() const {
    return period_ * DerivativeWindow::kMinInputsPerHalf > DerivativeWindow::kMaxHalfWidth;
  }
  //! The fit of the fed samples (the reference until the first join), and whether it is wider
  //! than the reference (then JoinedSamples::fed carries them).
  const DerivativeWindow::Fit& fit() const { return fit_; }
  bool widened() const { return widened_; }

  //! Items held by the angular-velocity history (bounded by the window; for tests).
  std::size_t historySize() const { return angularVelocity_.size(); }

  //! Most inputs a wide fit's precomputed weights cover (±100 ms up to 10 kHz); windows of
  //! more inputs are fitted on their time stamps.
  static constexpr std::size_t kMaxGridInputs = 2001;
  //! Most judged instants waiting for their wide window to close (75 ms up to 13 kHz); the
  //! oldest is given up beyond.
  static constexpr std::size_t kMaxPending = 1024;

 private:
  static constexpr std::size_t kRecentIntervals = 5;
  //! Largest deviation of an interval from the median period, in periods, for inputs that
  //! count as evenly spaced: stamp jitter passes, a dropped input (a whole period) or a burst
  //! does not.
  static constexpr double kGridJitter = 0.5;

  void trackPeriod(double time);
  //! Index of the newest input at least age older than the newest input, if any.
  std::optional<std::size_t> centreIndex(double age) const;
  //! The sample at the input of that index, with the derivative alpha.
  InertialSample sampleAt(std::size_t index, const Eigen::Vector3d& alpha);
  //! The wide fit's derivative at the input of that index into alpha; false while a half of
  //! its window holds too few inputs.
  bool fitDerivative(std::size_t centre, Eigen::Vector3d& alpha);
  void dropOlderThan(double time);

  double imuDelay_ = 0.0;
  double gyroVariance_ = 0.0;
  StampedHistory linearAcceleration_, angularVelocity_, force_, torque_;
  bool hasJoined_ = false;   //!< a sample was judged
  double lastCentre_ = 0.0;  //!< time of the latest judged sample
  //! Judged instants whose fed twin is still to come, oldest first.
  RingQueue<double, kMaxPending> pending_;
  bool hasInput_ = false;
  double newestTime_ = 0.0;
  // The last intervals between inputs (ring), their median and the half width they give.
  std::array<double, kRecentIntervals> intervals_{};
  std::size_t intervalCount_ = 0;
  double period_ = 0.0;
  double halfWindow_ = DerivativeWindow::kHalfWidth;
  // The fed samples' fit, chosen at the first join.
  bool fitChosen_ = false;
  DerivativeWindow::Fit fit_;
  bool widened_ = false;
  //! Time of the latest input whose interval to the one before was not within kGridJitter of
  //! the median period: windows that begin at or after it are evenly spaced.
  double irregularAt_ = 0.0;
  // The wide fit's weights for windows of 2·gridHalf_ + 1 evenly spaced inputs.
  int gridHalf_ = 0;
  std::array<double, kMaxGridInputs> gridWeights_{};
};

}  // namespace zelto
