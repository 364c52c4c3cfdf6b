#pragma once

#include <string>

namespace zelto {

//! The payload as the compensator models it, read from the payload parameter file the
//! estimator writes. The numbers are used as they stand: the inertia entries are those of
//! the tensor about the sensor origin, in the sensor frame (kg·m²).
struct PayloadParameters {
  double mass = 0.0;  //!< kg
  double comX = 0.0;  //!< centre of mass, m
  double comY = 0.0;
  double comZ = 0.0;
  double ixx = 0.0;
  double ixy = 0.0;
  double ixz = 0.0;
  double iyy = 0.0;
  double iyz = 0.0;
  double izz = 0.0;
  //! 1.0 to compensate gravity and inertia, 0.0 for gravity only.
  double enableDynamicCompensation = 0.0;
  //! s, optional "imu_delay": how much later the IMU's time stamps are than the wrench's for the
  //! same instant (positive: the IMU value stamped t belongs with the wrench stamped t − d).
  //! Within ±0.025 s; 0 when absent, which compensates every sample as it comes.
  double imuDelay = 0.0;
  std::string path;  //!< the file the record was read from
};

//! Fills parameters from the payload parameter file at path; on success prints
//! "Configuration file has been parsed successfully".
//!
//! Every key is required and no key has a default. Throws std::runtime_error with
//! "Failed to open configuration file: " + path when the file cannot be opened, and with
//! "Error parsing configuration file: " + the JSON library's own text for syntax errors,
//! missing keys and wrong types ("enable_dynamic_compensation" must be a boolean, the
//! numbers may be integers or floating point). The path is stored before anything is read.
//! The one optional key, "imu_delay" in "payload_compensator_config", must be a number within
//! ±0.025 s; outside, the message names it with its value, after the same prefix.
void loadPayloadParameters(PayloadParameters& parameters, const std::string& path);

}  // namespace zelto
