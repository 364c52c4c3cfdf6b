#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

#include "ColouredNoise.h"
#include "PayloadSimulator.h"
#include "StructureVibration.h"

namespace zelto::sim {

//! The noise measured on a real sensor's wrench channels (fx fy fz tx ty tz) at 698 Hz, still
//! and during a slow robot turn, from the residual after a 0.3 s cubic trend: white floors of
//! 0.121, 0.022, 0.012 N² and 1.6e-4, 1.4e-3, 4.9e-6 N²·m², totals of 1.41, 0.22, 0.12 N² and
//! 7.5e-4, 4.7e-3, 9.2e-6 N²·m²; the structure's modes at 40 Hz (Q ≈ 17) and 99–120 Hz (Q ≈ 50)
//! in the force, at 40, 100, 120 and 200 Hz in the torque, sharing the resonant variance
//! equally (the force's 40 Hz mode 40 %, which gives its lag-1 autocorrelation of about 0.6);
//! kurtosis 4.
std::array<ChannelNoise, 6> measuredWrenchNoise();

//! The accelerometer's noise at its own 254 Hz per SENSOR axis: white 0.51, 0.048, 0.053 m²/s⁴,
//! totals 1.4, 0.21, 0.18 m²/s⁴, modes at 40 Hz (Q 17) and 68 Hz (Q 30) sharing the resonant
//! variance equally. Its kurtosis was not measured: Gaussian.
std::array<ChannelNoise, 3> measuredAccelerometerNoise();

//! A tap makes the structure ring: after the tap's half-sine pulse ends at t₁ the measured
//! wrench carries −amplitude·exp(−(t − t₁)/decay)·sin(2π·frequency·(t − t₁)) times the tap's
//! peak force and its moment: the rebound comes first, then the sign alternates every half
//! period. The ringing is the sensor's structure moving, not a force on the tool, so it is not
//! part of the external wrench.
struct TapRinging {
  double frequency = 40.0;  //!< Hz, the structure's first mode
  double decay = 0.05;      //!< s, time constant of the envelope: < 2 % left after 0.2 s
  double amplitude = 0.5;   //!< first-lobe size relative to the tap's peak; 0 turns it off
};

struct WrenchProfile {
  double rate = 698.0;  //!< Hz
  std::array<ChannelNoise, 6> noise = measuredWrenchNoise();
  TapRinging ringing;
  //! Taps (Disturbance::Shape::HalfSine, see randomTaps) and steady contacts (contact()), in
  //! the sensor frame, on top of the payload's wrench.
  std::vector<Disturbance> disturbances;
};

//! The accelerometer runs on its own clock and lags the wrench: the sample stamped t describes
//! the specific force at t − delay (positive delay: the accelerometer value is older than its
//! stamp, so pairing it with the wrench stamped t − delay lines them up).
struct AccelerometerProfile {
  double rate = 254.0;      //!< Hz
  double delay = 0.0065;    //!< s, see above
  double quantum = 0.0024;  //!< m/s², resolution; 0: not quantised
  double g = kGravity;      //!< m/s² per g for the stream written in g
  std::array<ChannelNoise, 3> noise = measuredAccelerometerNoise();
};

//! The robot's pose stream: exact values (a robot's forward kinematics), irregular sample
//! times. Sample k is taken at k/rate + jitter·u with u uniform in [0, 1) (a reader that is
//! never early, sometimes late) and stamped with the time it was taken.
struct OrientationProfile {
  double rate = 99.0;   //!< Hz
  double jitter = 0.0;  //!< s, below 1/rate so the samples stay in order
};

//! A separate gyro in the IMU: the same delay as the accelerometer, white noise only. Its
//! figures were not measured; the variance is a typical MEMS gyro's.
struct GyroProfile {
  double rate = 254.0;     //!< Hz
  double variance = 1e-5;  //!< rad²/s²
};

//! Everything about the sensor that is not the tool or its motion. The defaults are the
//! measured figures of the real sensor (see above).
struct SensorProfile {
  WrenchProfile wrench;
  AccelerometerProfile accelerometer;
  OrientationProfile orientation;
  GyroProfile gyro;
  //! The structure's vibration, common to the accelerometer and the wrench. The channels'
  //! figures above are what each stream measures in all: the vibration supplies part of their
  //! 40 Hz share, their own noise the rest.
  StructureVibration vibration;
  //! s, correlation time of the noise level that makes the noise heavy-tailed (ColouredNoise)
  double envelopeTime = 0.05;

  //! The same clocks, delay and ringing without any noise or quantisation: the streams are
  //! then the truth, sampled as the real sensor samples it.
  static SensorProfile noiseFree();
};

//! The accelerometer's own axes: sensor x = −acc y, sensor y = acc z, sensor z = −acc x. A
//! signed permutation, so quantisation commutes with it.
Eigen::Vector3d sensorToImuAxes(const Eigen::Vector3d& sensor);
Eigen::Vector3d imuToSensorAxes(const Eigen::Vector3d& imu);

}  // namespace zelto::sim
