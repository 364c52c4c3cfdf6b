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
};

//! Reads the settings; throws ToolError naming the file and the problem.
EstimatorSettings readEstimatorSettings(const std::string& configPath);

//! Writes a copy of the configuration with its "measurement_noise_covariance" replaced by
//! `block` (the JSON text of the new value), every other member as it was and in its order.
//! Objects of plain values stay on one line, the layout of the sample configurations. Throws
//! ToolError naming the file when the configuration cannot be read or the copy not written.
void writeConfigWithNoise(const std::string& configPath, const std::string& block,
                          const std::string& outputPath);

}  // namespace zelto::tool
