#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>

#include "ColouredNoise.h"

namespace zelto::sim {

//! The structure the sensor sits on vibrates in its first mode, and the tool, rigidly fixed,
//! vibrates with it: a real acceleration, which the accelerometer measures and which the tool's
//! mass turns into a force and a moment on the sensor. On the measured runs the two agree: the
//! force channels' 40 Hz share divided by the accelerometer's is about m², the torque-y one
//! about (m·c_z)², and a batch fit of the payload model has local minima every 25 ms of shift
//! between the accelerometer and the wrench, and falls below the force noise once they are
//! aligned. Part of the "noise" of both streams is therefore one signal: aligned, the model
//! explains it; misaligned by a delay, it acts as noise on both sides of the fit.
struct StructureVibration {
  double frequency = 40.0;  //!< Hz
  double q = 17.0;          //!< quality factor of the mode
  //! m²/s⁴ per sensor axis: the accelerometer's 40 Hz share, capped where the 0.93 kg tool's
  //! force channel allows less (z).
  Eigen::Vector3d variance{0.445, 0.081, 0.0497};
};

//! One draw of the vibration, evaluated at any time: per axis, kComponents sinusoids of equal
//! amplitude, random phase and a frequency drawn from the mode's Lorentzian line (half width
//! frequency / 2q), summing to the axis's variance. Deterministic for a given seed.
class VibrationSignal {
 public:
  static constexpr int kComponents = 64;
  //! Draws from stream 19 of the seed.
  VibrationSignal(const StructureVibration& vibration, std::uint64_t seed);
  //! m/s², sensor frame.
  Eigen::Vector3d at(double t) const;

 private:
  struct Component {
    double omega = 0.0, phase = 0.0, amplitude = 0.0;
  };
  std::array<std::array<Component, kComponents>, 3> axes_{};
};

//! The channel's noise, sampled at `rate`, with `common` (a variance) taken out of its
//! resonant part: what is left for its independent noise once the vibration supplies that
//! much. FromTheMode takes it from the share at the vibration's frequency (the wrench, whose
//! 40 Hz mode is the structure's); Evenly from every mode alike (the accelerometer, whose split
//! between its modes was not measured, and whose 68 Hz mode alone could not carry its white
//! figure). The white figure loses what the fourth difference reads of the vibration. Where
//! the common part exceeds what there is, that is emptied (the total then ends up larger).
enum class CommonShare { FromTheMode, Evenly };
ChannelNoise withoutCommonShare(const ChannelNoise& channel, const StructureVibration& vibration,
                                double common, double rate, CommonShare take);

//! Variances the vibration adds to the wrench channels of a payload of mass m and first moment
//! h = m·c: m²·v on the force axes, (a × h) on the torque axes.
std::array<double, 6> commonWrenchVariance(const StructureVibration& vibration, double mass,
                                           const Eigen::Vector3d& firstMoment);

}  // namespace zelto::sim
