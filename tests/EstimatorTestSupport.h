#pragma once

// Helpers shared by the estimator tests: a scratch directory and configuration files.

#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace zelto::test {

//! A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("zelto-est-" + std::to_string(tick) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

  //! Writes text (binary, byte for byte) to name inside the directory; returns its path.
  std::string write(const std::string& name, const std::string& text) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
    return p;
  }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

//! Settings of a test configuration file that tests vary.
struct ConfigValues {
  std::string outputFileName = "payload_parameters.json";
  double minTime = 5.0;
  double maxTime = 120.0;
  double priorMass = 1.0;
  double thresholdMass = 0.01;
  double thresholdCom = 0.001;
  double thresholdInertia = 5e-4;
  double thresholdWrenchBias = 0.01;
  double forceVariance = 0.01;
  double torqueVariance = 1e-5;
  double linearAccVariance = 1e-3;
  double angularVelVariance = 1e-5;
  double angularAccVariance = 5.7e-3;
  bool outputBiasEstimate = true;
};

//! The shortest text that reads back as value (0.0057 rather than 0.0057000000000000002).
inline std::string shortest(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

//! {"x": v, "y": v, "z": v}, v written as usual when it is the usual value.
inline std::string xyz(double value, double usual, const char* usualText) {
  const std::string v = value == usual ? std::string(usualText) : shortest(value);
  return "{\"x\": " + v + ", \"y\": " + v + ", \"z\": " + v + "}";
}

//! An estimator configuration file with the variances validated on hand motion and both
//! optional switches present.
inline std::string configText(const ConfigValues& v = ConfigValues()) {
  std::ostringstream s;
  s.precision(17);
  s << "{\n"
    << "  \"payload_estimator_config\": {\n"
    << "    \"output_config_file_name\": \"" << v.outputFileName << "\",\n"
    << "    \"min_time\": " << v.minTime << ",\n"
    << "    \"max_time\": " << v.maxTime << ",\n"
    << "    \"prior_payload_properties\": {\n"
    << "      \"mass\": " << v.priorMass << ",\n"
    << "      \"com\": {\"x\": 0.0, \"y\": 0.0, \"z\": 0.05},\n"
    << "      \"inertia\": {\"Ixx\": 0.001, \"Ixy\": 0.0, \"Ixz\": 0.0, \"Iyy\": 0.001,"
    << " \"Iyz\": 0.0, \"Izz\": 0.001}\n"
    << "    },\n"
    << "    \"measurement_noise_covariance\": {\n"
    << "      \"force\": " << xyz(v.forceVariance, 0.01, "0.01") << ",\n"
    << "      \"torque\": " << xyz(v.torqueVariance, 1e-5, "1e-5") << ",\n"
    << "      \"linear_acc\": " << xyz(v.linearAccVariance, 1e-3, "1e-3") << ",\n"
    << "      \"angular_vel\": " << xyz(v.angularVelVariance, 1e-5, "1e-5") << ",\n"
    << "      \"angular_acc\": {\"x\": " << shortest(v.angularAccVariance)
    << ", \"y\": " << shortest(v.angularAccVariance)
    << ", \"z\": " << shortest(v.angularAccVariance) << "}\n"
    << "    },\n"
    << "    \"estimation_covariance_convergence_threshold\": {\n"
    << "      \"mass\": " << v.thresholdMass << ",\n"
    << "      \"com\": " << v.thresholdCom << ",\n"
    << "      \"inertia\": " << v.thresholdInertia << ",\n"
    << "      \"wrench_bias\": " << v.thresholdWrenchBias << "\n"
    << "    },\n"
    << "    \"runtime_verbosity\": false,\n"
    << "    \"output_bias_estimate\": " << (v.outputBiasEstimate ? "true" : "false") << "\n"
    << "  }\n"
    << "}\n";
  return s.str();
}

}  // namespace zelto::test
