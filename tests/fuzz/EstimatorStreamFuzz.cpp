// Arbitrary sequences of samples (NaN, infinities, huge values, times going backwards,
// repeated times, all-zero IMU parts) interleaved with start/stop requests and queries.
// Only the documented exceptions may leave update(); nothing may crash or grow without bound.
#include <zelto/ZeltoPayloadEstimator.h>

#include <memory>

#include "FuzzSupport.h"

namespace {

const char* kFatalNaN =
    "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!";

// Two configurations: one that converges (and writes its file) at once, one that behaves like
// a real run and times out quickly on the steady clock.
std::string configuration(bool convergesAtOnce) {
  const std::string thresholds = convergesAtOnce ? "1e9" : "0.01";
  return std::string(R"({"payload_estimator_config": {
    "output_config_file_name": "fuzz_payload.json",
    "min_time": 0, "max_time": 0.05,
    "prior_payload_properties": {"mass": 1.0, "com": {"x": 0, "y": 0, "z": 0.05},
      "inertia": {"Ixx": 0.01, "Ixy": 0, "Ixz": 0, "Iyy": 0.01, "Iyz": 0, "Izz": 0.01}},
    "measurement_noise_covariance": {
      "force": {"x": 0.01, "y": 0.01, "z": 0.01}, "torque": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
      "linear_acc": {"x": 1e-3, "y": 1e-3, "z": 1e-3},
      "angular_vel": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
      "angular_acc": {"x": 1e-2, "y": 1e-2, "z": 1e-2}},
    "estimation_covariance_convergence_threshold": {"mass": )") +
         thresholds + R"(, "com": )" + thresholds + R"(, "inertia": )" + thresholds +
         R"(, "wrench_bias": )" + thresholds + R"(},
    "runtime_verbosity": false, "output_bias_estimate": true}})";
}

const std::string& configPath(bool convergesAtOnce) {
  static const std::string paths[2] = {
      [] {
        const std::string text = configuration(false);
        return zelto::fuzz::writeFile("stream_config_slow.json", text.data(), text.size());
      }(),
      [] {
        const std::string text = configuration(true);
        return zelto::fuzz::writeFile("stream_config_fast.json", text.data(), text.size());
      }()};
  return paths[convergesAtOnce ? 1 : 0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelto::fuzz;
  ByteReader in(data, size);
  QuietCout quiet;
  std::unique_ptr<zelto::ZeltoPayloadEstimator> estimator;
  try {
    estimator = std::make_unique<zelto::ZeltoPayloadEstimator>(configPath(in.byte() & 1));
  } catch (const std::exception& e) {
    fail("construction failure", e.what());
  }
  double time = 0.0;
  std::array<double, 12> sample{};
  for (int op = 0; op < 4096 && !in.empty(); ++op) {
    const std::uint8_t code = in.byte();
    try {
      if (code % 16 == 0) {
        if (!estimator->startPayloadEstimation()) fail("result", "start returned false");
      } else if (code % 16 == 1) {
        const bool running = estimator->isEstimatorRunning();
        if (running && estimator->isEstimationSuccessful()) {
          fail("state", "successful while running");
        }
      } else {
        readSample(in, time, sample);
        const zelto::ZeltoControlReturnCode rc = estimator->update(time, sample);
        if (rc != zelto::Ok && rc != zelto::Error) fail("return code", "not Ok or Error");
      }
    } catch (const std::runtime_error& e) {
      const bool fatal = std::strcmp(e.what(), kFatalNaN) == 0;
      if (std::strcmp(e.what(), kImuMissing) != 0 && !fatal) {
        fail("message", e.what());
      }
      if (fatal && estimator->isEstimatorRunning()) {
        fail("state", "still running after the fatal error");
      }
    } catch (const std::exception& e) {
      fail("exception", e.what());
    }
  }
  return 0;
}
