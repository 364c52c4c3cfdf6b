#pragma once

#include <array>
#include <string>

namespace zelto {

//! Everything the estimator takes from its JSON configuration file. Read once when the
//! estimator is constructed and only read afterwards; copied by value into the inertial
//! processing and the estimation tool.
struct EstimatorConfig {
  std::string outputFileName;  //!< file name of the payload parameter file
  double minTime = 0.0;        //!< s; convergence is not accepted before this run time
  double maxTime = 0.0;        //!< s; an unconverged run is abandoned after this run time

  double priorMass = 0.0;                //!< kg
  std::array<double, 3> priorCom{};      //!< m: x, y, z
  std::array<double, 6> priorInertia{};  //!< kg·m²: Ixx, Ixy, Ixz, Iyy, Iyz, Izz

  // Variance of every measured channel (x, y, z each).
  std::array<double, 3> noiseForce{};       //!< N²
  std::array<double, 3> noiseTorque{};      //!< (N·m)²
  std::array<double, 3> noiseLinearAcc{};   //!< (m/s²)²
  std::array<double, 3> noiseAngularVel{};  //!< (rad/s)²
  std::array<double, 3> noiseAngularAcc{};  //!< (rad/s²)², of the derived angular acceleration

  // Bounds on the standard deviations; the convergence test needs each strictly below.
  double thresholdMass = 0.0;        //!< kg
  double thresholdCom = 0.0;         //!< m, each coordinate
  double thresholdInertia = 0.0;     //!< kg·m², each entry
  double thresholdWrenchBias = 0.0;  //!< N or N·m, each of the six components

  bool runtimeVerbosity = false;    //!< kept and copied; changes no output
  bool outputBiasEstimate = false;  //!< adds the "bias" block to the payload parameter file
  //! s, optional "imu_delay": how much later the IMU's time stamps are than the wrench's for the
  //! same instant (positive: the IMU value stamped t belongs with the wrench stamped t − d).
  //! Within ±0.025 s, the half width of the window the estimator holds anyway; 0 when absent.
  double imuDelay = 0.0;
  //! Hz, optional "measurement_noise_sample_rate" "linear_acc" and "angular_vel": the rate at
  //! which those channels' variances were measured, when the recording interpolates them from a
  //! slower stream; 0 when absent (the recording's own rate).
  double rateLinearAcc = 0.0;
  double rateAngularVel = 0.0;

  std::string configPath;  //!< the path the host passed; the payload file goes next to it
};

//! Reads the configuration file at configPath.
//!
//! Throws std::runtime_error with "Failed to open configuration file: " + configPath when the
//! file cannot be opened, and with "Error parsing estimator configuration file: " followed by
//! the original message for any other problem (syntax error, missing key, wrong JSON type),
//! or with the key's full path and the reason for a value out of range: min_time, the
//! variances and the thresholds must be finite and not negative, max_time finite and
//! positive.
//! Prints a WARN line for each optional switch that is absent and, on success, an INFO line.
EstimatorConfig parseConfiguration(const std::string& configPath);

}  // namespace zelto
