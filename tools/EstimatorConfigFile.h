#pragma once

#include <array>
#include <optional>
#include <string>

namespace zelto::tool {

//! What the tool itself needs to know of an estimator configuration file: the run limits (to
//! pace a replay) and where a successful run writes its payload parameter file.
struct EstimatorSettings {
  double minTime = 0.0;  //!< s of wall-clock time before convergence is accepted
  double maxTime = 0.0;  //!< s of wall-clock time after which an unconverged run is abandoned
  std::string outputFileName;
  bool outputBiasEstimate = false;
  std::string payloadFilePath;  //!< where the estimator writes the payload parameter file
  //! "measurement_noise_covariance": force, torque, linear_acc, angular_vel, angular_acc, each
  //! x, y, z; unset when any of them is missing or not a number (the estimator refuses that).
  std::optional<std::array<double, 15>> noise;
  std::optional<double> imuDelay;  //!< s, "imu_delay" when the file has it as a number
  bool noiseSampleRate = false;    //!< the file has a "measurement_noise_sample_rate"
};

//! The line a command prints when the copy it writes leaves out the configuration's
//! "measurement_noise_sample_rate" because its own noise block holds at the recording's rate.
std::string droppedRatesNote(const std::string& configPath);

//! What a configuration copy does with the optional "imu_delay".
struct ImuDelayEdit {
  enum class Action {
    Keep,    //!< as the configuration has it, or not
    Set,     //!< to value (in place if present, else after the other members)
    Remove,  //!< left out
  };
  Action action = Action::Keep;
  double value = 0.0;  //!< s, for Set; written as delayAsWritten(value)
};

//! The delay rounded to 0.01 ms, well below what it can be measured to; never −0.
double delayAsWritten(double delay);

//! Reads the settings; throws ToolError naming the file and the problem.
EstimatorSettings readEstimatorSettings(const std::string& configPath);

//! Writes a copy of the configuration with its "measurement_noise_covariance" replaced by
//! `block` (the JSON text of the new value) and its "imu_delay" as `delay` says, every other
//! member as it was and in its order.
//! Objects of plain values stay on one line, the layout of the sample configurations. Throws
//! ToolError naming the file when the configuration cannot be read or the copy not written.
//! Its "measurement_noise_sample_rate" becomes `rateBlock` (JSON text), or is left out when that
//! is empty: the rates belong to the noise block they came with.
void writeConfigWithNoise(const std::string& configPath, const std::string& block,
                          const std::string& outputPath, const ImuDelayEdit& delay = {},
                          const std::string& rateBlock = "");

}  // namespace zelto::tool
