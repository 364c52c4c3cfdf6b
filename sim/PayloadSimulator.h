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
  //! The same with c instead of m·c: the order of the payload parameter file and of the
  //! estimator's read-out.
  std::array<double, 16> fileOrder() const;
  //! Inverse of the parallel-axis shift.
  std::array<double, 6> inertiaAboutCom() const;
  //! The symmetric tensor about the sensor origin.
  Eigen::Matrix3d inertiaMatrix() const;
};

//! Noise VARIANCES per channel: force N², torque N²·m², accelerometer m²/s⁴, gyro rad²/s².
struct Noise {
  double force = 0, torque = 0, linearAcc = 0, angularVel = 0;
};

//! An external force on the tool, such as a tap or a push by hand, which the sensor measures
//! on top of the payload's own wrench: force += F(t), torque += point × F(t).
struct Disturbance {
  //! Ramped: |F| rises linearly from 0 to full over `ramp` at the start and falls back over
  //! `ramp` at the end (ramp 0: a step, active on [start, start + duration)). HalfSine: a tap,
  //! F·sin(π·(t − start)/duration) on [start, start + duration]; `ramp` is unused.
  enum class Shape { Ramped, HalfSine };
  double start = 0.0;                               //!< s, stream time
  double duration = 0.0;                            //!< s, ramps included
  double ramp = 0.0;                                //!< s, at each end
  Eigen::Vector3d force = Eigen::Vector3d::Zero();  //!< N, full force, sensor frame
  Eigen::Vector3d point = Eigen::Vector3d::Zero();  //!< m, where it acts, sensor frame
  Shape shape = Shape::Ramped;

  //! The force at time t (zero outside the disturbance).
  Eigen::Vector3d forceAt(double t) const;
};

//! `count` half-sine taps of 20–50 N in uniformly random directions, 5–20 ms long, at points
//! uniform in the ball of radius 0.1 m about the sensor origin, starting uniformly in
//! [from, to]. Drawn from stream 4 of `seed` (see PayloadSimulator), in the order returned.
std::vector<Disturbance> randomTaps(std::uint64_t seed, int count, double from, double to);

//! A steady push: `force` at `point` from `start` for `duration` s, with linear ramps of `ramp`
//! s at both ends.
Disturbance contact(double start, double duration, const Eigen::Vector3d& force,
                    const Eigen::Vector3d& point, double ramp = 0.05);

struct Options {
  Payload payload;
  Noise noise;
  Motion motion;
  double dropProbability = 0.0;    //!< a sample time is skipped (no sample emitted); < 1
  double repeatProbability = 0.0;  //!< the previous sample is emitted again, same time and values
  std::uint64_t seed = 1;          //!< motion shape, noise, drops and repeats all follow from it
  //! Added to the measured wrench; they change neither the motion nor the random streams.
  std::vector<Disturbance> disturbances;
};

//! Noise-free state at one time.
struct TrueState {
  double time = 0.0;
  //! Specific force in the sensor frame, gravity included: at rest, z up -> (0, 0, +9.81).
  Eigen::Vector3d linearAcceleration;
  Eigen::Vector3d angularVelocity;      //!< rad/s, sensor frame
  Eigen::Vector3d angularAcceleration;  //!< rad/s², sensor frame, exact derivative of ω
  Eigen::Vector3d force;                //!< N, the payload's wrench on the sensor, bias included
  Eigen::Vector3d torque;               //!< N·m
  Eigen::Vector3d externalForce;        //!< N, sum of the disturbances, on top of force
  Eigen::Vector3d externalTorque;       //!< N·m, their moments about the sensor origin
  Eigen::Matrix3d orientation;          //!< sensor frame to world frame (world z up)
  Eigen::Vector3d position;             //!< m, world frame
};

//! values: fx fy fz tx ty tz ax ay az wx wy wz, measured = truth + noise (+ the external
//! wrench on the force and torque channels).
struct SimSample {
  double time = 0.0;
  std::array<double, 12> values{};
  TrueState truth;
};

//! Gravity in the world frame, m/s².
inline constexpr double kGravity = 9.81;

//! Streams samples of a payload moved by hand (or held in still poses, or turned by a robot) on a
//! six-axis wrench sensor with an IMU. Every quantity is a deterministic function of the options,
//! seed included.
//!
//! Random streams: std::mt19937_64 seeded through std::seed_seq{seed low 32 bits, seed high 32
//! bits, stream}, stream 1 for the motion shape, 2 for the measurement noise, 3 for drops and
//! repeats, 4 for randomTaps; so switching drops or disturbances on does not change the motion
//! or the noise.
class PayloadSimulator {
 public:
  //! Throws std::invalid_argument for a non-positive rate or intensity, negative variances,
  //! probabilities outside [0, 1), a disturbance with a negative or non-finite duration or ramp,
  //! or an invalid turn (see MotionProfile).
  explicit PayloadSimulator(const Options& options);

  //! Noise-free state at any time t >= 0.
  TrueState stateAt(double t) const;

  //! Next sample of the stream: times k/rate from t = 0, with noise, drops and repeats.
  SimSample next();

  //! All further samples with time <= durationSeconds (absolute stream time); the first sample
  //! beyond is kept and returned by the following next().
  std::vector<SimSample> generate(double durationSeconds);

  //! generate() as columns, the layout the noise measurement takes.
  struct Columns {
    std::vector<double> times;
    std::vector<std::array<double, 12>> values;
  };
  Columns generateColumns(double durationSeconds);

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
