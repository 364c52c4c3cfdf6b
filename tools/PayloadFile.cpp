#include "PayloadFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>

#include "ToolError.h"

namespace zelto::tool {

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr const char* kInertiaKeys[6] = {"Ixx", "Ixy", "Ixz", "Iyy", "Iyz", "Izz"};
constexpr const char* kBiasKeys[6] = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Twelve significant digits: far beyond any estimate's precision, and a parallel-axis sum such
// as 0.000649 is written as that instead of 0.0006489999999999999.
double tidy(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.12g", v);
  return std::strtod(text, nullptr);
}

ordered_json parseFile(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ToolError(std::string("cannot open ") + what + " '" + path +
                    "': " + std::strerror(errno));
  }
  try {
    return ordered_json::parse(in);
  } catch (const std::exception& e) {
    throw ToolError(std::string("cannot read ") + what + " '" + path + "': " + e.what());
  }
}

void writeText(const std::string& path, const std::string& text, const char* what) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    throw ToolError(std::string("cannot create ") + what + " '" + path +
                    "': " + std::strerror(errno));
  }
  out << text;
  out.close();
  if (!out) throw ToolError(std::string("failed to write ") + what + " '" + path + "'");
}

}  // namespace

PayloadFileContents readPayloadFile(const std::string& path) {
  const ordered_json document = parseFile(path, "payload parameter file");
  PayloadFileContents contents;
  try {
    const ordered_json& config = document.at("payload_compensator_config");
    const ordered_json& properties = config.at("payload_properties");
    contents.parameters.mass = properties.at("mass").get<double>();
    const ordered_json& com = properties.at("com");
    contents.parameters.com = {com.at("x").get<double>(), com.at("y").get<double>(),
                               com.at("z").get<double>()};
    const ordered_json& inertia = properties.at("inertia");
    for (int i = 0; i < 6; ++i) {
      contents.parameters.inertia[i] = inertia.at(kInertiaKeys[i]).get<double>();
    }
    if (properties.contains("bias")) {
      const ordered_json& bias = properties.at("bias");
      std::array<double, 6> values{};
      for (int i = 0; i < 6; ++i) values[i] = bias.at(kBiasKeys[i]).get<double>();
      contents.bias = values;
    }
    if (properties.contains("not_identified")) {
      for (const ordered_json& name : properties.at("not_identified")) {
        const std::string entry = name.get<std::string>();
        if (std::find(std::begin(kInertiaKeys), std::end(kInertiaKeys), entry) ==
            std::end(kInertiaKeys)) {
          throw ToolError("cannot read payload parameter file '" + path +
                          "': \"not_identified\" names \"" + entry +
                          "\", which is not an inertia entry");
        }
        contents.notIdentified.push_back(entry);
      }
    }
    if (config.contains("enable_dynamic_compensation")) {
      contents.dynamicCompensation = config.at("enable_dynamic_compensation").get<bool>();
    }
  } catch (const ToolError&) {
    throw;
  } catch (const std::exception& e) {
    throw ToolError("cannot read payload parameter file '" + path + "': " + e.what());
  }
  return contents;
}

void writePayloadFile(const std::string& path, const PayloadFileContents& contents) {
  const InertialParameters& p = contents.parameters;
  ordered_json properties;
  properties["mass"] = tidy(p.mass);
  properties["com"] = {{"x", tidy(p.com[0])}, {"y", tidy(p.com[1])}, {"z", tidy(p.com[2])}};
  ordered_json inertia;
  for (int i = 0; i < 6; ++i) inertia[kInertiaKeys[i]] = tidy(p.inertia[i]);
  properties["inertia"] = inertia;
  if (contents.bias) {
    ordered_json bias;
    for (int i = 0; i < 6; ++i) bias[kBiasKeys[i]] = tidy((*contents.bias)[i]);
    properties["bias"] = bias;
  }
  if (!contents.notIdentified.empty()) properties["not_identified"] = contents.notIdentified;
  ordered_json document;
  document["payload_compensator_config"]["payload_properties"] = properties;
  document["payload_compensator_config"]["enable_dynamic_compensation"] =
      contents.dynamicCompensation;
  writeText(path, document.dump(2) + "\n", "payload parameter file");
}

void writeWithCompensationMode(const std::string& sourcePath, const std::string& targetPath,
                               bool dynamicCompensation) {
  ordered_json document = parseFile(sourcePath, "payload parameter file");
  if (!document.is_object() || !document.contains("payload_compensator_config") ||
      !document["payload_compensator_config"].is_object()) {
    throw ToolError("cannot read payload parameter file '" + sourcePath +
                    "': no \"payload_compensator_config\" object");
  }
  document["payload_compensator_config"]["enable_dynamic_compensation"] = dynamicCompensation;
  writeText(targetPath, document.dump(2) + "\n", "payload parameter file");
}

PayloadModeCopy::PayloadModeCopy(const std::string& sourcePath, bool dynamicCompensation) {
  std::random_device random;
  path_ = (std::filesystem::temp_directory_path() /
           ("zelto-payload-mode-" + std::to_string(random()) + ".json"))
              .string();
  writeWithCompensationMode(sourcePath, path_, dynamicCompensation);
}

PayloadModeCopy::~PayloadModeCopy() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

std::string payloadFileLocation(const std::string& configPath, const std::string& fileName) {
  const bool absolute = (!fileName.empty() && isSeparator(fileName[0])) ||
                        (fileName.size() >= 2 && fileName[1] == ':' &&
                         std::isalpha(static_cast<unsigned char>(fileName[0])));
  if (absolute) return fileName;
  const std::size_t last = configPath.find_last_of("/\\");
  if (last == std::string::npos) return fileName;
  std::size_t end = last;
  while (end > 0 && isSeparator(configPath[end - 1])) --end;
  if (end == 0) return configPath.substr(0, 1) + fileName;
  return configPath.substr(0, end) + configPath[last] + fileName;
}

}  // namespace zelto::tool
