#pragma once

// Pieces shared by the benchmarks, the allocation test and the fuzz targets, which all drive
// the libraries as a host does: scratch files for the configurations they construct the
// libraries from, a silenced console (printing the libraries' lines would distort what is
// measured and slow fuzzing tenfold) and an estimator configuration with the validated noise.

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>

namespace zelto::harness {

//! A directory of the process's own under /tmp, created on first use.
inline const std::string& scratchDirectory() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/zelto-scratch-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      throw std::runtime_error(std::string("cannot create a scratch directory: ") +
                               std::strerror(errno));
    }
    return std::string(pattern);
  }();
  // Removed when the process ends normally, so repeated runs leave nothing behind. Registered
  // after dir is complete, so the handler runs before dir is destroyed.
  static const bool cleanup = [] {
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return true;
  }();
  static_cast<void>(cleanup);
  return dir;
}

//! Writes the bytes to name in the scratch directory; returns the file's path.
inline std::string writeScratchFile(const std::string& name, std::string_view bytes) {
  const std::string path = scratchDirectory() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

//! Discards everything written to it.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

//! Silences std::cout while alive (quiet = false leaves it as it is).
class QuietCout {
 public:
  explicit QuietCout(bool quiet = true) {
    if (quiet) previous_ = std::cout.rdbuf(&sink_);
  }
  ~QuietCout() {
    if (previous_ != nullptr) std::cout.rdbuf(previous_);
  }
  QuietCout(const QuietCout&) = delete;
  QuietCout& operator=(const QuietCout&) = delete;

 private:
  NullBuffer sink_;
  std::streambuf* previous_ = nullptr;
};

//! The settings that decide how a run of the estimator ends.
struct RunSettings {
  const char* outputFileName;  //!< the payload parameter file a converged run writes
  double minTime;
  double maxTime;
  double threshold;  //!< every convergence threshold; 0 = the run never converges
  bool outputBiasEstimate = true;
};

//! The shortest text that reads back as value.
inline std::string jsonNumber(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

//! Estimator configuration with the noise values validated on hand motion.
inline std::string estimatorConfig(const RunSettings& run) {
  const std::string t = jsonNumber(run.threshold);
  return std::string(R"({"payload_estimator_config": {
    "output_config_file_name": ")") +
         run.outputFileName + R"(",
    "min_time": )" +
         jsonNumber(run.minTime) + R"(, "max_time": )" + jsonNumber(run.maxTime) + R"(,
    "prior_payload_properties": {"mass": 1.0, "com": {"x": 0, "y": 0, "z": 0.05},
      "inertia": {"Ixx": 0.01, "Ixy": 0, "Ixz": 0, "Iyy": 0.01, "Iyz": 0, "Izz": 0.01}},
    "measurement_noise_covariance": {
      "force": {"x": 0.01, "y": 0.01, "z": 0.01}, "torque": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
      "linear_acc": {"x": 1e-3, "y": 1e-3, "z": 1e-3},
      "angular_vel": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
      "angular_acc": {"x": 1e-2, "y": 1e-2, "z": 1e-2}},
    "estimation_covariance_convergence_threshold": {"mass": )" +
         t + R"(, "com": )" + t + R"(, "inertia": )" + t + R"(, "wrench_bias": )" + t + R"(},
    "runtime_verbosity": false, "output_bias_estimate": )" +
         (run.outputBiasEstimate ? "true" : "false") + "}}";
}

}  // namespace zelto::harness
