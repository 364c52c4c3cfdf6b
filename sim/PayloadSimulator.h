#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <vector>

#include "MotionProfile.h"

namespace zelto::sim {

//! A rigid load on the sensor plus the sensor's own wrench offset.
struct Payload {
  double mass = 1.0;                                    //!< kg
  Eigen::Vector3d com = Eigen::Vector3d::Zero();        //!< m, sensor frame
  std::array<double, 6> inertia{};                      //!< Ixx Ixy Ixz Iyy Iyz Izz about the
                                                        //!< sensor origin, kg·m² (tensor entries)
  Eigen::Vector3d forceBias = Eigen::Vector3d::Zero();  //!< N
  Eigen::Vector3d torqueBias = Eigen::Vector3d::Zero();  //!< N·m

  //! Builds a payload from the inertia about its centre of mass (parallel-axis theorem).
  static Payload fromCentroidal(double mass, const Eigen::Vector3d& com,
                                const std::array<double, 6>& inertiaAboutCom,
                                const Eigen::Vector3d& forceBias,
                                const Eigen::Vector3d& torqueBias);
  //! (m, m·cx, m·cy, m·cz, Ixx, Ixy, Ixz, Iyy, Iyz, Izz, fbx, fby, fbz, tbx, tby, tbz)
  std::array<double, 16> parameterVector() const;
  //! Inverse of the parallel-axis shift.
  std::array<double, 6> inertiaAboutCom() const;
  //! The symmetric tensor about the sensor origin.
  Eigen::Matrix3d inertiaMatrix() const;
};

//! Noise VARIANCES per channel: force N², torque N²·m², accelerometer m²/s⁴, gyro rad²/s².
struct Noise {
  double force = 0, torque = 0, linearAcc = 0, angularVel = 0;
};

struct Options {
  Payload payload;
  Noise noise;
  Motion motion;
  double dropProbability = 0.0;    //!< a sample time is skipped (no sample emitted); < 1
  double repeatProbability = 0.0;  //!< the previous sample is emitted again, same time and values
  std::uint64_t seed = 1;          //!< motion shape, noise, drops and repeats all follow from it
};

//! Noise-free state at one time.
struct TrueState {
  double time = 0.0;
  //! Specific force in the sensor frame, gravity included: at rest, z up -> (0, 0, +9.81).
  Eigen::Vector3d linearAcceleration;
  Eigen::Vector3d angularVelocity;      //!< rad/s, sensor frame
  Eigen::Vector3d angularAcceleration;  //!< rad/s², sensor frame, exact derivative of ω
  Eigen::Vector3d force;                //!< N, what the sensor reads, bias included
  Eigen::Vector3d torque;               //!< N·m
  Eigen::Matrix3d orientation;          //!< sensor frame to world frame (world z up)
  Eigen::Vector3d position;             //!< m, world frame
};

//! values: fx fy fz tx ty tz ax ay az wx wy wz, measured = truth + noise.
struct SimSample {
  double time = 0.0;
  std::array<double, 12> values{};
  TrueState truth;
};

//! Gravity in the world frame, m/s².
inline constexpr double kGravity = 9.81;

//! Streams samples of a payload moved by hand (or held in still poses) on a six-axis wrench
//! sensor with an IMU. Every quantity is a deterministic function of the options, seed included.
//!
//! Random streams: std::mt19937_64 seeded through std::seed_seq{seed low 32 bits, seed high 32
//! bits, stream}, stream 1 for the motion shape, 2 for the measurement noise, 3 for drops and
//! repeats; so switching drops on does not change the motion.
class PayloadSimulator {
 public:
  //! Throws std::invalid_argument for a non-positive rate or intensity, negative variances or
  //! probabilities outside [0, 1).
  explicit PayloadSimulator(const Options& options);

  //! Noise-free state at any time t >= 0.
  TrueState stateAt(double t) const;

  //! Next sample of the stream: times k/rate from t = 0, with noise, drops and repeats.
  SimSample next();

  //! All further samples with time <= durationSeconds (absolute stream time); the first sample
  //! beyond is kept and returned by the following next().
  std::vector<SimSample> generate(double durationSeconds);

  const Options& options() const { return options_; }
  const MotionProfile& motion() const { return motion_; }

 private:
  Options options_;
  MotionProfile motion_;
  Random noise_;
  Random events_;
  std::array<double, 4> noiseStd_{};  // force, torque, accelerometer, gyro
  std::uint64_t nextIndex_ = 0;       // next sample time is nextIndex_ / rate
  SimSample previous_;
  bool hasPrevious_ = false;
  bool hasPending_ = false;  // previous_ was produced but not yet handed out (see generate)
};

//! The wrench a rigid payload exerts on the sensor for the motion (a, ω, α), a being the
//! specific force at the sensor origin in the sensor frame, h = m·c, J about the origin:
//!   f = b − m·a − (α × h + ω × (ω × h))
//!   τ = t + a × h − (J·α + ω × (J·ω))
void payloadWrench(const Payload& p, const Eigen::Vector3d& a, const Eigen::Vector3d& omega,
                   const Eigen::Vector3d& alpha, Eigen::Vector3d& force, Eigen::Vector3d& torque);

}  // namespace zelto::sim
