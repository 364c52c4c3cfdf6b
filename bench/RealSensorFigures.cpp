// zelto-real-sensor-figures: the estimator on recordings that look like a real sensor's
// (build/bench/zelto-real-sensor-figures [seeds]). A robot turns a 0.93 kg tool 180° about
// sensor x in 6.3 s; wrench at 698 Hz with coloured, heavy-tailed noise, an accelerometer at
// 254 Hz with its own noise, quantisation and a 6.5 ms delay, angular velocity from the robot's
// 99 Hz orientation, both resampled onto the wrench clock as a user's converter would. Clean
// runs, runs with five ringing taps, runs with a contact; each with the sample configuration and
// with the variances `zelto-payload noise` measures on the recording. Every run is replayed as
// the tool replays it (the last sample held back until min_time), through the public interface.
// ZELTO_NOISE_FREE, ZELTO_NO_DELAY, ZELTO_NO_ACC_NOISE or ZELTO_NO_WRENCH_NOISE set in the
// environment take one property of the real sensor away, to see what each one costs;
// ZELTO_SHOW_RUN=k prints the console of the k-th run.

#include <zelto/ZeltoPayloadEstimator.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ConsistencyReport.h"
#include "EstimationReplay.h"
#include "HostHarness.h"
#include "ImuDelay.h"
#include "NoiseEstimate.h"
#include "PayloadFile.h"
#include "SensorRecording.h"

namespace {

using namespace zelto;

enum class Run { Clean, Taps, Contact };
const char* const kRunNames[] = {"clean", "taps", "contact"};

// The measured channels' 40 Hz shares (force against torque, see sim::StructureVibration) put
// the centre of mass near the sensor's z axis, about 44 mm out.
sim::Payload realTool() {
  return sim::Payload::fromCentroidal(
      0.93, Eigen::Vector3d(0.002, -0.001, 0.044), {1.4e-3, 0.0, 0.0, 1.6e-3, 0.0, 0.9e-3},
      Eigen::Vector3d(0.8, -0.5, 1.2), Eigen::Vector3d(0.03, -0.02, 0.01));
}

sim::Motion robotTurn() {
  sim::Motion m;
  m.robotTurn = true;
  m.turn.axis = 0;
  m.turn.moveTime = 6.3;
  m.turn.hold = 0.5;
  return m;
}

constexpr double kDuration = 7.3;  // hold, one turn, hold

sim::SensorProfile profileFor(Run run, std::uint64_t seed) {
  // One property of the real sensor at a time can be taken away, to see what each one costs.
  sim::SensorProfile p =
      std::getenv("ZELTO_NOISE_FREE") ? sim::SensorProfile::noiseFree() : sim::SensorProfile{};
  if (std::getenv("ZELTO_NO_DELAY")) p.accelerometer.delay = 0.0;
  if (std::getenv("ZELTO_NO_ACC_NOISE")) {
    for (sim::ChannelNoise& c : p.accelerometer.noise) c = sim::ChannelNoise{};
  }
  if (std::getenv("ZELTO_NO_WRENCH_NOISE")) {
    for (sim::ChannelNoise& c : p.wrench.noise) c = sim::ChannelNoise{};
  }
  if (run == Run::Taps) {
    p.wrench.disturbances = sim::randomTaps(seed, 5, 1.0, kDuration - 1.0);
  } else if (run == Run::Contact) {
    sim::Random r(seed, 40);
    const double start = r.uniform(1.5, 4.0);
    const double duration = r.uniform(0.5, 2.0);
    Eigen::Vector3d direction(r.gaussian(), r.gaussian(), r.gaussian());
    p.wrench.disturbances.push_back(sim::contact(start, duration,
                                                 r.uniform(5.0, 20.0) * direction.normalized(),
                                                 Eigen::Vector3d(0.0, 0.0, 0.08)));
  }
  return p;
}

struct Noise {
  std::array<double, 3> force, torque, linearAcc, angularVel, angularAcc;
  double imuDelay = 0.0;     // s; 0 leaves the key out
  bool unreachable = false;  // thresholds no run reaches: it goes on to the end
};

Noise sampleNoise() {
  Noise n;
  n.force.fill(0.01);
  n.torque.fill(1e-5);
  n.linearAcc.fill(1e-3);
  if (const char* a = std::getenv("ZELTO_ACC_VAR"))
    n.linearAcc = {std::atof(a), std::atof(a) / 7, std::atof(a) / 8};
  n.angularVel.fill(1e-5);
  n.angularAcc.fill(5.7e-3);
  return n;
}

// What `zelto-payload noise` measures, as a user copies it into the configuration: a channel
// it flags as resampled keeps the sample configuration's value, since its variance is not its
// noise (and the angular acceleration follows the angular velocity).
Noise measuredNoise(const sim::SensorStream<12>& recording) {
  const tool::NoiseEstimate e = tool::measureNoise(recording.times, recording.values);
  Noise n = sampleNoise();
  const auto take = [&e](std::size_t channel, double& value) {
    if (!e.resampled[channel]) value = e.variance[channel];
  };
  for (std::size_t j = 0; j < 3; ++j) {
    take(j, n.force[j]);
    take(3 + j, n.torque[j]);
    take(6 + j, n.linearAcc[j]);
    if (!e.resampled[9 + j]) {
      n.angularVel[j] = e.variance[9 + j];
      n.angularAcc[j] = e.angularAccVariance[j];
    }
  }
  return n;
}

std::string xyz(const std::array<double, 3>& v) {
  return "{\"x\": " + harness::jsonNumber(v[0]) + ", \"y\": " + harness::jsonNumber(v[1]) +
         ", \"z\": " + harness::jsonNumber(v[2]) + "}";
}

// Thresholds a user of this sensor would choose: its force noise is about 1 N rms and coloured,
// so 7 s cannot tell a force bias to 0.01 N, nor the inertia of one turn to 5e-4 kg m².
std::string config(const Noise& n, double comThreshold) {
  return R"({"payload_estimator_config": {
    "output_config_file_name": "payload.json", "min_time": 0.05, "max_time": 600,
    "prior_payload_properties": {"mass": 1.0, "com": {"x": 0, "y": 0, "z": 0.05},
      "inertia": {"Ixx": 0.001, "Ixy": 0, "Ixz": 0, "Iyy": 0.001, "Iyz": 0, "Izz": 0.001}},
    "measurement_noise_covariance": {"force": )" +
         xyz(n.force) + ", \"torque\": " + xyz(n.torque) + ", \"linear_acc\": " + xyz(n.linearAcc) +
         ", \"angular_vel\": " + xyz(n.angularVel) + ", \"angular_acc\": " + xyz(n.angularAcc) +
         R"(},
    "estimation_covariance_convergence_threshold": )" +
         (n.unreachable
              ? std::string(
                    R"({"mass": 1e-12, "com": 1e-12, "inertia": 1e-12, "wrench_bias": 1e-12})")
              : R"({"mass": 0.01, "com": )" + harness::jsonNumber(comThreshold) +
                    R"(, "inertia": 5e-3, "wrench_bias": 0.05})") +
         R"(,
    "runtime_verbosity": false, "output_bias_estimate": true)" +
         (n.imuDelay != 0.0 ? ", \"imu_delay\": " + harness::jsonNumber(n.imuDelay) : "") + "}}";
}

struct Outcome {
  bool written = false;
  bool checked = false;  // zelto-payload check accepts the written file
  bool gateOff = false;
  std::uint64_t episodes = 0;
  double rejectedShare = 0.0;
  double massError = 0.0;  // relative
  double comError = 0.0;   // m, norm
  double worstZ = 0.0;     // |error| / σ over mass and com axes
  std::array<double, 16> estimate{}, sd{};
};

Outcome replay(const sim::SensorRecording& recording, const Noise& noise, double comThreshold,
               int index) {
  const sim::SensorStream<12> r = recording.recording();
  const std::string dir = harness::scratchDirectory() + "/run" + std::to_string(index);
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/estimator.json";
  std::ofstream(path) << config(noise, comThreshold);
  std::ostringstream console;
  std::streambuf* previous = std::cout.rdbuf(console.rdbuf());
  Outcome o;
  {
    ZeltoPayloadEstimator estimator(path);
    tool::ReplaySamples samples;
    samples.size = r.times.size();
    samples.time = [&](std::size_t k) { return r.times[k]; };
    samples.values = [&](std::size_t k) { return r.values[k]; };
    tool::ReplayOptions options;
    options.minTime = 0.05;
    options.maxTime = 600;
    tool::replayEstimation(estimator, samples, options);
    o.written = estimator.isEstimationSuccessful();
    if (o.written) {
      const tool::PayloadFileContents file = tool::readPayloadFile(dir + "/payload.json");
      o.checked = tool::checkPhysicalConsistency(file.parameters, file.notIdentified).consistent;
    }
    estimator.getEstimate(o.estimate, o.sd);
    o.episodes = estimator.getContactEpisodeCount();
    const double count =
        static_cast<double>(estimator.getSampleCount() + estimator.getRejectedSampleCount());
    o.rejectedShare = count > 0 ? estimator.getRejectedSampleCount() / count : 0.0;
  }
  std::cout.rdbuf(previous);
  // ZELTO_SHOW_RUN=k prints the console of the k-th run (counting from 1, as the table lists).
  if (const char* show = std::getenv("ZELTO_SHOW_RUN"); show && std::atoi(show) == index) {
    std::cerr << console.str();
    for (std::size_t j = 0; j < 16; ++j) std::cerr << o.estimate[j] << " +- " << o.sd[j] << "\n";
  }
  o.gateOff = console.str().find("outlier gate and contact detection are off") != std::string::npos;
  const std::array<double, 16> truth = recording.fileOrder();
  o.massError = o.estimate[0] / truth[0] - 1.0;
  double com = 0.0;
  for (std::size_t j = 0; j < 4; ++j) {
    if (j > 0) com += std::pow(o.estimate[j] - truth[j], 2);
    o.worstZ = std::max(o.worstZ, std::abs(o.estimate[j] - truth[j]) / o.sd[j]);
  }
  o.comError = std::sqrt(com);
  return o;
}

}  // namespace

// 30 s of hand motion on the same sensor, 1 and 5 kg: the estimate at the end against the
// truth, all 16 parameters. Thresholds no run can reach keep every run going to the end.
void handMotionFigures(int seeds) {
  std::printf("\n%-8s %-8s %4s %9s %9s %s\n", "hand", "config", "seed", "rms e/s", "worst e/s",
              "worst parameter");
  const char* const names[] = {"m",   "cx",  "cy",  "cz",  "Ixx", "Ixy", "Ixz", "Iyy",
                               "Iyz", "Izz", "fbx", "fby", "fbz", "tbx", "tby", "tbz"};
  int index = 0;
  for (const double mass : {1.0, 5.0}) {
    const sim::Payload payload =
        mass == 1.0
            ? sim::Payload::fromCentroidal(1.0, Eigen::Vector3d(0.002, -0.001, 0.044),
                                           {1.5e-3, 0.0, 0.0, 1.7e-3, 0.0, 1.0e-3},
                                           Eigen::Vector3d(0.8, -0.5, 1.2),
                                           Eigen::Vector3d(0.03, -0.02, 0.01))
            : sim::Payload::fromCentroidal(
                  5.0, Eigen::Vector3d(0.01, 0.005, 0.06), {2e-2, 1e-3, 0.0, 2.5e-2, 0.0, 1.5e-2},
                  Eigen::Vector3d(0.8, -0.5, 1.2), Eigen::Vector3d(0.03, -0.02, 0.01));
    for (int s = 1; s <= seeds; ++s) {
      const std::uint64_t seed = 200 + static_cast<std::uint64_t>(s);
      const sim::SensorRecording recording(payload, sim::Motion{}, seed, 30.0,
                                           profileFor(Run::Clean, seed));
      const sim::SensorStream<12> r = recording.recording();
      for (int variant = 0; variant < 2; ++variant) {
        Noise noise = variant == 1 ? measuredNoise(r) : sampleNoise();
        noise.unreachable = true;
        const Outcome o = replay(recording, noise, 0.005, 1000 + ++index);
        const std::array<double, 16> truth = recording.fileOrder();
        double squares = 0.0, worst = 0.0;
        std::size_t worstAt = 0;
        for (std::size_t j = 0; j < 16; ++j) {
          const double z = std::abs(o.estimate[j] - truth[j]) / o.sd[j];
          squares += z * z;
          if (!(z <= worst)) {
            worst = z;
            worstAt = j;
          }
        }
        std::printf("%-8s %-8s %4llu %9.2f %9.2f %s\n", mass == 1.0 ? "1 kg" : "5 kg",
                    variant == 1 ? "noise" : "sample", static_cast<unsigned long long>(seed),
                    std::sqrt(squares / 16.0), worst, names[worstAt]);
      }
    }
  }
}

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 8;
  if (std::getenv("ZELTO_HAND_ONLY")) {
    handMotionFigures(std::max(1, seeds / 2));
    return 0;
  }
  std::printf("%-8s %-8s %4s %6s %7s %8s %8s %6s %7s %5s\n", "run", "config", "seed", "file",
              "gate", "contacts", "left out", "mass%", "com mm", "|e|/s");
  // file: "yes" written and accepted by zelto-payload check, "bad" written but refused.
  int index = 0;
  for (const Run run : {Run::Clean, Run::Taps, Run::Contact}) {
    for (int s = 1; s <= seeds; ++s) {
      const std::uint64_t seed = 100 + static_cast<std::uint64_t>(s);
      const sim::SensorRecording recording(realTool(), robotTurn(), seed, kDuration,
                                           profileFor(run, seed));
      const sim::SensorStream<12> r = recording.recording();
      const tool::DelayEstimate measuredDelay = tool::measureRecordingDelay(r.times, r.values);
      const double delay = measuredDelay.delay;
      if (std::getenv("ZELTO_SHOW_DELAY")) {
        std::fprintf(stderr,
                     "delay %+.2f ms, force rms %.3f -> %.3f N, torque rms %.4f -> %.4f N m\n",
                     1e3 * delay, measuredDelay.forceRmsAtZero, measuredDelay.forceRmsAtDelay,
                     measuredDelay.torqueRmsAtZero, measuredDelay.torqueRmsAtDelay);
      }
      for (int variant = 0; variant < 4; ++variant) {
        // sample, noise: the configuration as it comes; +delay: with the delay measured on the
        // recording in its imu_delay key.
        const bool measured = variant % 2 == 1;
        Noise noise = measured ? measuredNoise(r) : sampleNoise();
        if (variant >= 2) noise.imuDelay = std::clamp(delay, -0.025, 0.025);
        const Outcome o = replay(recording, noise, 0.005, ++index);
        const char* const names[] = {"sample", "noise", "sample+d", "noise+d"};
        std::printf("%-8s %-8s %4llu %6s %7s %8llu %7.2f%% %+6.2f %7.2f %5.1f\n",
                    kRunNames[static_cast<int>(run)], names[variant],
                    static_cast<unsigned long long>(seed),
                    o.written ? (o.checked ? "yes" : "bad") : "no", o.gateOff ? "off" : "on",
                    static_cast<unsigned long long>(o.episodes), 100.0 * o.rejectedShare,
                    100.0 * o.massError, 1000.0 * o.comError, o.worstZ);
      }
    }
  }
  handMotionFigures(std::max(1, seeds / 2));
  return 0;
}
