#include "EstimatorConfigFile.h"

#include <cerrno>
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
  } catch (const std::exception& e) {
    throw ToolError("cannot read estimator configuration '" + configPath + "': " + e.what());
  }
  settings.payloadFilePath = payloadFileLocation(configPath, settings.outputFileName);
  return settings;
}

}  // namespace zelto::tool
