#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace zelto::tool {

//! What a recording tells of its sensor's noise: the white-noise variance of each of the twelve
//! channels, the variance of the angular acceleration the estimator derives from the gyro at the
//! recording's rate, and the signs that the recording itself is flawed.
//!
//! Method: each channel is high-passed with the fourth difference
//! x[k−2] − 4x[k−1] + 6x[k] − 4x[k+1] + x[k+2], whose variance for white noise of variance σ²
//! is 70σ², while smooth motion enters only as its fourth derivative × h⁴ (h the sample
//! interval). The standard deviation of the differences is taken robustly, as 1.4826 × their
//! median absolute deviation, so the few differences spanning a jolt, a gap or a glitch do not
//! count. Limits: the noise must be white (correlated noise, e.g. from a sensor's own low-pass
//! filter, is underestimated) and roughly Gaussian (for other shapes the scale 1.4826 is off
//! by tens of per cent); the motion must be slow against the sample rate (at 100 Hz, hand
//! motion adds a few per cent to the quietest channels); a channel quantised more coarsely than
//! its noise reads as its steps, not its noise.
struct NoiseEstimate {
  //! Channel order of the recordings: fx fy fz tx ty tz ax ay az wx wy wz.
  static constexpr std::size_t kChannels = 12;

  std::array<double, kChannels> variance{};    //!< N², N²·m², m²/s⁴, rad²/s²
  std::array<double, 3> angularAccVariance{};  //!< rad²/s⁴: gyro variance × angularAccFactor
  double medianRate = 0.0;        //!< Hz: 1 / median interval between distinct time stamps
  double angularAccFactor = 0.0;  //!< 1/s²: see noiseFactorOfAngularAcc
  std::size_t samples = 0;        //!< rows used: every row whose time stamp is new

  // Signs of trouble.
  std::size_t repeatedTimes = 0;  //!< rows left out: time within 1e-5 s of the previous row's
  std::size_t heldRows = 0;       //!< rows with a new time stamp and all twelve values of the last
  std::size_t irregularIntervals = 0;  //!< intervals more than 10 % off the median (gaps too)
  std::size_t gaps = 0;                //!< intervals of more than 1.5 medians: lost samples
  double longestInterval = 0.0;        //!< s
  //! Rows at the channel's smallest or largest value, counted where at least three rows sit
  //! exactly there (a continuous noisy signal reaches its extremes once): clipping.
  std::array<std::size_t, kChannels> clipped{};
  //! Share of the channel's high-passed values that are exactly zero: above 0.5 the channel is
  //! quantised more coarsely than its noise (or constant), and its variance is not its noise.
  std::array<double, kChannels> zeroShare{};
  //! See ChannelNoise::neighbourRatio and ChannelNoise::resampled.
  std::array<double, kChannels> neighbourRatio{};
  std::array<bool, kChannels> resampled{};
};

//! What the fourth difference tells of one channel (see NoiseEstimate for the method).
struct ChannelNoise {
  double variance = 0.0;   //!< white-noise variance, unit² of the values
  double zeroShare = 0.0;  //!< see NoiseEstimate::zeroShare
  //! The variance read from neighbouring rows over the variance read from every other row: the
  //! mean square of the fourth difference over that of the sixth difference of rows two apart
  //! (each normalised by its gain for white noise, 70 and 924, and clipped at four robust
  //! standard deviations against jolts). The first weighs the band near the Nyquist frequency,
  //! the second the band near half of it; both let smooth motion through alike at 100 Hz and
  //! above. White noise reads 1 (scatter 3.3/√rows, 1σ); values interpolated linearly between
  //! the knots of a lower rate, or band-limited below its Nyquist frequency, read 0.5 down to 0
  //! (measured for rate ratios 1.3 to 7) — and so does a sensor's coloured noise at its own rate
  //! (0.23 to 0.6 for a structure's modes at 40 to 200 Hz in a 698 Hz wrench).
  double neighbourRatio = 1.0;
  //! Share of the rows that lie on the straight line through their two neighbours (second
  //! difference within 1e-3 of its median magnitude): about 1 − 2/r of the rows of a channel
  //! interpolated linearly from a rate r ≥ 2 times lower, about 0.05 % of a noisy one's.
  double straightShare = 0.0;
  //! The eighth difference's variance over the fourth's (gains 12870 and 70): the band next to
  //! the Nyquist frequency against a wider one. 1 for white noise (scatter 0.74/√rows) and above
  //! 0.3 for the coloured noise of a sensor whose white floor reaches the Nyquist frequency; near
  //! 0 for a channel band-limited below it (0.24 at 1.5 times a lower rate, 0.005 at 2.75).
  double nyquistRatio = 1.0;
  //! Share of the rows whose value is exactly the previous row's.
  double repeatShare = 0.0;
  //! The channel looks resampled from a lower rate, so its variance is not the noise of its
  //! rows. Interpolated linearly: neighbourRatio below 0.7 and below 1 − 13.2/√rows (four times
  //! its scatter for white noise) with at least 5 % of the rows on a straight line, which a
  //! sensor's coloured noise at its own rate never has. Band-limited: nyquistRatio below 0.2. Or
  //! held between knots: over a fifth of the rows repeat the previous value and 98 % of the runs
  //! of equal values (at least ten) have one of two adjacent lengths, where a quantised channel's
  //! runs vary in length. Linear interpolation from more than half the rate and band-limiting
  //! from more than about 0.6 of it are not told from coloured noise. A sensor's own steep
  //! low-pass filter near its Nyquist frequency looks resampled too.
  bool resampled = false;
};

//! Measures one channel from its values at distinct, regular time stamps (at least 13).
ChannelNoise measureChannelNoise(const std::vector<double>& values);

//! The line that explains a channel flagged as resampled, without a line end, e.g. for "ax":
//! "ax: looks resampled from a lower rate (held or interpolated between the knots, or without
//! noise near the Nyquist frequency): its variance is not its noise".
std::string resampledExplanation(const std::string& channel);

//! Variance of the estimator's angular acceleration per unit gyro variance (1/s²) for inputs
//! at a regular rate: [(XᵀX)⁻¹]₁₁ of the least-squares cubic over the inputs within the
//! estimator's window at that rate (±25 ms at 100 Hz and above, 2.5 periods below), X with rows
//! (1, d, d², d³) for the offsets d from the centre; 567 at 1 kHz; infinite below 16 Hz.
double noiseFactorOfAngularAcc(double rate);

//! Measures the noise of a recording: times in s (non-decreasing, rows within 1e-5 s of the
//! previous row's time are repeats and left out) and the twelve values of each row. Throws
//! std::invalid_argument when the sizes differ, a value is not finite, time runs backwards by
//! more than 1e-5 s, fewer than kMinimumSamples rows have distinct time stamps, or the median
//! rate is below 16 Hz (fewer than five inputs in the estimator's widest window: no derivative).
NoiseEstimate measureNoise(const std::vector<double>& times,
                           const std::vector<std::array<double, 12>>& values);

//! Rows measureNoise needs at least. The variances it returns scatter as 3.4/√rows (1σ): 11 %
//! at 1000 rows, 6 % at 3000, 3.4 % at 10 000.
inline constexpr std::size_t kMinimumSamples = 100;

//! One line per sign of trouble, without a line end; none for a clean recording.
std::vector<std::string> noiseTroubles(const NoiseEstimate& estimate);

//! The "measurement_noise_covariance" value (JSON object text, one line per quantity, indented
//! by `indent` spaces after the first line), variances with three significant digits.
std::string noiseCovarianceBlock(const NoiseEstimate& estimate, int indent);
//! The same for the fifteen variances in the order of configuredVariances, however measured.
std::string noiseCovarianceBlock(const std::array<double, 15>& variances, int indent);

//! The fifteen variances in the configuration's order: force, torque, linear_acc, angular_vel,
//! angular_acc, each x, y, z; rounded to three significant digits as the block writes them.
std::array<double, 15> configuredVariances(const NoiseEstimate& estimate);

}  // namespace zelto::tool
