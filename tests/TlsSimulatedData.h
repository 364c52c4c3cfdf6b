#pragma once

// Simulated recordings for the recursive TLS tests: a payload moved by hand, sampled at 1 kHz
// with sensor noise, turned into the joined samples the estimator consumes.

#include <Eigen/Core>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "EMAFilter.h"
#include "EstimationAlgorithm.h"
#include "PayloadSimulator.h"
#include "SignalHistory.h"
#include "StampedHistory.h"

namespace zelto::test {

//! Three tools of different size: light, medium and heavy (mass, centre of mass, inertia
//! about the centre of mass, sensor bias).
inline sim::Payload tlsPayload(int which) {
  switch (which) {
    case 0:
      return sim::Payload::fromCentroidal(
          0.2, Eigen::Vector3d(0.01, -0.02, 0.04), {2e-4, 1e-5, -2e-5, 3e-4, 1e-5, 1.5e-4},
          Eigen::Vector3d(0.5, -0.3, 1.2), Eigen::Vector3d(0.02, -0.01, 0.03));
    case 1:
      return sim::Payload::fromCentroidal(
          1.0, Eigen::Vector3d(0.02, 0.01, 0.08), {3e-3, 1e-4, -2e-4, 4e-3, 1e-4, 2e-3},
          Eigen::Vector3d(-1.5, 0.8, 2.0), Eigen::Vector3d(-0.05, 0.04, 0.02));
    default:
      return sim::Payload::fromCentroidal(
          5.0, Eigen::Vector3d(-0.03, 0.02, 0.12), {4e-2, 2e-3, -1e-3, 5e-2, 1e-3, 3e-2},
          Eigen::Vector3d(3.0, -2.0, 5.0), Eigen::Vector3d(0.3, -0.2, 0.1));
  }
}

//! Sensor noise variances of the recordings (force N², torque N²·m², accelerometer m²/s⁴,
//! gyro rad²/s²).
inline sim::Noise tlsSensorNoise() {
  sim::Noise n;
  n.force = 0.01;
  n.torque = 1e-5;
  n.linearAcc = 1e-3;
  n.angularVel = 1e-5;
  return n;
}

//! The variances configured in the estimator for these recordings; the angular acceleration
//! one covers the derivative filter's noise.
inline MeasurementNoise tlsConfiguredNoise(double angularAcc = 1e-2) {
  MeasurementNoise n;
  n.force = Eigen::Vector3d::Constant(0.01);
  n.torque = Eigen::Vector3d::Constant(1e-5);
  n.linearAcceleration = Eigen::Vector3d::Constant(1e-3);
  n.angularVelocity = Eigen::Vector3d::Constant(1e-5);
  n.angularAcceleration = Eigen::Vector3d::Constant(angularAcc);
  return n;
}

//! How a recording is made.
struct TlsRecordingOptions {
  double seconds = 10.0;
  double intensity = 0.3;        //!< motion time scale of the simulator (1 = brisk hand motion)
  std::uint64_t motionSeed = 1;  //!< shape of the motion
  std::uint64_t noiseSeed = 1;   //!< sensor noise realisation; 0 = noise-free
  bool exactAlpha = false;       //!< simulator's exact angular acceleration instead of the filter
};

//! A recording at 1 kHz. The motion is drawn from motionSeed; the sensor noise (variances of
//! tlsSensorNoise()) is added here from noiseSeed, so that one motion can be repeated with
//! independent noise. The angular acceleration is the derivative of the exponentially smoothed
//! measured angular velocity (time constant 0.1 s), as the estimator's signal chain computes
//! it, which lags the truth; with exactAlpha it is the simulator's exact value.
inline std::vector<InertialSample> tlsRecording(const sim::Payload& payload,
                                                const TlsRecordingOptions& o) {
  sim::Options options;
  options.payload = payload;
  options.motion.intensity = o.intensity;
  options.seed = o.motionSeed;
  sim::PayloadSimulator simulator(options);
  const std::vector<sim::SimSample> raw = simulator.generate(o.seconds);

  const sim::Noise variances = tlsSensorNoise();
  const std::array<double, 4> sigma{std::sqrt(variances.force), std::sqrt(variances.torque),
                                    std::sqrt(variances.linearAcc),
                                    std::sqrt(variances.angularVel)};
  sim::Random noise(o.noiseSeed, 7);
  const auto noisy = [&](const Eigen::Vector3d& v, std::size_t channel) {
    if (o.noiseSeed == 0) {
      return v;
    }
    Eigen::Vector3d n;
    for (int i = 0; i < 3; ++i) {
      n(i) = v(i) + sigma[channel] * noise.gaussian();
    }
    return n;
  };

  std::vector<InertialSample> samples;
  samples.reserve(raw.size());
  StampedHistory angularVelocity;
  EMAFilter derivative;
  derivative.setTimeConstant(0.1);
  for (const sim::SimSample& s : raw) {
    InertialSample x;
    x.time = s.time;
    x.force = noisy(s.truth.force, 0);
    x.torque = noisy(s.truth.torque, 1);
    x.linearAcceleration = noisy(s.truth.linearAcceleration, 2);
    x.angularVelocity = noisy(s.truth.angularVelocity, 3);
    angularVelocity.push(StampedVector3{s.time, x.angularVelocity});
    if (o.exactAlpha) {
      x.angularAcceleration = s.truth.angularAcceleration;
    } else if (angularVelocity.size() >= EMAFilter::getMinSamples()) {
      // The first sample has no derivative yet and keeps α = 0, as the first joined sample.
      x.angularAcceleration = derivative.apply(angularVelocity).value;
      angularVelocity.prune();
    }
    samples.push_back(x);
  }
  return samples;
}

//! θ of the payload as a 16-vector.
inline ParameterVector tlsTruth(const sim::Payload& payload) {
  const std::array<double, 16> p = payload.parameterVector();
  return Eigen::Map<const ParameterVector>(p.data());
}

//! The prior the tests start from: 1 kg at 5 cm along z, small inertia.
inline Eigen::VectorXd tlsPrior() {
  Eigen::VectorXd prior(10);
  prior << 1.0, 0.0, 0.0, 0.05, 1e-3, 0.0, 0.0, 1e-3, 0.0, 1e-3;
  return prior;
}

}  // namespace zelto::test
