#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace zelto::tool {

// The sign of a delay d, here and wherever it is printed or given: a positive d means that the
// IMU's time stamps lag the wrench's, so the IMU value stamped t belongs with the wrench stamped
// t − d (an IMU that reports late, e.g. after its own filter). Pairing the two undoes it: the
// wrench stamped t takes the IMU values at t + d.

//! Samples of one vector quantity at their own time stamps (s, increasing).
struct VectorTrack {
  std::vector<double> times;
  std::vector<std::array<double, 3>> values;
};

//! What the delay search fits: the wrench at its time stamps and the inertial quantities, each
//! on its own clock.
struct DelayInput {
  std::vector<double> wrenchTimes;            //!< s, increasing
  std::vector<std::array<double, 6>> wrench;  //!< fx fy fz tx ty tz, N and N·m, sensor frame
  //! White-noise variances of the six wrench channels: their part of the rows' noise is the
  //! mean force variance on the force rows and the mean torque variance on the torque rows.
  std::array<double, 6> wrenchVariance{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  VectorTrack specificForce;  //!< m/s², sensor frame, gravity included
  //! White-noise variances of the specific force per sample at its own rate, sensor axes
  //! (m²/s⁴); zero: not known, the rows are weighted by the wrench's noise alone.
  std::array<double, 3> specificForceVariance{0.0, 0.0, 0.0};
  VectorTrack angularVelocity;  //!< rad/s, sensor frame
  //! Which of the two are on the delayed clock; the other is on the wrench's (e.g. an angular
  //! velocity derived from a robot's orientation, which the wrench shares a clock with).
  bool specificForceDelayed = true;
  bool angularVelocityDelayed = true;
};

//! The candidates.
struct DelaySearch {
  double range = 0.030;  //!< s: shifts within ±range
  //! s: spacing of the candidate shifts; 0 takes the wrench's median interval, so that on a
  //! recording whose IMU shares the wrench's clock every candidate pairs whole samples (shifts
  //! between them would average neighbouring IMU samples and lower the residual by that alone).
  double step = 0.0;
  //! Hz: both sides of the fit are low-passed alike (forward and backward, second order)
  //! before it, which keeps the motion and drops the noise and a structure's ringing; 0: not.
  double lowPass = 10.0;
};

//! The delay that best fits the payload model, and how well the recording tells it.
//!
//! Method: for each candidate shift s = k·step within ±range, each wrench sample of t is paired
//! with the specific force, angular velocity and angular acceleration at t + s (those on the
//! delayed clock; linear interpolation on each track's own samples; the angular acceleration is
//! the derivative of the least-squares cubic through the angular velocity within the estimator's
//! window, ±25 ms at 100 Hz and above). Mass, first moments m·c, the inertia about the sensor
//! origin and the six biases are fitted to all pairs by weighted linear least squares with the
//! rigid-body regressor; the same wrench samples (those paired for every candidate) enter every
//! fit. The rows are weighted by the inverse of their noise covariance: the wrench's and, once
//! a first scan has found the mass and first moments, the specific force's carried through
//! them (when its variance is known). The delay is the shift of the least weighted residual over
//! the whole range, refined below one step by the parabola through it and its two neighbours.
//!
//! Uncertainty: the larger of the curvature's (2σ²/R'' at the minimum, σ² the residual per
//! degree of freedom) and half the difference between the delays of the recording's two halves,
//! which also catches residuals correlated in time. Flat: the residual rises over the range by
//! less than 25σ², so the motion does not tell the delay. Ambiguous: another local minimum, not
//! next to the best, lies above it by less than a tenth of that rise or 25σ² (e.g. a structure's
//! vibration repeats the fit's minimum every period).
struct DelayEstimate {
  double delay = 0.0;             //!< s, sign as above
  double uncertainty = 0.0;       //!< s, 1σ; the whole range when flat
  double halves[2] = {0.0, 0.0};  //!< s, the delays of the first and second half alone
  bool flat = false;
  bool ambiguous = false;
  bool atEdge = false;           //!< the least residual lies at ±range: the delay may lie beyond
  double otherMinimum = 0.0;     //!< s, the lowest other local minimum (when ambiguous)
  std::size_t rows = 0;          //!< wrench samples fitted
  std::size_t excludedRows = 0;  //!< left out as not described by the payload model
  //! Unweighted rms of the force (N) and torque (N·m) residuals at no shift and at the delay.
  double forceRmsAtZero = 0.0, torqueRmsAtZero = 0.0;
  double forceRmsAtDelay = 0.0, torqueRmsAtDelay = 0.0;
  std::vector<double> shifts;         //!< s, the candidates
  std::vector<double> residuals;      //!< weighted residual sum of squares at each
  std::vector<std::string> warnings;  //!< one line each, without a line end
};

//! Measures the delay. Throws std::invalid_argument when the sizes differ, a track has fewer
//! than two samples, times do not increase, the search range is not within (0, 0.1] s, or fewer
//! than kMinimumDelayRows wrench samples have inertial values at every candidate shift.
DelayEstimate measureImuDelay(const DelayInput& input, const DelaySearch& search = {});

//! Wrench samples measureImuDelay needs at least.
inline constexpr std::size_t kMinimumDelayRows = 200;

//! The delay of a recording's IMU columns (ax … wz) against its wrench columns, all on one
//! clock: times (rows within 1e-5 s of the previous row's time are repeats and left out) and the
//! twelve values of each row; the wrench weights are the channels' white-noise variances. Throws
//! std::invalid_argument as measureImuDelay and measureNoise do.
DelayEstimate measureRecordingDelay(const std::vector<double>& times,
                                    const std::vector<std::array<double, 12>>& values,
                                    const DelaySearch& search = {});

//! The largest |delay| the estimator's and the compensator's "imu_delay" accept, s.
inline constexpr double kConfigurableDelay = 0.025;

//! Why the measured delay should not go into a configuration's "imu_delay" (one clause without a
//! line end): the fit is flat, its minimum not unique, at the edge of the search, or beyond
//! ±kConfigurableDelay. Empty when it can.
std::string configurationObjection(const DelayEstimate& estimate);

//! The delay in words, one line without a line end, `subject` naming the delayed clock:
//! "delay +6.50 ms: the IMU's time stamps lag the wrench's (each IMU value belongs with the
//! wrench 6.50 ms before its stamp)"; "... lead the wrench's (... 6.50 ms after its stamp)";
//! "delay 0.00 ms: the IMU's time stamps and the wrench's agree".
std::string describeDelay(double delay, const std::string& subject = "IMU");

//! The derivative of order `order` (1 or 2) at each sample of a track, from the least-squares
//! polynomial of `degree` (at least `order`) through the samples within ±halfWidth of it. Samples
//! with fewer than two others on either side within the window are left out.
VectorTrack localPolynomialDerivative(const VectorTrack& track, double halfWidth, int degree,
                                      int order);

//! Variance of that derivative per unit variance of white noise on the samples, for samples at
//! a regular rate (Hz); infinite when fewer than two samples fit on either side.
double derivativeNoiseFactor(double rate, double halfWidth, int degree, int order);

}  // namespace zelto::tool
