// zelto-stream-figures: separate sensor streams through `zelto-payload import` and the estimator,
// and the compensator's "imu_delay" (build/bench/zelto-stream-figures [seeds] [seconds]
// [delay ms]; ZELTO_FIGURES=streams, robot or compensator runs that table alone; a delay runs
// the streams table at that delay alone; ZELTO_REAL_NOISE, see whiteProfile; ZELTO_NO_RATE
// estimates the imported recordings without their "measurement_noise_sample_rate").
//
// - streams: a 0.93 kg tool on a sensor whose wrench comes at 698 Hz, accelerometer at 254 Hz
//   in g in its own axes, orientation at 99 Hz, each on its own clock, the IMU delayed by −10,
//   0, 6.5 and 15 ms; hand motion and a robot's single-axis turn. The noise is white at the real
//   sensor's floors (its coloured part would make "the truth" of the noise block a matter of
//   definition). Per run: the delay found, the noise block against the true variances, and the
//   estimate of the imported recording with that block against those of two recordings made
//   directly at 698 Hz (wrench as measured, angular velocity exact as the orientation is, the
//   accelerometer with the same variance per sample or with the same noise density).
// - robot: a robot without an IMU: the orientation and the flange's position at 99 Hz, the
//   sensor 0.3 m off the turning joint's axis; the estimate with and without the position.
// - compensator: the true payload on noise-free hand motion at 1 kHz whose IMU lags 6.5 ms: the
//   rms of the compensated wrench (the bias removed; 0 is perfect) without and with
//   "imu_delay", and with the IMU on time for reference.

#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "EstimationReplay.h"
#include "HostHarness.h"
#include "NoiseEstimate.h"
#include "SensorRecording.h"
#include "StreamImport.h"

namespace {

using namespace zelto;
using Vec3 = Eigen::Vector3d;

constexpr double kRate = 698.0;  // the wrench's, Hz

sim::Payload tool() {
  return sim::Payload::fromCentroidal(0.93, Vec3(0.004, -0.006, 0.044),
                                      {1.4e-3, 0.0, 0.0, 1.6e-3, 0.0, 0.9e-3}, Vec3(0.8, -0.5, 1.2),
                                      Vec3(0.03, -0.02, 0.01));
}

sim::Motion motion(bool turn) {
  sim::Motion m;
  if (turn) {
    m.robotTurn = true;
    m.turn.axis = 0;
    m.turn.moveTime = 3.0;
    // A hold of 0.5 s at the start trips the estimator's contact gate: it starts judging after
    // 1 s on an estimate from a turn that has barely begun, and holds back over half the run.
    m.turn.hold = 0.2;
    m.turn.pivot = Vec3(0.0, 0.3, 0.0);  // a wrist joint 0.3 m off the sensor
  }
  return m;
}

// The real sensor's white floors, without its resonances and heavy tails; with
// ZELTO_REAL_NOISE set, all of the real sensor's noise (the delay and the estimates then carry
// its coloured part too; the noise block is still compared with the white floors).
sim::SensorProfile whiteProfile(double delay) {
  sim::SensorProfile p = sim::SensorProfile::noiseFree();
  sim::SensorProfile real;
  if (std::getenv("ZELTO_REAL_NOISE")) {
    real.accelerometer.delay = delay;
    return real;
  }
  for (std::size_t c = 0; c < 6; ++c) {
    p.wrench.noise[c].white = p.wrench.noise[c].total = real.wrench.noise[c].white;
  }
  for (std::size_t c = 0; c < 3; ++c) {
    p.accelerometer.noise[c].white = p.accelerometer.noise[c].total =
        real.accelerometer.noise[c].white;
  }
  p.accelerometer.quantum = real.accelerometer.quantum;
  p.accelerometer.delay = delay;  // the gyro's too
  return p;
}

std::string xyz(const double* v) {
  return "{\"x\": " + harness::jsonNumber(v[0]) + ", \"y\": " + harness::jsonNumber(v[1]) +
         ", \"z\": " + harness::jsonNumber(v[2]) + "}";
}

// Force, torque, linear_acc, angular_vel, angular_acc; thresholds of zero: the run lasts the
// whole recording.
std::string config(const std::array<double, 15>& n, const std::string& rates) {
  return R"({"payload_estimator_config": {
    "output_config_file_name": "payload.json", "min_time": 0.05, "max_time": 1e6,
    "prior_payload_properties": {"mass": 1.0, "com": {"x": 0, "y": 0, "z": 0.05},
      "inertia": {"Ixx": 0.001, "Ixy": 0, "Ixz": 0, "Iyy": 0.001, "Iyz": 0, "Izz": 0.001}},
    "measurement_noise_covariance": {"force": )" +
         xyz(&n[0]) + ", \"torque\": " + xyz(&n[3]) + ", \"linear_acc\": " + xyz(&n[6]) +
         ", \"angular_vel\": " + xyz(&n[9]) + ", \"angular_acc\": " + xyz(&n[12]) + "}" +
         (rates.empty() ? "" : ", \"measurement_noise_sample_rate\": " + rates) +
         R"(,
    "estimation_covariance_convergence_threshold": {"mass": 0, "com": 0, "inertia": 0,
      "wrench_bias": 0}}})";
}

struct Errors {
  double mass = 0.0;     // relative
  double com = 0.0;      // m, norm
  double inertia = 0.0;  // ‖ΔJ‖/‖J‖ about the sensor origin
};

Errors estimate(const std::vector<double>& times, const std::vector<std::array<double, 12>>& values,
                const std::array<double, 15>& noise, const sim::Payload& truth,
                const std::string& rates = "") {
  const std::string path = harness::writeScratchFile("estimator.json", config(noise, rates));
  std::array<double, 16> e{}, sd{};
  {
    harness::QuietCout quiet;
    ZeltoPayloadEstimator estimator(path);
    tool::ReplaySamples samples;
    samples.size = times.size();
    samples.time = [&](std::size_t k) { return times[k]; };
    samples.values = [&](std::size_t k) { return values[k]; };
    tool::ReplayOptions options;
    options.minTime = 0.05;
    options.maxTime = 1e6;
    tool::replayEstimation(estimator, samples, options);
    estimator.getEstimate(e, sd);
  }
  const std::array<double, 16> t = truth.fileOrder();
  Errors r;
  r.mass = e[0] / t[0] - 1.0;
  double com = 0.0, dj = 0.0, j = 0.0;
  for (std::size_t i = 1; i < 4; ++i) com += std::pow(e[i] - t[i], 2);
  for (std::size_t i = 4; i < 10; ++i) {
    const double weight = (i == 4 || i == 7 || i == 9) ? 1.0 : 2.0;  // off-diagonals twice
    dj += weight * std::pow(e[i] - t[i], 2);
    j += weight * t[i] * t[i];
  }
  r.com = std::sqrt(com);
  r.inertia = std::sqrt(dj / j);
  return r;
}

std::array<double, 15> measuredBlock(const std::vector<double>& times,
                                     const std::vector<std::array<double, 12>>& values) {
  const tool::NoiseEstimate e = tool::measureNoise(times, values);
  std::array<double, 15> n{};
  for (std::size_t i = 0; i < 12; ++i) n[i] = e.variance[i];
  for (std::size_t i = 0; i < 3; ++i) n[12 + i] = e.angularAccVariance[i];
  return n;
}

struct Rms {
  double sum = 0.0;
  int count = 0;
  void add(double x) {
    sum += x * x;
    ++count;
  }
  double value() const { return count ? std::sqrt(sum / count) : 0.0; }
};

tool::ImportOptions importOptions(const std::string& dir, bool accelerometer, bool position) {
  tool::ImportOptions o;
  const auto source = [&](tool::StreamSource& s, const std::string& name) {
    s.path = dir + "/" + name;
    s.timeScale = 1e-6;
  };
  source(o.wrench, "wrench.csv");
  source(o.orientation, "pose.csv");
  if (accelerometer) {
    source(o.accelerometer, "accel.csv");
    o.accelerometer.axes = tool::AxisMapping::parse("-y,z,-x");
    o.accelerometerUnit = tool::AccelerationUnit::StandardGravity;
  }
  if (position) source(o.position, "position.csv");
  o.measureNoiseBlock = true;
  return o;
}

void writeStreams(const sim::SensorRecording& r, const std::string& dir) {
  sim::StreamFormat f;
  f.time = sim::TimeUnit::Microseconds;
  r.writeCsv(sim::SensorRecording::Stream::Wrench, dir + "/wrench.csv", f);
  r.writeCsv(sim::SensorRecording::Stream::Orientation, dir + "/pose.csv", f);
  r.writeCsv(sim::SensorRecording::Stream::Position, dir + "/position.csv", f);
  f.accelerometerInG = true;
  f.imuAxes = true;
  r.writeCsv(sim::SensorRecording::Stream::Accelerometer, dir + "/accel.csv", f);
}

// The recording a sensor with every channel at the wrench's rate would give: the wrench as
// measured; the specific force at the wrench's stamps, not delayed, with white noise of
// `accScale` times the accelerometer's variance per sample; the angular velocity exact, as the
// orientation it replaces is.
void directRecording(const sim::SensorRecording& r, std::uint64_t seed, double accScale,
                     std::vector<double>& times, std::vector<std::array<double, 12>>& values) {
  sim::Random random(seed, 30);
  const sim::SensorStream<6>& w = r.wrench();
  for (std::size_t k = 0; k < w.times.size(); ++k) {
    const sim::TrueState s = r.stateAt(w.times[k]);
    std::array<double, 12> v{};
    for (std::size_t c = 0; c < 6; ++c) v[c] = w.values[k][c];
    for (std::size_t c = 0; c < 3; ++c) {
      const double sigma = std::sqrt(accScale * r.profile().accelerometer.noise[c].white);
      v[6 + c] = s.linearAcceleration[static_cast<Eigen::Index>(c)] + sigma * random.gaussian();
      v[9 + c] = s.angularVelocity[static_cast<Eigen::Index>(c)];
    }
    times.push_back(w.times[k]);
    values.push_back(v);
  }
}

Errors estimateDirect(const sim::SensorRecording& r, std::uint64_t seed, double accScale) {
  std::vector<double> times;
  std::vector<std::array<double, 12>> values;
  directRecording(r, seed, accScale, times, values);
  return estimate(times, values, measuredBlock(times, values), r.payload());
}

// Errors of the imported recording and of the two direct ones: the accelerometer at 698 Hz with
// the same variance per sample (more information than the 254 Hz stream has), and with the same
// noise density (variance × 698/254: the information of the 254 Hz stream).
struct Comparison {
  Rms mass[3], com[3], inertia[3];
  void add(int i, const Errors& e) {
    mass[i].add(e.mass);
    com[i].add(e.com);
    inertia[i].add(e.inertia);
  }
};

void separateStreams(int seeds, double seconds, const std::vector<double>& delays) {
  std::printf(
      "Separate streams: wrench 698 Hz, accelerometer 254 Hz (g, own axes), orientation 99 Hz;"
      " white noise; %.0f s. Errors: imported / direct, same variance / direct, same density\n",
      seconds);
  std::printf("%-6s %7s %4s %9s %8s %26s %26s %26s\n", "motion", "delay", "seed", "found ms",
              "worst %", "mass %", "com mm", "inertia %");
  const std::string dir = harness::scratchDirectory();
  const double density = kRate / whiteProfile(0.0).accelerometer.rate;
  for (const bool turn : {false, true}) {
    for (const double delay : delays) {
      Comparison c;
      double worstDelay = 0.0, worstNoise = 0.0, gyroVariance = 0.0;
      for (int s = 1; s <= seeds; ++s) {
        const std::uint64_t seed = 200 + static_cast<std::uint64_t>(s);
        const sim::SensorRecording r(tool(), motion(turn), seed, seconds, whiteProfile(delay));
        writeStreams(r, dir);
        const tool::ImportResult imported = tool::importStreams(importOptions(dir, true, false));
        const double found = imported.report.delay;
        // The true white variances: wrench and accelerometer at their own rates; the angular
        // velocity and its derivative come from an exact orientation.
        double worst = 0.0;
        for (std::size_t k = 0; k < 9; ++k) {
          const double truth = k < 6 ? r.profile().wrench.noise[k].white
                                     : r.profile().accelerometer.noise[k - 6].white;
          worst = std::max(worst, std::abs((*imported.noise)[k] / truth - 1.0));
        }
        for (std::size_t k = 9; k < 12; ++k) {
          gyroVariance = std::max(gyroVariance, (*imported.noise)[k]);
        }
        std::vector<double> times;
        std::vector<std::array<double, 12>> values;
        for (const tool::RecordedSample& row : imported.samples) {
          times.push_back(row.time);
          values.push_back(row.values);
        }
        const Errors e[3] = {estimate(times, values, *imported.noise, r.payload(),
                                      std::getenv("ZELTO_NO_RATE") ? "" : imported.noiseRateBlock),
                             estimateDirect(r, seed, 1.0), estimateDirect(r, seed, density)};
        std::printf(
            "%-6s %+7.1f %4llu %+9.2f %8.1f %+8.3f %+8.3f %+8.3f %8.3f %8.3f %8.3f %8.2f %8.2f "
            "%8.2f\n",
            turn ? "turn" : "hand", 1e3 * delay, static_cast<unsigned long long>(seed), 1e3 * found,
            100.0 * worst, 100.0 * e[0].mass, 100.0 * e[1].mass, 100.0 * e[2].mass, 1e3 * e[0].com,
            1e3 * e[1].com, 1e3 * e[2].com, 100.0 * e[0].inertia, 100.0 * e[1].inertia,
            100.0 * e[2].inertia);
        std::fflush(stdout);
        worstDelay = std::max(worstDelay, std::abs(found - delay));
        worstNoise = std::max(worstNoise, worst);
        for (int i = 0; i < 3; ++i) c.add(i, e[i]);
      }
      const auto ratios = [](const Rms* r, double unit) {
        char text[128];
        std::snprintf(text, sizeof text, "%.3g / %.3g / %.3g (%.2f x, %.2f x)", unit * r[0].value(),
                      unit * r[1].value(), unit * r[2].value(), r[0].value() / r[1].value(),
                      r[0].value() / r[2].value());
        return std::string(text);
      };
      std::printf(
          "  => %s, %+.1f ms: delay off by %.2f ms at most; noise block off by %.1f %% at most "
          "(angular_vel, truly 0: %.2g at most); rms errors: mass %s %%, com %s mm, inertia %s "
          "%%\n",
          turn ? "turn" : "hand", 1e3 * delay, 1e3 * worstDelay, 100.0 * worstNoise, gyroVariance,
          ratios(c.mass, 100.0).c_str(), ratios(c.com, 1e3).c_str(),
          ratios(c.inertia, 100.0).c_str());
    }
  }
}

void robotWithoutImu(int seeds, double seconds) {
  std::printf(
      "\nRobot without an IMU: orientation and position at 99 Hz, sensor 0.3 m off the joint, "
      "white wrench noise; %.0f s\n",
      seconds);
  std::printf("%-16s %4s %8s %8s\n", "streams", "seed", "mass %", "com mm");
  const std::string dir = harness::scratchDirectory();
  for (const bool position : {true, false}) {
    Rms mass, com;
    for (int s = 1; s <= seeds; ++s) {
      const std::uint64_t seed = 300 + static_cast<std::uint64_t>(s);
      const sim::SensorRecording r(tool(), motion(true), seed, seconds, whiteProfile(0.0));
      writeStreams(r, dir);
      const tool::ImportResult imported = tool::importStreams(importOptions(dir, false, position));
      std::vector<double> times;
      std::vector<std::array<double, 12>> values;
      for (const tool::RecordedSample& row : imported.samples) {
        times.push_back(row.time);
        values.push_back(row.values);
      }
      const Errors e = estimate(times, values, *imported.noise, r.payload());
      std::printf("%-16s %4llu %+8.3f %8.3f\n", position ? "with position" : "orientation only",
                  static_cast<unsigned long long>(seed), 100.0 * e.mass, 1e3 * e.com);
      std::fflush(stdout);
      mass.add(e.mass);
      com.add(e.com);
    }
    std::printf("  => %s: rms mass error %.3f %%, com error %.3f mm\n",
                position ? "with position" : "orientation only", 100.0 * mass.value(),
                1e3 * com.value());
  }
}

std::string payloadFile(const sim::Payload& p, bool dynamic, double delay) {
  const std::array<double, 16> v = p.fileOrder();
  std::string text = R"({"payload_compensator_config": {"payload_properties": {"mass": )" +
                     harness::jsonNumber(v[0]) + R"(, "com": )" + xyz(&v[1]) +
                     R"(, "inertia": {"Ixx": )" + harness::jsonNumber(v[4]) + R"(, "Ixy": )" +
                     harness::jsonNumber(v[5]) + R"(, "Ixz": )" + harness::jsonNumber(v[6]) +
                     R"(, "Iyy": )" + harness::jsonNumber(v[7]) + R"(, "Iyz": )" +
                     harness::jsonNumber(v[8]) + R"(, "Izz": )" + harness::jsonNumber(v[9]) +
                     R"(}}, "enable_dynamic_compensation": )" + (dynamic ? "true" : "false");
  if (delay != 0.0) text += ", \"imu_delay\": " + harness::jsonNumber(delay);
  return text + "}}";
}

void compensation() {
  constexpr double kDelay = 0.0065;
  std::printf(
      "\nCompensator, true payload, noise-free motion at 1 kHz, IMU 6.5 ms late: rms of the "
      "compensated wrench minus the bias after the first second (the payload's inertial wrench "
      "that the compensation leaves)\n");
  std::printf("%-14s %-8s %-18s %12s %12s\n", "motion", "mode", "imu_delay", "force N",
              "torque N*m");
  for (const double intensity : {1.0, 2.0}) {
    sim::Options options;
    options.payload = tool();
    options.motion.intensity = intensity;
    options.seed = 5;
    const std::vector<sim::SimSample> samples = sim::PayloadSimulator(options).generate(30.0);
    const std::size_t lag = static_cast<std::size_t>(std::lround(kDelay * 1000.0));
    for (const bool dynamic : {false, true}) {
      for (const double delay : {-1.0, 0.0, kDelay}) {  // −1: the IMU on time, for reference
        const std::size_t late = delay < 0.0 ? 0 : lag;
        const std::string path = harness::writeScratchFile(
            "payload.json", payloadFile(options.payload, dynamic, std::max(delay, 0.0)));
        Rms force, torque;
        {
          harness::QuietCout quiet;
          ZeltoPayloadCompensator compensator(path);
          for (std::size_t k = lag; k < samples.size(); ++k) {
            // The IMU's values stamped t are those of t − 6.5 ms (or of t).
            std::array<double, 12> in = samples[k].values;
            std::copy(samples[k - late].values.begin() + 6, samples[k - late].values.end(),
                      in.begin() + 6);
            std::array<double, 12> out{};
            if (compensator.update(samples[k].time, in, out) != Ok || samples[k].time < 1.0) {
              continue;
            }
            for (std::size_t c = 0; c < 3; ++c) {
              force.add(out[c] - options.payload.forceBias[static_cast<Eigen::Index>(c)]);
              torque.add(out[3 + c] - options.payload.torqueBias[static_cast<Eigen::Index>(c)]);
            }
          }
        }
        std::printf("%-14s %-8s %-18s %12.4f %12.5f\n", intensity > 1.0 ? "brisk hand" : "hand",
                    dynamic ? "dynamic" : "static",
                    delay < 0.0   ? "(IMU on time)"
                    : delay > 0.0 ? "0.0065"
                                  : "absent",
                    force.value(), torque.value());
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 3;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 30.0;
  const char* only = std::getenv("ZELTO_FIGURES");
  const auto wanted = [&](const char* table) { return !only || std::string(only) == table; };
  if (wanted("compensator")) compensation();
  std::vector<double> delays = {-0.010, 0.0, 0.0065, 0.015};
  if (argc > 3) delays = {1e-3 * std::atof(argv[3])};
  if (wanted("streams")) separateStreams(seeds, seconds, delays);
  if (wanted("robot")) robotWithoutImu(seeds, seconds);
  return 0;
}
