#include "ColouredNoise.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

namespace zelto::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

void require(bool condition, const std::string& message) {
  if (!condition) throw std::invalid_argument("ColouredNoise: " + message);
}

bool finiteNonNegative(double x) { return std::isfinite(x) && x >= 0.0; }

// Coefficients of y[k] = a1·y[k−1] + a2·y[k−2] + e[k]: poles r·e^{±iθ}.
void resonatorPoles(const Resonance& resonance, double rate, double& a1, double& a2) {
  const double theta = 2.0 * kPi * resonance.frequency / rate;
  const double r = std::exp(-kPi * resonance.frequency / (resonance.q * rate));
  a1 = 2.0 * r * std::cos(theta);
  a2 = -r * r;
}

// Autocovariance γ(0..4) of that recursion driven by unit white noise (the Yule–Walker
// equations of a second-order autoregression).
std::array<double, 5> autocovariance(double a1, double a2) {
  std::array<double, 5> g{};
  g[0] = (1.0 - a2) / ((1.0 + a2) * ((1.0 - a2) * (1.0 - a2) - a1 * a1));
  g[1] = a1 * g[0] / (1.0 - a2);
  for (std::size_t k = 2; k < 5; ++k) g[k] = a1 * g[k - 1] + a2 * g[k - 2];
  return g;
}

}  // namespace

double ColouredNoise::fourthDifferenceShare(const Resonance& resonance, double rate) {
  double a1 = 0.0, a2 = 0.0;
  resonatorPoles(resonance, rate, a1, a2);
  const std::array<double, 5> g = autocovariance(a1, a2);
  // var(Σ cᵢ·y[k+i]) = Σᵢⱼ cᵢ·cⱼ·γ(|i−j|) for c = (1, −4, 6, −4, 1): the lag sums of cᵢ·cᵢ₊ₗ are
  // 70, −56, 28, −8, 1, each lag but 0 counted twice.
  const double d = 70.0 * g[0] - 112.0 * g[1] + 56.0 * g[2] - 16.0 * g[3] + 2.0 * g[4];
  return d / (70.0 * g[0]);
}

double ColouredNoise::medianToMeanSquare(double kurtosis) {
  if (!(kurtosis > 3.0)) return 1.0;
  const double a = std::sqrt(std::log(kurtosis / 3.0) / 4.0);
  // P(|s·z| ≤ m) = E_g[erf(m / (√2·s(g)))], s(g) = exp(a·g − a²), by Simpson's rule over
  // g ∈ [−8, 8] (the Gaussian weight beyond is below 1e-15); m by bisection.
  const auto below = [a](double m) {
    constexpr int kIntervals = 400;
    constexpr double kLimit = 8.0, h = 2.0 * kLimit / kIntervals;
    double sum = 0.0;
    for (int i = 0; i <= kIntervals; ++i) {
      const double g = -kLimit + h * i;
      const double weight = (i == 0 || i == kIntervals) ? 1.0 : (i % 2 ? 4.0 : 2.0);
      const double s = std::exp(a * g - a * a);
      sum += weight * std::exp(-0.5 * g * g) * std::erf(m / (std::sqrt(2.0) * s));
    }
    return sum * h / 3.0 / std::sqrt(2.0 * kPi);
  };
  double low = 0.0, high = 10.0;
  for (int i = 0; i < 60; ++i) {
    const double mid = 0.5 * (low + high);
    (below(mid) < 0.5 ? low : high) = mid;
  }
  constexpr double kMedianAbsNormal = 0.6744897501960817;  // Φ⁻¹(¾)
  const double ratio = 0.5 * (low + high) / kMedianAbsNormal;
  return ratio * ratio;
}

ColouredNoise::ColouredNoise(const ChannelNoise& channel, double rate, double envelopeTime,
                             Random& random) {
  require(std::isfinite(rate) && rate > 0.0, "the rate must be positive");
  require(std::isfinite(envelopeTime) && envelopeTime > 0.0, "the envelope time must be positive");
  require(finiteNonNegative(channel.white) && finiteNonNegative(channel.total),
          "variances must be finite and not negative");
  require(std::isfinite(channel.kurtosis) && channel.kurtosis >= 3.0,
          "the kurtosis must be at least 3");
  const double meanSquareWhite = channel.white / medianToMeanSquare(channel.kurtosis);
  require(channel.total >= meanSquareWhite,
          "the total variance must not be below the white one (as a mean square)");
  double weightSum = 0.0;
  for (const Resonance& r : channel.resonances) {
    require(std::isfinite(r.frequency) && r.frequency > 0.0 && r.frequency < 0.5 * rate,
            "a resonance must lie between 0 and half the rate");
    require(std::isfinite(r.q) && r.q >= 0.5 && r.q <= 1e4,
            "a resonance's Q must lie in [0.5, 1e4]");
    require(finiteNonNegative(r.weight), "resonance weights must not be negative");
    weightSum += r.weight;
  }
  const double coloured = channel.total - meanSquareWhite;
  require(coloured == 0.0 || weightSum > 0.0,
          "a total variance above the white one needs a resonance with a positive weight");

  // var(w) + c·L = white/ρ and var(w) + c = total, L the weighted fourth-difference share.
  double share = 0.0;
  for (const Resonance& r : channel.resonances) {
    if (r.weight > 0.0) share += r.weight / weightSum * fourthDifferenceShare(r, rate);
  }
  const double c = coloured > 0.0 ? coloured / (1.0 - share) : 0.0;
  design_.floor = channel.total - c;
  require(design_.floor >= 0.0 && share < 1.0,
          "the resonances read too much of their variance as white for these figures (" +
              std::to_string(channel.white) + " white, " + std::to_string(channel.total) +
              " total)");
  design_.white = channel.white;
  design_.meanSquareWhite = meanSquareWhite;
  design_.total = channel.total;
  design_.kurtosis = channel.kurtosis;
  design_.levelSpread = std::sqrt(std::log(channel.kurtosis / 3.0) / 4.0);
  floorStd_ = std::sqrt(design_.floor);

  for (const Resonance& r : channel.resonances) {
    Resonator res;
    resonatorPoles(r, rate, res.a1, res.a2);
    const double v = c > 0.0 ? c * r.weight / weightSum : 0.0;
    const std::array<double, 5> g = autocovariance(res.a1, res.a2);
    res.gain = std::sqrt(v / g[0]);
    // (y[k−1], y[k−2]) from the stationary joint distribution: variance v each, correlation
    // γ(1)/γ(0).
    const double rho = g[1] / g[0];
    const double sd = std::sqrt(v);
    res.y1 = sd * random.gaussian();
    res.y2 = rho * res.y1 + sd * std::sqrt(std::max(0.0, 1.0 - rho * rho)) * random.gaussian();
    design_.resonant.push_back(v);
    resonators_.push_back(res);
  }
  levelPole_ = std::exp(-1.0 / (envelopeTime * rate));
  levelDrive_ = std::sqrt(1.0 - levelPole_ * levelPole_);
  level_ = random.gaussian();
}

double ColouredNoise::next(Random& random) {
  double x = floorStd_ * random.gaussian();
  for (Resonator& r : resonators_) {
    const double y = r.a1 * r.y1 + r.a2 * r.y2 + r.gain * random.gaussian();
    r.y2 = r.y1;
    r.y1 = y;
    x += y;
  }
  level_ = levelPole_ * level_ + levelDrive_ * random.gaussian();
  const double a = design_.levelSpread;
  return x * std::exp(a * level_ - a * a);
}

}  // namespace zelto::sim
