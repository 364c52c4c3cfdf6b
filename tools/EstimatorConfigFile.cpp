#include "EstimatorConfigFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "PayloadFile.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

using ordered_json = nlohmann::ordered_json;

ordered_json parseConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ToolError("cannot open estimator configuration '" + path + "': " + std::strerror(errno));
  }
  try {
    return ordered_json::parse(in);
  } catch (const std::exception& e) {
    throw ToolError("cannot read estimator configuration '" + path + "': " + e.what());
  }
}

// The sample configurations' layout: two spaces per level, an object of plain values on one line
// where that line stays within 100 columns.
void writeJson(const ordered_json& value, std::size_t indent, std::size_t column,
               std::string& out) {
  if (!value.is_object() || value.empty()) {
    out += value.dump();
    return;
  }
  std::string flat = "{";
  bool plain = true;
  for (const auto& member : value.items()) {
    plain = plain && !member.value().is_structured();
    flat += (flat.size() > 1 ? ", " : "") + ordered_json(member.key()).dump() + ": " +
            member.value().dump();
  }
  flat += "}";
  if (plain && column + flat.size() <= 100) {
    out += flat;
    return;
  }
  const std::string pad(indent + 2, ' ');
  out += "{\n";
  bool first = true;
  for (const auto& member : value.items()) {
    if (!first) out += ",\n";
    first = false;
    const std::string key = pad + ordered_json(member.key()).dump() + ": ";
    out += key;
    writeJson(member.value(), indent + 2, key.size(), out);
  }
  out += "\n" + std::string(indent, ' ') + "}";
}

std::optional<std::array<double, 15>> noiseVariances(const ordered_json& config) {
  static const char* const kQuantities[5] = {"force", "torque", "linear_acc", "angular_vel",
                                             "angular_acc"};
  std::array<double, 15> v{};
  try {
    const ordered_json& noise = config.at("measurement_noise_covariance");
    for (std::size_t q = 0; q < 5; ++q) {
      for (std::size_t j = 0; j < 3; ++j) {
        const ordered_json& entry = noise.at(kQuantities[q]).at(std::string(1, "xyz"[j]));
        if (!entry.is_number()) return std::nullopt;
        v[3 * q + j] = entry.get<double>();
      }
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return v;
}

}  // namespace

EstimatorSettings readEstimatorSettings(const std::string& configPath) {
  const ordered_json document = parseConfig(configPath);
  EstimatorSettings settings;
  try {
    const ordered_json& config = document.at("payload_estimator_config");
    settings.minTime = config.at("min_time").get<double>();
    settings.maxTime = config.at("max_time").get<double>();
    settings.outputFileName = config.at("output_config_file_name").get<std::string>();
    if (config.contains("output_bias_estimate")) {
      settings.outputBiasEstimate = config.at("output_bias_estimate").get<bool>();
    }
    settings.noise = noiseVariances(config);
    if (config.contains("imu_delay") && config.at("imu_delay").is_number()) {
      settings.imuDelay = config.at("imu_delay").get<double>();
    }
    settings.noiseSampleRate = config.contains("measurement_noise_sample_rate");
  } catch (const std::exception& e) {
    throw ToolError("cannot read estimator configuration '" + configPath + "': " + e.what());
  }
  settings.payloadFilePath = payloadFileLocation(configPath, settings.outputFileName);
  return settings;
}

std::string droppedRatesNote(const std::string& configPath) {
  return "zelto-payload: \"measurement_noise_sample_rate\" of " + configPath +
         " left out: the new noise block holds at the recording's rate\n";
}

double delayAsWritten(double delay) {
  char text[32];
  std::snprintf(text, sizeof text, "%.5f", delay);
  return std::strtod(text, nullptr) + 0.0;  // −0.0 + 0.0 is +0.0
}

void writeConfigWithNoise(const std::string& configPath, const std::string& block,
                          const std::string& outputPath, const ImuDelayEdit& delay,
                          const std::string& rateBlock) {
  ordered_json document = parseConfig(configPath);
  if (!document.is_object() || !document.contains("payload_estimator_config") ||
      !document["payload_estimator_config"].is_object()) {
    throw ToolError("cannot read estimator configuration '" + configPath +
                    "': no \"payload_estimator_config\" object");
  }
  ordered_json& config = document["payload_estimator_config"];
  config["measurement_noise_covariance"] = ordered_json::parse(block);
  if (rateBlock.empty()) {
    config.erase("measurement_noise_sample_rate");
  } else {
    config["measurement_noise_sample_rate"] = ordered_json::parse(rateBlock);
  }
  if (delay.action == ImuDelayEdit::Action::Set) {
    config["imu_delay"] = delayAsWritten(delay.value);
  } else if (delay.action == ImuDelayEdit::Action::Remove) {
    config.erase("imu_delay");
  }
  std::string text;
  writeJson(document, 0, 0, text);
  std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
  out << text << "\n";
  out.close();
  if (!out) {
    throw ToolError("cannot write '" + outputPath + "': " + std::strerror(errno));
  }
}

}  // namespace zelto::tool
