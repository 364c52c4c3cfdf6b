#include "EstimatorConfig.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "DerivativeWindow.h"
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

// A time, variance or threshold below zero, or not finite, makes the run limits or the
// estimate meaningless: refused with the key's full path and the reason. (The JSON reader
// already refuses numbers too large for a double; the test does not rely on it.) Zero is
// allowed where it still means something (see the callers).
double checked(const json& object, const char* key, const char* path, bool zeroAllowed) {
  const double value = number(object, key);
  if (std::isfinite(value) && (value > 0.0 || (zeroAllowed && value == 0.0))) {
    return value;
  }
  char shown[32];
  std::snprintf(shown, sizeof shown, "%g", value);
  throw std::runtime_error(std::string(path) + key + " must be finite and " +
                           (zeroAllowed ? "not negative" : "positive") + ", but is " + shown);
}

double nonNegative(const json& object, const char* key, const char* path) {
  return checked(object, key, path, true);
}

std::array<double, 3> nonNegativeXyz(const json& object, const char* key, const char* path) {
  const json& vector = object.at(key);
  const std::string inner = std::string(path) + key + ".";
  return {nonNegative(vector, "x", inner.c_str()), nonNegative(vector, "y", inner.c_str()),
          nonNegative(vector, "z", inner.c_str())};
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
  constexpr const char* kRoot = "payload_estimator_config.";
  // min_time 0 accepts convergence from the first sample; a max_time of 0 would end every
  // run on its first sample.
  config.minTime = nonNegative(root, "min_time", kRoot);
  config.maxTime = checked(root, "max_time", kRoot, false);

  const json& prior = root.at("prior_payload_properties");
  config.priorMass = number(prior, "mass");
  config.priorCom = xyz(prior, "com");
  const json& inertia = prior.at("inertia");
  config.priorInertia = {number(inertia, "Ixx"), number(inertia, "Ixy"), number(inertia, "Ixz"),
                         number(inertia, "Iyy"), number(inertia, "Iyz"), number(inertia, "Izz")};

  const json& noise = root.at("measurement_noise_covariance");
  // A zero variance declares a channel exact (noise-free recorded or simulated data).
  constexpr const char* kNoise = "payload_estimator_config.measurement_noise_covariance.";
  config.noiseForce = nonNegativeXyz(noise, "force", kNoise);
  config.noiseTorque = nonNegativeXyz(noise, "torque", kNoise);
  config.noiseLinearAcc = nonNegativeXyz(noise, "linear_acc", kNoise);
  config.noiseAngularVel = nonNegativeXyz(noise, "angular_vel", kNoise);
  config.noiseAngularAcc = nonNegativeXyz(noise, "angular_acc", kNoise);

  // A zero threshold is never reached (the test is strictly below): the run goes on until
  // max_time or a stop, for recording or benchmarking.
  constexpr const char* kThresholds =
      "payload_estimator_config.estimation_covariance_convergence_threshold.";
  const json& thresholds = root.at("estimation_covariance_convergence_threshold");
  config.thresholdMass = nonNegative(thresholds, "mass", kThresholds);
  config.thresholdCom = nonNegative(thresholds, "com", kThresholds);
  config.thresholdInertia = nonNegative(thresholds, "inertia", kThresholds);
  config.thresholdWrenchBias = nonNegative(thresholds, "wrench_bias", kThresholds);

  if (root.contains("imu_delay")) {
    // The wrench is paired with the IMU of another time from the window the estimator holds
    // around each sample: no wider shift without waiting longer for every sample.
    config.imuDelay = number(root, "imu_delay");
    if (!(std::abs(config.imuDelay) <= DerivativeWindow::kHalfWidth)) {
      char shown[32];
      std::snprintf(shown, sizeof shown, "%g", config.imuDelay);
      throw std::runtime_error(std::string(kRoot) +
                               "imu_delay must be within -0.025 and 0.025 s (the half width of "
                               "the window the estimator holds), but is " +
                               shown);
    }
  }

  if (root.contains("measurement_noise_sample_rate")) {
    // Either member may be left out: that channel's variance holds at the recording's rate.
    constexpr const char* kRates = "payload_estimator_config.measurement_noise_sample_rate.";
    const json& rates = root.at("measurement_noise_sample_rate");
    if (!rates.is_object()) {
      throw std::runtime_error(std::string(kRoot) +
                               "measurement_noise_sample_rate must be an object with numbers "
                               "\"linear_acc\" and \"angular_vel\" (Hz)");
    }
    if (rates.contains("linear_acc"))
      config.rateLinearAcc = checked(rates, "linear_acc", kRates, false);
    if (rates.contains("angular_vel"))
      config.rateAngularVel = checked(rates, "angular_vel", kRates, false);
  }

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
