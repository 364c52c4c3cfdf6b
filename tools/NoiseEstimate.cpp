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

}  // namespace

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

  std::vector<double> d(rows.size() - kDifference.size() + 1);
  for (std::size_t c = 0; c < NoiseEstimate::kChannels; ++c) {
    std::size_t zeros = 0;
    for (std::size_t k = 0; k < d.size(); ++k) {
      double sum = 0.0;
      for (std::size_t j = 0; j < kDifference.size(); ++j) {
        sum += kDifference[j] * values[rows[k + j]][c];
      }
      d[k] = sum;
      if (sum == 0.0) ++zeros;
    }
    e.zeroShare[c] = static_cast<double>(zeros) / d.size();
    const double centre = median(d);
    for (double& x : d) x = std::abs(x - centre);
    const double sigma = kMadToSigma * median(d);
    e.variance[c] = sigma * sigma / kDifferenceGain;

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
  static const char* const kQuantities[5] = {"force", "torque", "linear_acc", "angular_vel",
                                             "angular_acc"};
  const std::array<double, 15> v = configuredVariances(e);
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
