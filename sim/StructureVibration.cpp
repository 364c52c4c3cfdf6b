#include "StructureVibration.h"

#include <algorithm>
#include <cmath>

#include "MotionProfile.h"

namespace zelto::sim {

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

VibrationSignal::VibrationSignal(const StructureVibration& vibration, std::uint64_t seed) {
  Random random(seed, 19);
  const double halfWidth = vibration.frequency / (2.0 * vibration.q);
  for (std::size_t a = 0; a < 3; ++a) {
    const double amplitude =
        std::sqrt(2.0 * vibration.variance[static_cast<Eigen::Index>(a)] / kComponents);
    for (Component& c : axes_[a]) {
      // Inverse of the Lorentzian's distribution function, kept within (0, 2·frequency).
      double f = 0.0;
      do {
        f = vibration.frequency + halfWidth * std::tan(kPi * (random.uniform() - 0.5));
      } while (!(f > 0.0 && f < 2.0 * vibration.frequency));
      c.omega = 2.0 * kPi * f;
      c.phase = 2.0 * kPi * random.uniform();
      c.amplitude = amplitude;
    }
  }
}

Eigen::Vector3d VibrationSignal::at(double t) const {
  Eigen::Vector3d a = Eigen::Vector3d::Zero();
  for (std::size_t axis = 0; axis < 3; ++axis) {
    double sum = 0.0;
    for (const Component& c : axes_[axis]) sum += c.amplitude * std::cos(c.omega * t + c.phase);
    a[static_cast<Eigen::Index>(axis)] = sum;
  }
  return a;
}

ChannelNoise withoutCommonShare(const ChannelNoise& channel, const StructureVibration& vibration,
                                double common, double rate, CommonShare take) {
  const double frequency = vibration.frequency;
  ChannelNoise out = channel;
  const double resonant = channel.total - channel.white;
  double weights = 0.0;
  for (const Resonance& r : channel.resonances) weights += r.weight;
  if (!(resonant > 0.0) || !(weights > 0.0) || !(common > 0.0)) return out;
  Resonance mode;
  mode.frequency = vibration.frequency;
  mode.q = vibration.q;
  out.white = std::max(0.2 * channel.white,
                       channel.white - common * ColouredNoise::fourthDifferenceShare(mode, rate));
  out.resonances.clear();
  double left = 0.0;
  for (Resonance r : channel.resonances) {
    double share = resonant * r.weight / weights;
    if (take == CommonShare::Evenly) {
      share *= std::max(0.0, 1.0 - common / resonant);
    } else if (std::abs(r.frequency - frequency) < 1e-9) {
      share = std::max(0.0, share - common);
    }
    if (share > 0.0) {
      r.weight = share;
      out.resonances.push_back(r);
      left += share;
    }
  }
  // What the resonances keep, on top of the white floor as a mean square of this kurtosis.
  const double floor = out.white / ColouredNoise::medianToMeanSquare(channel.kurtosis);
  out.total = std::max(out.white + left, floor + left);
  return out;
}

std::array<double, 6> commonWrenchVariance(const StructureVibration& vibration, double mass,
                                           const Eigen::Vector3d& h) {
  const Eigen::Vector3d& v = vibration.variance;
  const Eigen::Vector3d h2 = h.cwiseAbs2();
  return {mass * mass * v.x(),
          mass * mass * v.y(),
          mass * mass * v.z(),
          h2.z() * v.y() + h2.y() * v.z(),
          h2.x() * v.z() + h2.z() * v.x(),
          h2.y() * v.x() + h2.x() * v.y()};
}

}  // namespace zelto::sim
