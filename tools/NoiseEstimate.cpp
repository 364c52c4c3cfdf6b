#include "NoiseEstimate.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "DerivativeWindow.h"

namespace zelto::tool {

namespace {

// The libraries take a time stamp within this of the previous one as a repeated sample.
constexpr double kRepeatTolerance = 1e-5;
// Consistency constant of the median absolute deviation for Gaussian data: 1/Φ⁻¹(3/4).
constexpr double kMadToSigma = 1.482602218505602;

// The fourth difference and its gain for white noise, Σc² = 70. Measured on simulated hand
// motion, the second difference (gain 6) lets the motion through below 500 Hz (variances
// 20 times too large at 100 Hz), the third at 100 Hz at twice the hand pace; the fourth holds
// to both at 100 Hz and costs a tenth more scatter.
constexpr std::array<double, 5> kDifference = {1.0, -4.0, 6.0, -4.0, 1.0};
constexpr double kDifferenceGain = 70.0;

// The resampling test compares the fourth difference with the sixth difference of rows two
// apart, which peaks at half the Nyquist frequency and passes smooth motion about as little as
// the fourth difference at 100 Hz (the fourth difference of rows two apart passes 16 times more
// and reads the gyro of hand motion at 100 Hz as resampled). Mean squares clipped at four
// robust standard deviations scatter 1.5 times less than squared MADs and still ignore jolts.
constexpr std::array<double, 7> kWideDifference = {1.0, -6.0, 15.0, -20.0, 15.0, -6.0, 1.0};
constexpr double kWideDifferenceGain = 924.0;
constexpr double kClip = 4.0;
constexpr double kRatioScatter = 3.3;  // × 1/√rows: 1σ of the ratio for white noise, measured
constexpr double kResampledRatio = 0.7;
// A sensor's coloured noise lowers the ratio above as much as interpolation does (its modes
// fill the band near half the Nyquist frequency), so an interpolated channel must also show
// what only interpolation makes: rows on the straight line through their neighbours.
constexpr double kStraightTolerance = 1e-3;  // × the median |second difference|
constexpr double kStraightShare = 0.05;
// Band-limited resampling leaves the band next to the Nyquist frequency empty, which the
// eighth difference weighs more than the fourth; a sensor's white floor keeps it filled.
constexpr std::array<double, 9> kEighthDifference = {1.0,   -8.0, 28.0, -56.0, 70.0,
                                                     -56.0, 28.0, -8.0, 1.0};
constexpr double kEighthDifferenceGain = 12870.0;
constexpr double kBandLimitedRatio = 0.2;
// A channel held between the knots of a rate r times lower repeats 1 − 1/r of its rows in runs
// of ⌊r⌋ and ⌈r⌉ rows; a quantised one repeats in runs of every length.
constexpr double kHeldRepeatShare = 0.2;
constexpr double kHeldRunShare = 0.98;
constexpr std::size_t kHeldMinimumRuns = 10;

double median(std::vector<double>& v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  if (v.size() % 2 == 1) return v[mid];
  return 0.5 * (v[mid] + *std::max_element(v.begin(), v.begin() + mid));
}

std::string channelName(std::size_t channel) {
  static const char* const kNames[NoiseEstimate::kChannels] = {"fx", "fy", "fz", "tx", "ty", "tz",
                                                               "ax", "ay", "az", "wx", "wy", "wz"};
  return kNames[channel];
}

std::string format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

double threeDigits(double value) { return std::strtod(format("%.3g", value).c_str(), nullptr); }

// The filter's output over the channel: d[k] = Σ c[j]·x[k + j·lag].
template <std::size_t N>
void filter(const std::vector<double>& x, const std::array<double, N>& c, std::size_t lag,
            std::vector<double>& d) {
  const std::size_t span = (N - 1) * lag;
  d.assign(x.size() > span ? x.size() - span : 0, 0.0);
  for (std::size_t k = 0; k < d.size(); ++k) {
    double sum = 0.0;
    for (std::size_t j = 0; j < N; ++j) sum += c[j] * x[k + j * lag];
    d[k] = sum;
  }
}

// Robust standard deviation of d about its median: 1.4826 × the median absolute deviation.
// Leaves |d − median| in `deviations`.
double robustSigma(const std::vector<double>& d, std::vector<double>& deviations) {
  deviations = d;
  const double centre = median(deviations);
  for (double& x : deviations) x = std::abs(x - centre);
  std::vector<double> sorted = deviations;
  return kMadToSigma * median(sorted);
}

// Over kHeldRunShare of the runs of equal values (the first, cut by the start, and the last
// left out) have one of two adjacent lengths.
bool runsOfTwoLengths(const std::vector<double>& x) {
  std::vector<std::size_t> runs;
  std::size_t length = 1;
  for (std::size_t k = 1; k < x.size(); ++k) {
    if (x[k] == x[k - 1]) {
      ++length;
    } else {
      runs.push_back(length);
      length = 1;
    }
  }
  if (runs.size() < kHeldMinimumRuns + 1) return false;
  runs.erase(runs.begin());
  std::vector<std::size_t> count;
  for (std::size_t r : runs) {
    if (r >= count.size()) count.resize(r + 1, 0);
    ++count[r];
  }
  std::size_t best = 0;
  for (std::size_t r = 1; r < count.size(); ++r) {
    best = std::max(best, count[r] + (r + 1 < count.size() ? count[r + 1] : 0));
  }
  return static_cast<double>(best) >= kHeldRunShare * static_cast<double>(runs.size());
}

// Mean square of the deviations, each clipped at kClip robust standard deviations.
double clippedMeanSquare(const std::vector<double>& d) {
  std::vector<double> deviations;
  const double limit = kClip * robustSigma(d, deviations);
  double sum = 0.0;
  for (double x : deviations) sum += std::min(x, limit) * std::min(x, limit);
  return sum / static_cast<double>(deviations.size());
}

}  // namespace

ChannelNoise measureChannelNoise(const std::vector<double>& values) {
  if (values.size() < 2 * (kWideDifference.size() - 1) + 1) {
    throw std::invalid_argument("at least 13 values are needed to measure a channel's noise, got " +
                                std::to_string(values.size()));
  }
  ChannelNoise n;
  std::vector<double> d, deviations;
  filter(values, kDifference, 1, d);
  n.zeroShare = static_cast<double>(std::count(d.begin(), d.end(), 0.0)) / d.size();
  const double sigma = robustSigma(d, deviations);
  n.variance = sigma * sigma / kDifferenceGain;

  const double near = clippedMeanSquare(d) / kDifferenceGain;
  filter(values, kWideDifference, 2, d);
  const double wide = clippedMeanSquare(d) / kWideDifferenceGain;
  // A constant channel has neither; it is flagged by its zero share, not here.
  n.neighbourRatio = wide > 0.0 ? near / wide : 1.0;
  std::size_t repeats = 0;
  for (std::size_t k = 1; k < values.size(); ++k) repeats += values[k] == values[k - 1];
  n.repeatShare = static_cast<double>(repeats) / static_cast<double>(values.size() - 1);

  filter(values, kEighthDifference, 1, d);
  const double eighth = clippedMeanSquare(d) / kEighthDifferenceGain;
  n.nyquistRatio = near > 0.0 ? eighth / near : 1.0;

  filter(values, std::array<double, 3>{1.0, -2.0, 1.0}, 1, d);
  for (double& x : d) x = std::abs(x);
  std::vector<double> magnitudes = d;
  const double tolerance = kStraightTolerance * median(magnitudes);
  n.straightShare = static_cast<double>(std::count_if(d.begin(), d.end(),
                                                      [&](double x) { return x <= tolerance; })) /
                    static_cast<double>(d.size());

  const double rows = static_cast<double>(values.size());
  const bool interpolated =
      n.neighbourRatio < std::min(kResampledRatio, 1.0 - 4.0 * kRatioScatter / std::sqrt(rows)) &&
      n.straightShare >= kStraightShare;
  const bool bandLimited = n.nyquistRatio < kBandLimitedRatio;
  const bool held = n.repeatShare > kHeldRepeatShare && runsOfTwoLengths(values);
  n.resampled = interpolated || bandLimited || held;
  return n;
}

std::string resampledExplanation(const std::string& channel) {
  return channel +
         ": looks resampled from a lower rate (held or interpolated between the knots, or "
         "without noise near the Nyquist frequency): its variance is not its noise";
}

double noiseFactorOfAngularAcc(double rate) { return DerivativeWindow::noiseFactor(1.0 / rate); }

NoiseEstimate measureNoise(const std::vector<double>& times,
                           const std::vector<std::array<double, 12>>& values) {
  if (times.size() != values.size()) {
    throw std::invalid_argument("times and samples differ in length (" +
                                std::to_string(times.size()) + " and " +
                                std::to_string(values.size()) + ")");
  }
  NoiseEstimate e;
  std::vector<std::size_t> rows;  // rows with a new time stamp
  rows.reserve(times.size());
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (!std::isfinite(times[i])) {
      throw std::invalid_argument("time " + std::to_string(i) + " is not finite");
    }
    for (double v : values[i]) {
      if (!std::isfinite(v)) {
        throw std::invalid_argument("sample " + std::to_string(i) +
                                    " has a value that is not finite");
      }
    }
    if (!rows.empty()) {
      const double step = times[i] - times[rows.back()];
      if (step < -kRepeatTolerance) {
        throw std::invalid_argument("time runs backwards at row " + std::to_string(i));
      }
      if (step <= kRepeatTolerance) {
        ++e.repeatedTimes;
        continue;
      }
      if (values[i] == values[rows.back()]) ++e.heldRows;
    }
    rows.push_back(i);
  }
  e.samples = rows.size();
  if (e.samples < kMinimumSamples) {
    throw std::invalid_argument("at least " + std::to_string(kMinimumSamples) +
                                " samples with distinct time stamps are needed, got " +
                                std::to_string(e.samples));
  }

  std::vector<double> intervals(rows.size() - 1);
  for (std::size_t k = 1; k < rows.size(); ++k) {
    intervals[k - 1] = times[rows[k]] - times[rows[k - 1]];
    e.longestInterval = std::max(e.longestInterval, intervals[k - 1]);
  }
  std::vector<double> sorted = intervals;
  const double medianInterval = median(sorted);
  for (double h : intervals) {
    if (std::abs(h - medianInterval) > 0.1 * medianInterval) ++e.irregularIntervals;
    if (h > 1.5 * medianInterval) ++e.gaps;
  }
  e.medianRate = 1.0 / medianInterval;
  e.angularAccFactor = noiseFactorOfAngularAcc(e.medianRate);
  if (!std::isfinite(e.angularAccFactor)) {
    throw std::invalid_argument("the median rate " + format("%.4g", e.medianRate) +
                                " Hz is below 16 Hz, where the estimator derives no angular "
                                "acceleration (fewer than five inputs in its widest window)");
  }

  std::vector<double> channel(rows.size());
  for (std::size_t c = 0; c < NoiseEstimate::kChannels; ++c) {
    for (std::size_t k = 0; k < rows.size(); ++k) channel[k] = values[rows[k]][c];
    const ChannelNoise n = measureChannelNoise(channel);
    e.variance[c] = n.variance;
    e.zeroShare[c] = n.zeroShare;
    e.neighbourRatio[c] = n.neighbourRatio;
    e.resampled[c] = n.resampled;

    double low = values[rows.front()][c], high = low;
    for (std::size_t r : rows) {
      low = std::min(low, values[r][c]);
      high = std::max(high, values[r][c]);
    }
    std::size_t atLow = 0, atHigh = 0;
    for (std::size_t r : rows) {
      atLow += values[r][c] == low;
      atHigh += values[r][c] == high;
    }
    if (low != high) e.clipped[c] = (atLow >= 3 ? atLow : 0) + (atHigh >= 3 ? atHigh : 0);
  }
  for (std::size_t j = 0; j < 3; ++j) {
    e.angularAccVariance[j] = e.variance[9 + j] * e.angularAccFactor;
  }
  return e;
}

std::vector<std::string> noiseTroubles(const NoiseEstimate& e) {
  std::vector<std::string> lines;
  const double medianMs = 1e3 / e.medianRate;
  if (e.repeatedTimes != 0) {
    lines.push_back(std::to_string(e.repeatedTimes) +
                    " rows repeat the previous time stamp (left out, as the libraries do)");
  }
  if (e.heldRows != 0) {
    lines.push_back(
        std::to_string(e.heldRows) +
        " rows have a new time stamp but the previous row's values (a stale read-out?)");
  }
  if (e.irregularIntervals > e.samples / 100) {
    lines.push_back("rate jitter: " + std::to_string(e.irregularIntervals) + " of " +
                    std::to_string(e.samples - 1) +
                    " intervals are more than 10 % off the median " + format("%.4g", medianMs) +
                    " ms");
  }
  if (e.gaps != 0) {
    lines.push_back(std::to_string(e.gaps) + " gaps (intervals above 1.5 times the median), the " +
                    "longest " + format("%.4g", 1e3 * e.longestInterval) + " ms");
  }
  for (std::size_t c = 0; c < NoiseEstimate::kChannels; ++c) {
    if (e.clipped[c] != 0) {
      lines.push_back(channelName(c) + ": " + std::to_string(e.clipped[c]) +
                      " rows at its smallest or largest value (clipped?)");
    }
    if (e.zeroShare[c] > 0.5) {
      lines.push_back(channelName(c) + ": " + format("%.0f", 100.0 * e.zeroShare[c]) +
                      " % of its high-passed values are zero: quantised more coarsely than its "
                      "noise, or constant; its variance is not its noise");
    }
    if (e.resampled[c]) lines.push_back(resampledExplanation(channelName(c)));
  }
  return lines;
}

std::array<double, 15> configuredVariances(const NoiseEstimate& e) {
  std::array<double, 15> v{};
  for (std::size_t i = 0; i < 12; ++i) v[i] = threeDigits(e.variance[i]);
  for (std::size_t j = 0; j < 3; ++j) v[12 + j] = threeDigits(e.angularAccVariance[j]);
  return v;
}

std::string noiseCovarianceBlock(const NoiseEstimate& e, int indent) {
  return noiseCovarianceBlock(configuredVariances(e), indent);
}

std::string noiseCovarianceBlock(const std::array<double, 15>& variances, int indent) {
  static const char* const kQuantities[5] = {"force", "torque", "linear_acc", "angular_vel",
                                             "angular_acc"};
  std::array<double, 15> v{};
  for (std::size_t i = 0; i < 15; ++i) v[i] = threeDigits(variances[i]);
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  std::string text = "{\n";
  for (std::size_t q = 0; q < 5; ++q) {
    text += pad + "  \"" + kQuantities[q] + "\": {";
    for (std::size_t j = 0; j < 3; ++j) {
      text +=
          std::string(j == 0 ? "" : ", ") + "\"" + "xyz"[j] + "\": " + format("%.3g", v[3 * q + j]);
    }
    text += q < 4 ? "},\n" : "}\n";
  }
  return text + pad + "}";
}

}  // namespace zelto::tool
