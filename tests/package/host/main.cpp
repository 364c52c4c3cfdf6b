// A host application that knows the libraries only through their installed package.
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

// Compensator: load the payload file (as the estimator writes it) that lives next to this
// program's sources, compensate a few samples of a payload at rest, then check that a
// missing file is reported by exception.
bool checkCompensator(const std::string& dir) {
  zelto::ZeltoPayloadCompensator compensator(dir + "/payload.json");
  // 1.25 kg at rest, accelerometer reading +9.81 m/s² along z: the sensor feels the weight
  // pulling down (-12.2625 N) and compensation gives back zero force.
  const std::array<double, 12> input{0.0, 0.0, -12.2625, 0.0, 0.0, 0.0,
                                     0.0, 0.0, 9.81,     0.0, 0.0, 0.0};
  std::array<double, 12> output{};
  for (int k = 0; k < 10; ++k) {
    const zelto::ZeltoControlReturnCode rc = compensator.update(0.001 * k, input, output);
    if (rc != zelto::Ok) {
      std::fprintf(stderr, "compensator update %d returned %d\n", k, static_cast<int>(rc));
      return false;
    }
  }
  if (std::abs(output[2]) > 1e-9) {
    std::fprintf(stderr, "compensated Fz is %g, expected 0\n", output[2]);
    return false;
  }
  if (!compensator.tareCompensatedWrench()) {
    return false;
  }

  const std::string missing = dir + "/no-such-payload.json";
  try {
    zelto::ZeltoPayloadCompensator broken(missing);
    std::fprintf(stderr, "a missing payload file did not throw\n");
    return false;
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()) != "Failed to open configuration file: " + missing) {
      std::fprintf(stderr, "unexpected message: %s\n", e.what());
      return false;
    }
  }
  return true;
}

// Estimator: construct from the configuration next to this program's sources, run a short
// estimation on a payload at rest (far too short to converge, so no file is written), check
// the return codes, and check that a missing configuration is reported by exception.
bool checkEstimator(const std::string& dir) {
  zelto::ZeltoPayloadEstimator estimator(dir + "/estimator_config.json");
  if (estimator.isEstimatorRunning() || estimator.isEstimationSuccessful()) {
    std::fprintf(stderr, "a new estimator is running or successful\n");
    return false;
  }
  std::array<double, 12> sample{0.0, 0.0, -9.81, 0.0, 0.0, 0.0, 0.0, 0.0, 9.81, 0.0, 0.0, 0.0};
  if (estimator.update(0.0, sample) != zelto::Ok) {  // idle: dropped
    return false;
  }
  if (!estimator.startPayloadEstimation() || !estimator.isEstimatorRunning()) {
    std::fprintf(stderr, "the estimation did not start\n");
    return false;
  }
  for (int k = 0; k < 20; ++k) {
    sample[9] = 0.1 * std::sin(0.05 * k);  // a slow roll
    const zelto::ZeltoControlReturnCode rc = estimator.update(0.001 * k, sample);
    if (rc != zelto::Ok) {
      std::fprintf(stderr, "estimator update %d returned %d\n", k, static_cast<int>(rc));
      return false;
    }
  }
  sample[0] = std::nan("");
  if (estimator.update(0.020, sample) != zelto::Error) {
    std::fprintf(stderr, "a non-finite sample was not refused\n");
    return false;
  }
  std::array<double, 12> noImu{1.0, 2.0, 3.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  try {
    estimator.update(0.021, noImu);
    std::fprintf(stderr, "a sample without IMU data did not throw\n");
    return false;
  } catch (const std::runtime_error&) {
  }
  if (!estimator.startPayloadEstimation() || estimator.isEstimatorRunning() ||
      estimator.isEstimationSuccessful()) {
    std::fprintf(stderr, "the estimation did not stop unsuccessfully\n");
    return false;
  }

  const std::string missing = dir + "/no-such-estimator-config.json";
  try {
    zelto::ZeltoPayloadEstimator broken(missing);
    std::fprintf(stderr, "a missing estimator configuration did not throw\n");
    return false;
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()) != "Failed to open configuration file: " + missing) {
      std::fprintf(stderr, "unexpected message: %s\n", e.what());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  static_assert(zelto::Ok == 0 && zelto::Pending == 1 && zelto::Error == 5,
                "return codes keep their numbers");
  static_assert(!std::is_copy_constructible<zelto::ZeltoPayloadEstimator>::value, "");
  static_assert(!std::is_copy_constructible<zelto::ZeltoPayloadCompensator>::value, "");
  std::puts("host built against the installed package");
  if (argc < 2) {
    std::fprintf(stderr, "usage: zelto_host <directory of payload.json>\n");
    return 1;
  }
  if (!checkCompensator(argv[1])) {
    return 1;
  }
  std::puts("compensator used through the installed package");
  if (!checkEstimator(argv[1])) {
    return 1;
  }
  std::puts("estimator used through the installed package");
  return 0;
}
