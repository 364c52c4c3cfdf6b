#include "PayloadParameters.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "ImuDelayLine.h"
#include "Log.h"

namespace zelto {

void loadPayloadParameters(PayloadParameters& parameters, const std::string& path) {
  parameters.path = path;

  std::ifstream file(path);
  if (!file.is_open()) {
    // Deliberately outside the handler below: an unreadable path keeps its own message.
    throw std::runtime_error("Failed to open configuration file: " + path);
  }

  try {
    // One JSON value is read; whatever follows it in the file is not examined.
    nlohmann::json document;
    file >> document;

    // The lookups run in a fixed order so that the first missing or mistyped key is the one
    // reported; at() throws for a missing key and for a non-object where an object is needed.
    const nlohmann::json& config = document.at("payload_compensator_config");
    const nlohmann::json& properties = config.at("payload_properties");

    parameters.mass = properties.at("mass").get<double>();

    const nlohmann::json& com = properties.at("com");
    const double comX = com.at("x").get<double>();
    const double comY = com.at("y").get<double>();
    const double comZ = com.at("z").get<double>();
    parameters.comX = comX;
    parameters.comY = comY;
    parameters.comZ = comZ;

    const nlohmann::json& inertia = properties.at("inertia");
    const double ixx = inertia.at("Ixx").get<double>();
    const double ixy = inertia.at("Ixy").get<double>();
    const double ixz = inertia.at("Ixz").get<double>();
    const double iyy = inertia.at("Iyy").get<double>();
    const double iyz = inertia.at("Iyz").get<double>();
    const double izz = inertia.at("Izz").get<double>();
    parameters.ixx = ixx;
    parameters.ixy = ixy;
    parameters.ixz = ixz;
    parameters.iyy = iyy;
    parameters.iyz = iyz;
    parameters.izz = izz;

    // A boolean only: get<bool>() refuses 0 and 1, so a hand-edited file cannot switch the
    // mode by accident with a number.
    parameters.enableDynamicCompensation =
        config.at("enable_dynamic_compensation").get<bool>() ? 1.0 : 0.0;

    // Added by hand where the IMU's stamps lag the wrench's; a file without it compensates as
    // it always has.
    if (config.contains("imu_delay")) {
      const double delay = config.at("imu_delay").get<double>();
      if (!(std::abs(delay) <= ImuDelayLine::kLimit)) {
        char shown[32];
        std::snprintf(shown, sizeof shown, "%g", delay);
        throw std::runtime_error(
            std::string("payload_compensator_config.imu_delay must be within -0.025 and 0.025 s "
                        "(the span of samples the compensator holds to pair them), but is ") +
            shown);
      }
      parameters.imuDelay = delay;
    }
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Error parsing configuration file: ") + e.what());
  }

  logInfo("Configuration file has been parsed successfully");
}

}  // namespace zelto
