#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "ConsistencyReport.h"

namespace zelto::tool {

//! What a payload parameter file holds (the file the estimator writes and the compensator
//! reads): the inertial parameters, the estimated sensor bias when the estimator was asked to
//! write it, and the compensation mode.
struct PayloadFileContents {
  InertialParameters parameters;
  std::optional<std::array<double, 6>> bias;  //!< Fx Fy Fz (N), Tx Ty Tz (N·m)
  bool dynamicCompensation = false;
  //! The inertia entries ("Ixx" … "Izz") the estimator's motion did not identify, in the order
  //! of the file ("not_identified"); empty for a fully identified payload.
  std::vector<std::string> notIdentified;
};

//! Reads a payload parameter file. The "bias" block, "not_identified" and
//! "enable_dynamic_compensation" are optional here (the tool only reports them); everything the
//! compensator needs is required. Throws ToolError naming the file and the problem.
PayloadFileContents readPayloadFile(const std::string& path);

//! Writes a payload parameter file in the layout the estimator writes, with twelve significant
//! digits (true parameters must not lose the digits the estimator's six would cut). Throws
//! ToolError when it cannot be written.
void writePayloadFile(const std::string& path, const PayloadFileContents& contents);

//! Writes a copy of a payload parameter file with "enable_dynamic_compensation" set as given;
//! every other member is kept as it is. Throws ToolError.
void writeWithCompensationMode(const std::string& sourcePath, const std::string& targetPath,
                               bool dynamicCompensation);

//! A temporary copy of a payload parameter file with "enable_dynamic_compensation" set as
//! given (the mode is a member of the file), removed with this object. Throws ToolError.
class PayloadModeCopy {
 public:
  PayloadModeCopy(const std::string& sourcePath, bool dynamicCompensation);
  ~PayloadModeCopy();
  PayloadModeCopy(const PayloadModeCopy&) = delete;
  PayloadModeCopy& operator=(const PayloadModeCopy&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

//! Where the estimator writes its payload parameter file: the directory of the configuration
//! file ("/" and "\" both separate) joined with the configured file name; an absolute file name
//! stands alone, and a configuration path without any separator gives the bare file name.
std::string payloadFileLocation(const std::string& configPath, const std::string& fileName);

}  // namespace zelto::tool
