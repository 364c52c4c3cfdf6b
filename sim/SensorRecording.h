#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ColouredNoise.h"
#include "PayloadSimulator.h"
#include "SensorProfile.h"
#include "SensorStream.h"

namespace zelto::sim {

//! How the separate streams are written (SensorRecording::writeCsv).
struct StreamFormat {
  TimeUnit time = TimeUnit::Seconds;
  bool accelerometerInG = false;  //!< accelerometer in units of the profile's g, not m/s²
  bool imuAxes = false;           //!< accelerometer and gyro in the IMU's own axes
  bool quaternion = false;        //!< orientation as qw,qx,qy,qz instead of r11..r33
};

//! A recording of a tool on a real sensor: the wrench, the IMU and the robot's pose as separate
//! streams, each on its own clock, with the sensor's coloured, heavy-tailed noise, the IMU's
//! delay and quantisation, and taps that make the structure ring (see SensorProfile); plus the
//! truth behind every stream.
//!
//! All streams cover [0, duration] of the motion's time:
//!  - wrench, at k/rate: the payload's wrench (bias included) + the disturbances + the tap
//!    ringing + ColouredNoise per channel; N, N·m, sensor frame;
//!  - accelerometer, at j/rate from the first stamp whose described time t − delay is not
//!    negative: the specific force at t − delay (gravity included, sensor frame) + ColouredNoise,
//!    rounded to whole quanta; m/s²;
//!  - gyro, on its own clock in the same way: the angular velocity at t − delay + white noise;
//!    rad/s, sensor frame;
//!  - orientation and position, on the pose clock (OrientationProfile): R maps sensor to world
//!    coordinates, world z up, gravity along −z; position of the sensor origin in m, world.
//!
//! The payload's motion and the disturbances are those of a PayloadSimulator with the same
//! payload, motion and seed (stateAt), so both simulators agree on the truth; Motion::rate is
//! not used, every stream has its rate in the profile. Random streams of the seed (see
//! PayloadSimulator): 5 pose-time jitter, 6 gyro noise, 8–13 the six wrench channels, 16–18 the
//! three accelerometer channels, 19 the structure's vibration; so no channel's noise depends on
//! another's settings. The vibration (SensorProfile::vibration) is in both the wrench (−m·a_v,
//! a_v × m·c) and the accelerometer (a_v at t − delay); its share is taken out of each
//! channel's own noise, so that each stream still measures its configured figures.
class SensorRecording {
 public:
  //! Throws std::invalid_argument for a negative or non-finite duration, a non-positive rate,
  //! a non-finite delay, a negative quantum, a non-positive g, a pose jitter outside
  //! [0, 1/rate), a negative gyro variance, a non-positive ringing frequency or decay, noise
  //! figures ColouredNoise refuses, and whatever PayloadSimulator refuses.
  SensorRecording(const Payload& payload, const Motion& motion, std::uint64_t seed, double duration,
                  const SensorProfile& profile = SensorProfile{});

  // --- the streams as measured: sensor frame, SI units ------------------------------------
  const SensorStream<6>& wrench() const { return wrench_; }  //!< fx fy fz tx ty tz
  const SensorStream<3>& accelerometer() const { return accelerometer_; }
  const SensorStream<3>& gyro() const { return gyro_; }
  const SensorStream<9>& orientation() const { return orientation_; }  //!< R row-major
  const SensorStream<3>& position() const { return position_; }

  //! The angular velocity a user gets from the pose stream: ω = log(R_kᵀ·R_{k+1})/(t_{k+1} − t_k)
  //! (the rotation vector of the relative turn, sensor frame) at the midpoint time. A channel
  //! the motion does not turn about is exactly zero.
  SensorStream<3> angularVelocityFromOrientation() const;

  //! The 13-column recording (time, fx fy fz tx ty tz ax ay az wx wy wz) a converter makes on
  //! the wrench clock: the wrench as measured; the accelerometer and
  //! angularVelocityFromOrientation() linearly interpolated onto the wrench times, by their
  //! stamps (the delay is left in). Only wrench times inside both of their spans are kept.
  //! Linear interpolation makes those channels smooth between their knots: their
  //! fourth-difference estimate reads a small fraction of their noise.
  SensorStream<12> recording() const;

  // --- the streams as written -----------------------------------------------------------------
  SensorStream<3> accelerometerAsWritten(const StreamFormat& format) const;
  SensorStream<3> gyroAsWritten(const StreamFormat& format) const;
  //! Unit quaternions of the orientations, qw ≥ 0.
  SensorStream<4> orientationQuaternions() const;

  enum class Stream { Wrench, Accelerometer, Gyro, Orientation, Position, Recording };
  //! Writes one stream as CSV (see sim::writeCsv), time in format.time:
  //!   Wrench         t,fx,fy,fz,tx,ty,tz              N, N·m, sensor frame
  //!   Accelerometer  t,ax,ay,az                       m/s² or g, sensor or IMU axes
  //!   Gyro           t,wx,wy,wz                       rad/s, sensor or IMU axes
  //!   Orientation    t,r11,r12,r13,r21,…,r33          R sensor→world, row-major
  //!                  t,qw,qx,qy,qz                    with format.quaternion
  //!   Position       t,px,py,pz                       m, world frame
  //!   Recording      time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz   (recording())
  void writeCsv(Stream stream, const std::string& path, const StreamFormat& format = {}) const;

  // --- the truth ------------------------------------------------------------------------------
  //! At the wrench times: the payload's wrench with the bias; the disturbances' force and
  //! moment about the sensor origin; the tap ringing. wrench() minus the three is the noise (the
  //! structure's vibration included).
  const SensorStream<6>& payloadWrench() const { return payloadWrench_; }
  const SensorStream<6>& externalWrench() const { return externalWrench_; }
  const SensorStream<6>& ringing() const { return ringing_; }
  //! At the accelerometer stamps t: the specific force at t − delay, before noise and rounding.
  const SensorStream<3>& trueSpecificForce() const { return trueSpecificForce_; }
  //! The noise-free state at any time (no ringing).
  TrueState stateAt(double t) const { return truth_.stateAt(t); }
  //! The payload in the order of the payload parameter file (Payload::fileOrder).
  std::array<double, 16> fileOrder() const { return payload_.fileOrder(); }
  double delay() const { return profile_.accelerometer.delay; }
  //! The noise built per channel at the stream's own rate: white and total as configured.
  const std::vector<ColouredNoise::Design>& wrenchNoise() const { return wrenchNoise_; }
  const std::vector<ColouredNoise::Design>& accelerometerNoise() const {
    return accelerometerNoise_;
  }
  const SensorProfile& profile() const { return profile_; }
  const Payload& payload() const { return payload_; }
  const MotionProfile& motion() const { return truth_.motion(); }

 private:
  void generateWrench(std::uint64_t seed, double duration);
  void generateImu(std::uint64_t seed, double duration);
  void generatePoses(std::uint64_t seed, double duration);
  void addRinging(double t, std::array<double, 6>& ringing) const;
  //! The vibration's force and moment on the sensor at t: −m·a_v and a_v × m·c.
  std::array<double, 6> vibrationWrench(double t) const;

  SensorProfile profile_;
  Payload payload_;
  VibrationSignal vibration_;
  PayloadSimulator truth_;
  SensorStream<6> wrench_, payloadWrench_, externalWrench_, ringing_;
  SensorStream<3> accelerometer_, trueSpecificForce_, gyro_, position_;
  SensorStream<9> orientation_;
  std::vector<ColouredNoise::Design> wrenchNoise_, accelerometerNoise_;
};

}  // namespace zelto::sim
