#pragma once

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
};

//! Reads the settings; throws ToolError naming the file and the problem.
EstimatorSettings readEstimatorSettings(const std::string& configPath);

//! A copy of an estimator configuration (same prior and noise model) in which the run limits,
//! the four convergence thresholds and the output file name are replaced and the bias is always
//! written. Returns the JSON text; throws ToolError when the source cannot be read.
std::string derivedEstimatorConfig(const std::string& configPath, double minTime, double maxTime,
                                   double threshold, const std::string& outputFileName);

}  // namespace zelto::tool
