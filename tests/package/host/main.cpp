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
  return 0;
}
