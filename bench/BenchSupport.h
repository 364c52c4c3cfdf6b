#pragma once

// Shared pieces of the benchmarks: realistic simulated samples (never constant or all-zero
// data, which would skip work) and the files the libraries are constructed from; the console
// sink and the scratch files are those of the tests (HostHarness.h).

#include <array>
#include <string>
#include <vector>

#include "HostHarness.h"
#include "PayloadSimulator.h"

namespace zelto::bench {

using harness::QuietCout;
using harness::writeScratchFile;

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

//! Estimator configuration for the benchmarks; the caller sets the run limits and the threshold
//! that decide whether the convergence test runs and whether it can pass.
inline std::string estimatorConfig(double minTime, double maxTime, double threshold) {
  return harness::estimatorConfig({"bench_payload.json", minTime, maxTime, threshold});
}

inline std::string payloadFile(bool dynamic) {
  const sim::Payload p = benchOptions().payload;
  const auto i = p.inertia;
  return std::string(R"({"payload_compensator_config": {"payload_properties": {"mass": )") +
         std::to_string(p.mass) + R"(, "com": {"x": )" + std::to_string(p.com.x()) + R"(, "y": )" +
         std::to_string(p.com.y()) + R"(, "z": )" + std::to_string(p.com.z()) +
         R"(}, "inertia": {"Ixx": )" + std::to_string(i[0]) + R"(, "Ixy": )" +
         std::to_string(i[1]) + R"(, "Ixz": )" + std::to_string(i[2]) + R"(, "Iyy": )" +
         std::to_string(i[3]) + R"(, "Iyz": )" + std::to_string(i[4]) + R"(, "Izz": )" +
         std::to_string(i[5]) + R"(}}, "enable_dynamic_compensation": )" +
         (dynamic ? "true" : "false") + "}}";
}

}  // namespace zelto::bench
