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

}  // namespace zelto::tool
