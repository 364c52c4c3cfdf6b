// A host application that knows the libraries only through their installed package.
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
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
  // The read-out: the payload from the file, and after a tare the bias it subtracts, which
  // for a payload at rest is the compensated wrench just before the tare.
  if (compensator.getPayloadParameters()[0] != 1.25 || compensator.isDynamicCompensation()) {
    std::fprintf(stderr, "the compensator reads back another payload than its file's\n");
    return false;
  }
  const std::array<double, 12> beforeTare = output;
  if (!compensator.tareCompensatedWrench()) {
    return false;
  }
  int k = 10;
  while (compensator.update(0.001 * k, input, output) == zelto::Pending && k < 2000) {
    ++k;  // the tare waits for half a second of data
  }
  const std::array<double, 6> tare = compensator.getTareBias();
  for (std::size_t j = 0; j < 6; ++j) {
    if (std::abs(tare[j] - beforeTare[j]) > 1e-9 || std::abs(output[j]) > 1e-9) {
      std::fprintf(stderr, "tare bias %zu is %g, expected %g (output %g)\n", j, tare[j],
                   beforeTare[j], output[j]);
      return false;
    }
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

// A rigid body turned by hand about the sensor origin: the sensor reads its specific force
// a = Rᵀ·g and, by Newton–Euler about the origin with h = m·c and J the inertia there,
//   f = f_bias − m·a − (α×h + ω×(ω×h)),   τ = τ_bias + a×h − (J·α + ω×(J·ω)).
struct Vec {
  double x, y, z;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
Vec cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The estimate is read every simulated second while the run goes on, as a progress display
// would: its standard deviations must shrink and it must approach the truth.
bool checkReadOut(const std::string& dir) {
  zelto::ZeltoPayloadEstimator estimator(dir + "/estimator_config.json");
  std::array<double, 16> estimate{}, sd{};
  if (estimator.getEstimate(estimate, sd) || !std::isnan(estimate[0]) ||
      estimator.getSampleCount() != 0) {
    std::fprintf(stderr, "an estimator without a run has an estimate\n");
    return false;
  }
  const double m = 1.25;
  const Vec h = m * Vec{0.001, -0.0023, 0.0451};
  const double J[3][3] = {{0.0031, 1.2e-5, -4e-5}, {1.2e-5, 0.0029, 2e-6}, {-4e-5, 2e-6, 0.0012}};
  const auto inertia = [&J](Vec v) {
    return Vec{J[0][0] * v.x + J[0][1] * v.y + J[0][2] * v.z,
               J[1][0] * v.x + J[1][1] * v.y + J[1][2] * v.z,
               J[2][0] * v.x + J[2][1] * v.y + J[2][2] * v.z};
  };
  const Vec forceBias{0.53, -1.2, 3.4}, torqueBias{0.012, -0.004, 0.0009};
  double R[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // sensor to world

  estimator.startPayloadEstimation();
  const double dt = 0.001;
  double firstSd = 0.0, firstError = 0.0;
  for (int k = 0; k <= 20000; ++k) {
    const double t = k * dt;
    const Vec w{0.9 * std::sin(1.1 * t), 0.8 * std::sin(0.9 * t + 1.0),
                0.7 * std::sin(1.3 * t + 2.0)};
    const Vec alpha{0.99 * std::cos(1.1 * t), 0.72 * std::cos(0.9 * t + 1.0),
                    0.91 * std::cos(1.3 * t + 2.0)};
    const Vec a{9.81 * R[2][0], 9.81 * R[2][1], 9.81 * R[2][2]};  // Rᵀ·(0, 0, g)
    const Vec f = forceBias - m * a - (cross(alpha, h) + cross(w, cross(w, h)));
    const Vec tau = torqueBias + cross(a, h) - (inertia(alpha) + cross(w, inertia(w)));
    const std::array<double, 12> sample{f.x, f.y, f.z, tau.x, tau.y, tau.z,
                                        a.x, a.y, a.z, w.x,   w.y,   w.z};
    if (estimator.update(t, sample) != zelto::Ok) return false;
    // R ← R·exp([ω·dt]×), Rodrigues' formula.
    const double angle = dt * std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
    const Vec u = (dt / angle) * w;
    const double K[3][3] = {{0, -u.z, u.y}, {u.z, 0, -u.x}, {-u.y, u.x, 0}};
    double step[3][3], next[3][3];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        double kk = 0.0;
        for (int l = 0; l < 3; ++l) kk += K[i][l] * K[l][j];
        step[i][j] = (i == j ? 1.0 : 0.0) + std::sin(angle) * K[i][j] + (1 - std::cos(angle)) * kk;
      }
    }
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        next[i][j] = R[i][0] * step[0][j] + R[i][1] * step[1][j] + R[i][2] * step[2][j];
      }
    }
    std::memcpy(R, next, sizeof R);

    if (k % 1000 == 0 && k > 0 && estimator.getEstimate(estimate, sd) && firstSd == 0.0) {
      firstSd = sd[0];
      firstError = std::abs(estimate[0] - m);
    }
  }
  if (!estimator.isEstimatorRunning() || estimator.getRunTime() <= 0.0 ||
      estimator.getSampleCount() < 19000 || !estimator.getEstimate(estimate, sd)) {
    std::fprintf(stderr, "the run state or the sample count is wrong\n");
    return false;
  }
  const double error = std::abs(estimate[0] - m);
  std::printf("mass %.5f kg (sigma %.2e), at the first defined read-out %.2e off (sigma %.2e)\n",
              estimate[0], sd[0], firstError, firstSd);
  if (!(firstSd > 0.0) || !(sd[0] < 0.5 * firstSd) || !(error < 0.01) || !(error < firstError) ||
      std::abs(estimate[3] - 0.0451) > 1e-3) {
    std::fprintf(stderr, "the read-out did not settle on the payload\n");
    return false;
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
  if (!checkReadOut(argv[1])) {
    return 1;
  }
  std::puts("estimate read while the run goes on");
  return 0;
}
