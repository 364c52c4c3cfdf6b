#include "SensorProfile.h"

#include <utility>

namespace zelto::sim {

namespace {

ChannelNoise channel(double white, double total, double kurtosis,
                     std::vector<Resonance> resonances) {
  ChannelNoise c;
  c.white = white;
  c.total = total;
  c.kurtosis = kurtosis;
  c.resonances = std::move(resonances);
  return c;
}

}  // namespace

std::array<ChannelNoise, 6> measuredWrenchNoise() {
  // The 40 Hz mode is broad (Q 15–20), the higher ones sharp. With 40 % of the resonant
  // variance at 40 Hz (lag-1 correlation 0.94) and 30 % at each of 99 Hz (0.63) and 120 Hz
  // (0.47), a force channel whose total is ten times its floor has a lag-1 correlation of
  // 0.9·(0.4·0.94 + 0.3·0.63 + 0.3·0.47) ≈ 0.63, as measured.
  const std::vector<Resonance> force{{40.0, 17.0, 0.4}, {99.0, 50.0, 0.3}, {120.0, 50.0, 0.3}};
  const std::vector<Resonance> torque{
      {40.0, 17.0, 1.0}, {100.0, 50.0, 1.0}, {120.0, 50.0, 1.0}, {200.0, 50.0, 1.0}};
  return {channel(0.121, 1.41, 4.0, force),     channel(0.022, 0.22, 4.0, force),
          channel(0.012, 0.12, 4.0, force),     channel(1.6e-4, 7.5e-4, 4.0, torque),
          channel(1.4e-3, 4.7e-3, 4.0, torque), channel(4.9e-6, 9.2e-6, 4.0, torque)};
}

std::array<ChannelNoise, 3> measuredAccelerometerNoise() {
  const std::vector<Resonance> modes{{40.0, 17.0, 1.0}, {68.0, 30.0, 1.0}};
  return {channel(0.51, 1.4, 3.0, modes), channel(0.048, 0.21, 3.0, modes),
          channel(0.053, 0.18, 3.0, modes)};
}

SensorProfile SensorProfile::noiseFree() {
  SensorProfile p;
  for (ChannelNoise& c : p.wrench.noise) c = ChannelNoise{};
  for (ChannelNoise& c : p.accelerometer.noise) c = ChannelNoise{};
  p.accelerometer.quantum = 0.0;
  p.gyro.variance = 0.0;
  p.vibration.variance.setZero();
  return p;
}

Eigen::Vector3d sensorToImuAxes(const Eigen::Vector3d& s) { return {-s.z(), -s.x(), s.y()}; }

Eigen::Vector3d imuToSensorAxes(const Eigen::Vector3d& a) { return {-a.y(), a.z(), -a.x()}; }

}  // namespace zelto::sim
