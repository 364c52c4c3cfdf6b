// zelto-noise-figures: the figures of the README's "Configuring for your sensor", measured on
// simulated recordings with known noise (build/bench/zelto-noise-figures [noise|estimate]; 15 s).
//   1. measureNoise against the true variances: still and moving, 100 Hz to 2 kHz, several
//      noise levels per channel, 10 and 30 s.
//   2. The estimate with the measured variances against the one with the true variances.
//   3. The estimate when every regressor variance (accelerometer, gyro, angular acceleration)
//      is 10 times too large or too small, for a 1 kg and a 5 kg tool.

#include <zelto/ZeltoPayloadEstimator.h>

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "EstimationReplay.h"
#include "NoiseEstimate.h"
#include "PayloadSimulator.h"

namespace {

using namespace zelto;
using tool::NoiseEstimate;

using Recording = sim::PayloadSimulator::Columns;

Recording simulate(const sim::Options& options, double seconds) {
  return sim::PayloadSimulator(options).generateColumns(seconds);
}

std::array<double, 12> trueVariances(const sim::Noise& n) {
  std::array<double, 12> v{};
  for (std::size_t j = 0; j < 3; ++j) {
    v[j] = n.force;
    v[3 + j] = n.torque;
    v[6 + j] = n.linearAcc;
    v[9 + j] = n.angularVel;
  }
  return v;
}

// Noise levels per channel: the typical sensor, and mixes of ten times more and less.
const sim::Noise kTypical{0.01, 1e-5, 1e-3, 1e-5};
const sim::Noise kLevels[] = {
    kTypical,
    {0.1, 1e-6, 1e-4, 1e-4},
    {0.001, 1e-4, 1e-2, 1e-6},
    {1e-4, 1e-7, 1e-5, 1e-7},  // a quiet sensor: motion shows most here
};

void noiseAccuracy() {
  std::printf(
      "1. Measured / true variance - 1 over the 12 channels, %zu noise levels x 4 seeds:\n"
      "   largest |error| (RMS error)\n",
      std::size(kLevels));
  struct Motion {
    const char* name;
    bool still;
    double intensity;
  };
  const Motion motions[] = {
      {"still poses", true, 1.0}, {"hand motion", false, 1.0}, {"twice the hand pace", false, 2.0}};
  std::printf("   %-22s", "motion");
  for (double rate : {100.0, 200.0, 500.0, 1000.0, 2000.0}) std::printf("  %13.0f Hz", rate);
  std::printf("\n");
  for (double seconds : {10.0, 30.0}) {
    for (const Motion& m : motions) {
      std::printf("   %-19s %2.0fs", m.name, seconds);
      for (double rate : {100.0, 200.0, 500.0, 1000.0, 2000.0}) {
        double worst = 0.0, sumSquares = 0.0;
        int n = 0;
        std::uint64_t seed = 100;
        for (const sim::Noise& level : kLevels) {
          for (int k = 0; k < 4; ++k) {
            sim::Options o;
            o.noise = level;
            o.motion.rate = rate;
            o.motion.staticPoses = m.still;
            o.motion.intensity = m.intensity;
            o.seed = ++seed;
            const Recording r = simulate(o, seconds);
            const NoiseEstimate e = tool::measureNoise(r.times, r.values);
            const std::array<double, 12> truth = trueVariances(level);
            for (std::size_t c = 0; c < 12; ++c) {
              const double error = e.variance[c] / truth[c] - 1.0;
              worst = std::max(worst, std::abs(error));
              sumSquares += error * error;
              ++n;
            }
          }
        }
        std::printf("  %+6.1f%% (%4.1f%%)", 100.0 * worst, 100.0 * std::sqrt(sumSquares / n));
      }
      std::printf("\n");
    }
  }
}

// --- 2 and 3: the estimate with measured, true and wrong variances ----------------------------

using Vector16 = std::array<double, 16>;

sim::Payload offCentreTool(double m) {
  const double s = std::cbrt(m), k = m * s * s / 0.2;  // size ∝ m^(1/3)
  return sim::Payload::fromCentroidal(
      m, Eigen::Vector3d(0.02 * s, -0.015 * s, 0.06 * s),
      {2.0e-4 * k, 1.0e-5 * m, -2.0e-5 * m, 2.4e-4 * k, 1.5e-5 * m, 1.1e-4 * k},
      Eigen::Vector3d(-0.7, 0.4, 0.9), Eigen::Vector3d(-0.03, 0.02, 0.015));
}

// Run limits that never end a replay: every sample is estimated, none held back.
constexpr double kRunLimit = 1e6;

// Configuration with the fifteen variances (force, torque, linear_acc, angular_vel,
// angular_acc; x, y, z each) and those run limits.
std::string writeConfig(const std::filesystem::path& dir, const std::array<double, 15>& v) {
  const char* names[5] = {"force", "torque", "linear_acc", "angular_vel", "angular_acc"};
  std::ostringstream s;
  s.precision(17);
  s << "{\"payload_estimator_config\": {\"output_config_file_name\": \"p.json\", "
    << "\"min_time\": " << kRunLimit << ", \"max_time\": " << kRunLimit
    << ", \"prior_payload_properties\": {\"mass\": 1.0, "
    << "\"com\": {\"x\": 0, \"y\": 0, \"z\": 0.05}, \"inertia\": {\"Ixx\": 0.001, \"Ixy\": 0, "
    << "\"Ixz\": 0, \"Iyy\": 0.001, \"Iyz\": 0, \"Izz\": 0.001}}, "
    << "\"measurement_noise_covariance\": {";
  for (int q = 0; q < 5; ++q) {
    s << (q ? ", " : "") << "\"" << names[q] << "\": {\"x\": " << v[3 * q]
      << ", \"y\": " << v[3 * q + 1] << ", \"z\": " << v[3 * q + 2] << "}";
  }
  s << "}, \"estimation_covariance_convergence_threshold\": {\"mass\": 0.01, \"com\": 0.001, "
    << "\"inertia\": 5e-4, \"wrench_bias\": 0.01}}}";
  const std::string path = (dir / "config.json").string();
  std::ofstream(path) << s.str();
  return path;
}

struct Outcome {
  double mass = 0, com = 0, inertia = 0, worstZ = 0;  // %, mm, %, max |error|/σ
};

Outcome estimateWith(const std::array<double, 15>& variances, const Recording& r,
                     const sim::Payload& p) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zelto-noise-figures";
  std::filesystem::create_directories(dir);
  const std::string config = writeConfig(dir, variances);
  std::cout.setstate(std::ios::failbit);  // the library's console lines
  Vector16 value{}, sd{};
  {
    ZeltoPayloadEstimator estimator(config);
    tool::ReplayOptions options;
    options.minTime = kRunLimit;
    options.maxTime = kRunLimit;
    const tool::ReplaySamples samples{r.times.size(), [&r](std::size_t i) { return r.times[i]; },
                                      [&r](std::size_t i) { return r.values[i]; }};
    tool::replayEstimation(estimator, samples, options);
    estimator.getEstimate(value, sd);
  }
  std::cout.clear();
  const std::array<double, 16> truth = {
      p.mass,          p.com.x(),        p.com.y(),        p.com.z(),
      p.inertia[0],    p.inertia[1],     p.inertia[2],     p.inertia[3],
      p.inertia[4],    p.inertia[5],     p.forceBias.x(),  p.forceBias.y(),
      p.forceBias.z(), p.torqueBias.x(), p.torqueBias.y(), p.torqueBias.z()};
  Outcome o;
  o.mass = 100.0 * std::abs(value[0] / truth[0] - 1.0);
  o.com = 1e3 * std::hypot(value[1] - truth[1], value[2] - truth[2], value[3] - truth[3]);
  double error = 0.0, norm = 0.0;
  for (std::size_t j = 4; j < 10; ++j) {
    const double weight = (j == 5 || j == 6 || j == 8) ? 2.0 : 1.0;  // off-diagonal twice
    error += weight * (value[j] - truth[j]) * (value[j] - truth[j]);
    norm += weight * truth[j] * truth[j];
  }
  o.inertia = 100.0 * std::sqrt(error / norm);
  for (std::size_t j = 0; j < 16; ++j) {
    o.worstZ = std::max(o.worstZ, std::abs(value[j] - truth[j]) / sd[j]);
  }
  return o;
}

std::array<double, 15> configured(const std::array<double, 12>& v, double factor) {
  std::array<double, 15> c{};
  std::copy(v.begin(), v.end(), c.begin());
  for (std::size_t j = 0; j < 3; ++j) c[12 + j] = v[9 + j] * factor;
  return c;
}

// RMS over the seeds of each figure of the outcome.
void printRow(const char* label, const std::vector<Outcome>& outcomes) {
  Outcome rms;
  for (const Outcome& o : outcomes) {
    rms.mass += o.mass * o.mass / outcomes.size();
    rms.com += o.com * o.com / outcomes.size();
    rms.inertia += o.inertia * o.inertia / outcomes.size();
    rms.worstZ += o.worstZ * o.worstZ / outcomes.size();
  }
  std::printf("   %-44s %9.3f %9.3f %10.2f %9.2f\n", label, std::sqrt(rms.mass), std::sqrt(rms.com),
              std::sqrt(rms.inertia), std::sqrt(rms.worstZ));
}

void estimateAccuracy() {
  constexpr int kSeeds = 4;
  constexpr double kSeconds = 30.0;
  std::printf(
      "\n2./3. Estimate after %.0f s of hand motion at 1 kHz, RMS over %d seeds: mass "
      "error %%, centre-of-mass\n   error mm, inertia error %% (||dJ||/||J||), largest "
      "|error|/sigma of the 16 parameters\n",
      kSeconds, kSeeds);
  for (double mass : {1.0, 5.0}) {
    for (std::size_t level = 0; level < 2; ++level) {
      const sim::Noise noise = kLevels[level];
      std::printf("   %.0f kg tool, noise (force, torque, acc, gyro) = (%g, %g, %g, %g)\n", mass,
                  noise.force, noise.torque, noise.linearAcc, noise.angularVel);
      std::printf("   %-44s %9s %9s %10s %9s\n", "variances configured", "mass %", "com mm",
                  "inertia %", "max z");
      const double factor = tool::noiseFactorOfAngularAcc(1000.0);
      std::vector<Outcome> truthRuns, measuredRuns, largeRuns, smallRuns;
      for (int k = 0; k < kSeeds; ++k) {
        sim::Options o;
        o.payload = offCentreTool(mass);
        o.noise = noise;
        o.seed = 500 + k;
        const Recording r = simulate(o, kSeconds);
        const std::array<double, 12> truth = trueVariances(noise);
        truthRuns.push_back(estimateWith(configured(truth, factor), r, o.payload));
        const NoiseEstimate e = tool::measureNoise(r.times, r.values);
        measuredRuns.push_back(estimateWith(tool::configuredVariances(e), r, o.payload));
        if (level != 0) continue;
        for (double scale : {10.0, 0.1}) {
          std::array<double, 15> wrong = configured(truth, factor);
          for (std::size_t j = 6; j < 15; ++j) wrong[j] *= scale;  // the regressors' variances
          (scale > 1.0 ? largeRuns : smallRuns).push_back(estimateWith(wrong, r, o.payload));
        }
      }
      printRow("true", truthRuns);
      printRow("measured from the recording", measuredRuns);
      if (level == 0) {
        printRow("acc, gyro, angular acc 10x too large", largeRuns);
        printRow("acc, gyro, angular acc 10x too small", smallRuns);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string part = argc > 1 ? argv[1] : "all";
  if (part == "all" || part == "noise") noiseAccuracy();
  if (part == "all" || part == "estimate") estimateAccuracy();
  return 0;
}
