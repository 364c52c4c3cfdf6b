#pragma once

// Shared pieces of the benchmarks: realistic simulated samples (never constant or all-zero
// data, which would skip work), a sink for console output and scratch files.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <unistd.h>

#include "PayloadSimulator.h"

namespace zelto::bench {

//! Discards everything written to it.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

//! Silences std::cout while alive: console lines are not what is being measured.
class QuietCout {
 public:
  QuietCout() : previous_(std::cout.rdbuf(&sink_)) {}
  ~QuietCout() { std::cout.rdbuf(previous_); }
  QuietCout(const QuietCout&) = delete;
  QuietCout& operator=(const QuietCout&) = delete;

 private:
  NullBuffer sink_;
  std::streambuf* previous_;
};

//! The tool of the benchmarks: 1.2 kg, off-centre, with a sensor bias.
inline sim::Options benchOptions(double intensity = 1.0) {
  sim::Options o;
  o.payload = sim::Payload::fromCentroidal(1.2, Eigen::Vector3d(0.012, -0.008, 0.061),
                                           {0.0021, 0.00005, -0.00003, 0.0024, 0.00002, 0.0013},
                                           Eigen::Vector3d(0.8, -0.3, 1.5),
                                           Eigen::Vector3d(0.02, -0.01, 0.005));
  o.noise = sim::Noise{0.01, 1e-5, 1e-3, 1e-5};
  o.motion.rate = 1000.0;
  o.motion.intensity = intensity;
  o.seed = 42;
  return o;
}

//! A minute of hand motion at 1 kHz, generated once per process.
inline const std::vector<sim::SimSample>& recording() {
  static const std::vector<sim::SimSample> samples = [] {
    sim::PayloadSimulator simulator(benchOptions());
    return simulator.generate(60.0);
  }();
  return samples;
}

//! What a host hands over per sample: the time stamp and the twelve values. Kept apart from the
//! simulator's ground truth so that reading the stream costs what a host's own buffer costs.
struct HostSample {
  double time;
  std::array<double, 12> values;
};

inline const std::vector<HostSample>& hostRecording() {
  static const std::vector<HostSample> samples = [] {
    std::vector<HostSample> out;
    out.reserve(recording().size());
    for (const sim::SimSample& s : recording()) out.push_back(HostSample{s.time, s.values});
    return out;
  }();
  return samples;
}

//! Endless stream over the recording with strictly increasing time stamps.
class SampleStream {
 public:
  void next(double& time, std::array<double, 12>& values) {
    const auto& samples = hostRecording();
    if (index_ == samples.size()) {
      index_ = 0;
      offset_ += samples.back().time + 0.001;
    }
    time = samples[index_].time + offset_;
    values = samples[index_].values;
    ++index_;
  }

 private:
  std::size_t index_ = 0;
  double offset_ = 0.0;
};

inline std::string writeScratchFile(const std::string& name, const std::string& text) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/zelto-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("cannot create a scratch directory");
    return std::string(made);
  }();
  // Removed when the process ends normally, so repeated runs leave nothing behind.
  static const bool cleanup = [] {
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return true;
  }();
  static_cast<void>(cleanup);
  const std::string path = dir + "/" + name;
  std::ofstream(path) << text;
  return path;
}

//! Estimator configuration with the validated noise values; the caller sets the run limits
//! and thresholds that decide whether the convergence test runs and whether it can pass.
inline std::string estimatorConfig(double minTime, double maxTime, double threshold) {
  const std::string t = std::to_string(threshold);
  return R"({"payload_estimator_config": {
    "output_config_file_name": "bench_payload.json",
    "min_time": )" + std::to_string(minTime) + R"(, "max_time": )" + std::to_string(maxTime) + R"(,
    "prior_payload_properties": {"mass": 1.0, "com": {"x": 0, "y": 0, "z": 0.05},
      "inertia": {"Ixx": 0.01, "Ixy": 0, "Ixz": 0, "Iyy": 0.01, "Iyz": 0, "Izz": 0.01}},
    "measurement_noise_covariance": {
      "force": {"x": 0.01, "y": 0.01, "z": 0.01}, "torque": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
      "linear_acc": {"x": 1e-3, "y": 1e-3, "z": 1e-3},
      "angular_vel": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
      "angular_acc": {"x": 1e-2, "y": 1e-2, "z": 1e-2}},
    "estimation_covariance_convergence_threshold": {"mass": )" + t + R"(, "com": )" + t +
         R"(, "inertia": )" + t + R"(, "wrench_bias": )" + t + R"(},
    "runtime_verbosity": false, "output_bias_estimate": true}})";
}

inline std::string payloadFile(bool dynamic) {
  const sim::Payload p = benchOptions().payload;
  const auto i = p.inertia;
  return std::string(R"({"payload_compensator_config": {"payload_properties": {"mass": )") +
         std::to_string(p.mass) + R"(, "com": {"x": )" + std::to_string(p.com.x()) +
         R"(, "y": )" + std::to_string(p.com.y()) + R"(, "z": )" + std::to_string(p.com.z()) +
         R"(}, "inertia": {"Ixx": )" + std::to_string(i[0]) + R"(, "Ixy": )" +
         std::to_string(i[1]) + R"(, "Ixz": )" + std::to_string(i[2]) + R"(, "Iyy": )" +
         std::to_string(i[3]) + R"(, "Iyz": )" + std::to_string(i[4]) + R"(, "Izz": )" +
         std::to_string(i[5]) + R"(}}, "enable_dynamic_compensation": )" +
         (dynamic ? "true" : "false") + "}}";
}

}  // namespace zelto::bench
