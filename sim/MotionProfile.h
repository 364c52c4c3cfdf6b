#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace zelto::sim {

//! A robot joint turning the sensor about one of its own axes, back and forth: hold, turn by
//! `angle` in `moveTime`, hold, turn back, and so on.
struct Turn {
  int axis = 0;                           //!< sensor axis turned about: 0 x, 1 y, 2 z
  double angle = 3.14159265358979323846;  //!< rad, signed
  double moveTime = 6.0;                  //!< s, one move from one end to the other
  double hold = 0.5;                      //!< s, still at each end
  //! m, a point of the joint's axis in the world frame (the sensor frame at the start): zero
  //! turns the sensor about its own origin, anything else moves the origin on a circle, as a
  //! robot's wrist joint moves a sensor mounted off its axis.
  Eigen::Vector3d pivot = Eigen::Vector3d::Zero();
};

//! How the sensor is moved (see PayloadSimulator.h for the meaning of each field). At most one
//! of staticPoses and robotTurn may be set; with neither the motion is hand-like.
struct Motion {
  double rate = 1000.0;      //!< Hz, sample rate
  double intensity = 1.0;    //!< time scale of the motion: ~0.3 slow, 1 hand-like, ~2 fast
  bool staticPoses = false;  //!< hold-still poses joined by slow moves instead of hand motion
  bool robotTurn = false;    //!< single-axis turn of `turn` (intensity unused)
  Turn turn;
};

//! Uniform and Gaussian draws from std::mt19937_64. The engine's output sequence is fixed by
//! the standard, but the standard distributions are not, so the conversions are done here:
//! a uniform double from the top 53 bits, a Gaussian by Box–Muller. The same seed therefore
//! gives the same numbers with every standard library.
class Random {
 public:
  //! Independent streams for one seed: the stream number goes into the seed sequence.
  explicit Random(std::uint64_t seed, std::uint32_t stream = 0);
  double uniform();                         //!< [0, 1)
  double uniform(double low, double high);  //!< [low, high)
  double gaussian();                        //!< standard normal

 private:
  std::mt19937_64 engine_;
  double spare_ = 0.0;
  bool hasSpare_ = false;
};

//! Noise-free kinematics of the sensor frame at one time.
struct Kinematics {
  Eigen::Matrix3d orientation;          //!< R: sensor frame to world frame
  Eigen::Vector3d position;             //!< m, world frame
  Eigen::Vector3d acceleration;         //!< p̈, m/s², world frame (gravity not included)
  Eigen::Vector3d angularVelocity;      //!< rad/s, sensor frame
  Eigen::Vector3d angularAcceleration;  //!< rad/s², sensor frame
};

//! A smooth, seed-drawn trajectory of the sensor, evaluated analytically at any time.
//!
//! The attitude is given by ZYX Euler angles (R = Rz(yaw)·Ry(pitch)·Rx(roll)). Body rates and
//! their derivative follow in closed form from the angles' first and second derivatives, so
//! the angular acceleration is the exact derivative of the angular velocity.
//!
//! Hand motion: roll = A·sin ψ and pitch = B·sin 4ψ with ψ advancing once every 12–16 s, plus
//! small faster sinusoids on every angle and a free yaw. The figure the two base terms trace
//! passes z up (ψ = 0), y up and down (ψ = ±π/4, roll ≈ ±105°, pitch 0), z down (ψ = ±π/2,
//! roll ≈ ±150°, pitch 0) and x up and down (pitch ≈ ±57°), so gravity sweeps every direction
//! of the sensor frame within one period whatever the seed. Translation is a sum of two
//! sinusoids per world axis. The intensity scales time: angular rates grow with it, angular
//! and linear accelerations with its square.
//!
//! Static poses: a cycle of twelve attitudes (gravity along each half-axis of the sensor frame,
//! twice, perturbed by up to 10°), each held still for 1–2 s and joined by quintic moves whose
//! Euler rates peak at 0.8·intensity rad/s. The first pose has the sensor z axis exactly up.
//!
//! Robot turn: R = exp(θ(t)·[e_axis]ₓ) from the level attitude (sensor z up), no translation.
//! θ holds at 0, follows a quintic to `angle`, holds, returns, with period 2·(hold + moveTime).
//! A turn about a fixed axis has ω = θ̇·e_axis and α = θ̈·e_axis, so the other two channels of
//! both are exactly zero. No random draws are used.
class MotionProfile {
 public:
  //! Throws std::invalid_argument for a turn axis outside 0..2, a non-finite angle, a
  //! non-positive move time or a negative hold.
  MotionProfile(const Motion& motion, std::uint64_t seed);
  Kinematics at(double t) const;

  //! Static poses and robot turn: true when t falls in a hold phase (ω = α = 0, p̈ = 0
  //! exactly). Always false for hand motion.
  bool isHolding(double t) const;

 private:
  struct Harmonic {
    double amplitude = 0.0;  // rad or m
    double omega = 0.0;      // rad/s
    double phase = 0.0;      // rad
  };
  template <std::size_t N>
  using Harmonics = std::array<Harmonic, N>;
  struct Pose {
    Eigen::Vector3d euler = Eigen::Vector3d::Zero();  // roll, pitch, yaw
    Eigen::Vector3d delta = Eigen::Vector3d::Zero();  // angle change of the move to the next pose
    double hold = 0.0;                                // s
    double move = 0.0;                                // s, transition to the next pose
    double start = 0.0;                               // s, start of the hold within the cycle
  };

  void buildHandMotion(Random& random, double intensity);
  void buildStaticPoses(Random& random, double intensity);
  void handAngles(double t, Eigen::Vector3d& e, Eigen::Vector3d& de, Eigen::Vector3d& dde) const;
  // Index of the pose whose segment holds t, and the time within that segment.
  std::size_t findSegment(double t, double& local) const;
  void staticAngles(double t, Eigen::Vector3d& e, Eigen::Vector3d& de, Eigen::Vector3d& dde) const;
  // Turn angle and its derivatives at t; returns true in a hold.
  bool turnAngle(double t, double& angle, double& rate, double& acceleration) const;

  bool staticPoses_ = false;
  bool robotTurn_ = false;
  Turn turn_;
  std::array<Harmonics<3>, 3> angles_{};       // roll, pitch, yaw
  std::array<Harmonics<2>, 3> translation_{};  // world x, y, z
  std::vector<Pose> poses_;
  double cycle_ = 0.0;
};

}  // namespace zelto::sim
