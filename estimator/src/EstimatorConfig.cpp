#include "EstimatorConfig.h"

#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Log.h"

namespace zelto {
namespace {

using nlohmann::json;

// Strict member access: a missing key or a value that is not a number raises the JSON
// library's exception, whose text names the key or the type. Integers convert to double.
double number(const json& object, const char* key) { return object.at(key).get<double>(); }

std::array<double, 3> xyz(const json& object, const char* key) {
  const json& vector = object.at(key);
  return {number(vector, "x"), number(vector, "y"), number(vector, "z")};
}

// An absent switch defaults to false with a WARN line; a present one must be a boolean.
bool optionalSwitch(const json& object, const char* key) {
  if (object.contains(key)) {
    return object.at(key).get<bool>();
  }
  logWarn(std::string(key) + " not found in config, defaulting to false");
  return false;
}

void readDocument(std::istream& in, EstimatorConfig& config) {
  json document;
  // Stream extraction: strict JSON without comments; whatever follows the first complete
  // value is not read.
  in >> document;
  const json root = document.at("payload_estimator_config");

  config.outputFileName = root.at("output_config_file_name").get<std::string>();
  config.minTime = number(root, "min_time");
  config.maxTime = number(root, "max_time");

  const json& prior = root.at("prior_payload_properties");
  config.priorMass = number(prior, "mass");
  config.priorCom = xyz(prior, "com");
  const json& inertia = prior.at("inertia");
  config.priorInertia = {number(inertia, "Ixx"), number(inertia, "Ixy"), number(inertia, "Ixz"),
                         number(inertia, "Iyy"), number(inertia, "Iyz"), number(inertia, "Izz")};

  const json& noise = root.at("measurement_noise_covariance");
  config.noiseForce = xyz(noise, "force");
  config.noiseTorque = xyz(noise, "torque");
  config.noiseLinearAcc = xyz(noise, "linear_acc");
  config.noiseAngularVel = xyz(noise, "angular_vel");
  config.noiseAngularAcc = xyz(noise, "angular_acc");

  const json& thresholds = root.at("estimation_covariance_convergence_threshold");
  config.thresholdMass = number(thresholds, "mass");
  config.thresholdCom = number(thresholds, "com");
  config.thresholdInertia = number(thresholds, "inertia");
  config.thresholdWrenchBias = number(thresholds, "wrench_bias");

  config.runtimeVerbosity = optionalSwitch(root, "runtime_verbosity");
  config.outputBiasEstimate = optionalSwitch(root, "output_bias_estimate");

  logInfo("Estimator configuration file has been parsed successfully");
}

}  // namespace

EstimatorConfig parseConfiguration(const std::string& configPath) {
  EstimatorConfig config;
  config.configPath = configPath;

  std::ifstream in(configPath);
  if (!in.is_open()) {
    throw std::runtime_error("Failed to open configuration file: " + configPath);
  }
  try {
    readDocument(in, config);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Error parsing estimator configuration file: ") +
                             e.what());
  }
  return config;
}

}  // namespace zelto
