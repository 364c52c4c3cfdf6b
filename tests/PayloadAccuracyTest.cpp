// Accuracy of the two libraries together, through their public interfaces only, on simulated
// recordings of payloads from 0.2 to 5 kg: what the estimator identifies from 60 s of hand
// motion, whether its reported standard deviations describe its scatter over sensor noise,
// and how much of the payload's wrench the compensator then removes.
//
// Getting the estimate of a whole 60 s recording out of the public interface: the estimator
// publishes an estimate only when a run converges, and it accepts convergence only after its
// minimum run time has passed on the steady clock. Each recording is therefore fed as fast as
// the estimator takes it, all but its last sample, inside a minimum run time planned to be
// longer than that; after the minimum run time the last sample is handed over, the run
// converges on it and the payload parameter file and the report hold the estimate of the
// whole recording. The report is the only place with the standard deviations; it is read
// from standard output.

#include <gtest/gtest.h>
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CsvRecording.h"
#include "EstimatorTestSupport.h"
#include "PayloadFile.h"
#include "PayloadSimulator.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using Clock = std::chrono::steady_clock;
using tool::RecordedSample;
using Recording = std::vector<RecordedSample>;

// The sensor noise of the simulated recordings (variances), the one the configuration assumes.
const sim::Noise kSensorNoise{0.01, 1e-5, 1e-3, 1e-5};

// Motion of the estimation recordings: calm hand motion, 0.6 of the simulator's nominal hand
// pace (the figure through all attitudes then takes 20–27 s). The estimator derives the
// angular acceleration with a 0.1 s exponential filter; the lag of that filter leaves a
// deterministic error that grows with the pace and depends on the motion drawn: from 0.8 of
// the nominal pace on, some motions put the centre of mass of the 5 kg tools 0.55–0.65 mm and
// their force bias up to 7.5 mN off, past the accuracy asked for here. The residual-variance
// scale then also absorbs the lag error, so the reported standard deviations grow beyond the
// scatter that the noise causes.
constexpr double kEstimationPace = 0.6;
constexpr double kRecordingSeconds = 60.0;

struct Published {
  std::array<double, 16> value{};  // payload parameter file: mass, com, inertia, biases
  std::array<double, 16> sd{};     // report
};

struct Case {
  const char* name;
  sim::Payload payload;
  std::uint64_t seed;
};

// Tools scaled with their mass (size ∝ m^(1/3)), centred on the flange axis or off it.
std::vector<Case> payloadCases() {
  std::vector<Case> cases;
  std::uint64_t seed = 101;
  for (double m : {0.2, 1.0, 5.0}) {
    const double s = std::cbrt(m);
    const double k = m * s * s / 0.2;  // inertia scale
    cases.push_back({nullptr,
                     sim::Payload::fromCentroidal(
                         m, Eigen::Vector3d(0.0, 0.0, 0.03 * s),
                         {2.0e-4 * k, 0.0, 0.0, 2.2e-4 * k, 0.0, 1.2e-4 * k},
                         Eigen::Vector3d(0.5, -0.3, 1.0), Eigen::Vector3d(0.02, -0.01, 0.03)),
                     seed++});
    cases.push_back({nullptr,
                     sim::Payload::fromCentroidal(
                         m, Eigen::Vector3d(0.02 * s, -0.015 * s, 0.06 * s),
                         {2.0e-4 * k, 1.0e-5 * m, -2.0e-5 * m, 2.4e-4 * k, 1.5e-5 * m, 1.1e-4 * k},
                         Eigen::Vector3d(-0.7, 0.4, 0.9), Eigen::Vector3d(-0.03, 0.02, 0.015)),
                     seed++});
  }
  const char* names[] = {"0.2 kg centred",  "0.2 kg off-centre", "1 kg centred",
                         "1 kg off-centre", "5 kg centred",      "5 kg off-centre"};
  for (std::size_t i = 0; i < cases.size(); ++i) cases[i].name = names[i];
  return cases;
}

std::array<double, 16> truthVector(const sim::Payload& p) {
  return {p.mass,          p.com.x(),        p.com.y(),        p.com.z(),
          p.inertia[0],    p.inertia[1],     p.inertia[2],     p.inertia[3],
          p.inertia[4],    p.inertia[5],     p.forceBias.x(),  p.forceBias.y(),
          p.forceBias.z(), p.torqueBias.x(), p.torqueBias.y(), p.torqueBias.z()};
}

Recording simulate(const sim::Payload& payload, const sim::Noise& noise, double pace,
                   bool staticPoses, std::uint64_t seed, double seconds) {
  sim::Options options;
  options.payload = payload;
  options.noise = noise;
  options.motion.intensity = pace;
  options.motion.staticPoses = staticPoses;
  options.seed = seed;
  sim::PayloadSimulator simulator(options);
  Recording recording;
  recording.reserve(static_cast<std::size_t>(seconds * options.motion.rate) + 1);
  for (const sim::SimSample& s : simulator.generate(seconds)) {
    RecordedSample r;
    r.time = s.time;
    r.values = s.values;
    recording.push_back(r);
  }
  return recording;
}

std::string configFor(double minTime, const std::string& output) {
  test::ConfigValues values;
  values.minTime = minTime;
  values.maxTime = 1e6;
  values.outputFileName = output;
  values.outputBiasEstimate = true;
  return test::configText(values);
}

// Seconds one update() takes here (build type, sanitizers and machine load all change it).
double secondsPerUpdate(const test::TempDir& dir, const Recording& recording) {
  test::CoutCapture quiet;
  ZeltoPayloadEstimator estimator(dir.write("calibration.json", configFor(1e6, "unused.json")));
  estimator.startPayloadEstimation();
  const std::size_t n = std::min<std::size_t>(recording.size(), 3000);
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < n; ++i) estimator.update(recording[i].time, recording[i].values);
  return std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(n);
}

// The estimate of each whole recording, through the public interface (see the file comment).
std::vector<Published> estimateWholeRecordings(const std::vector<Recording>& recordings) {
  test::TempDir dir;
  std::size_t updates = 0;
  for (const Recording& r : recordings) updates += r.size();
  // Half as long again as the replay should take: room for a busy machine, little idle time.
  double minTime = std::max(1.0, 1.5 * secondsPerUpdate(dir, recordings.front()) * updates + 0.5);

  std::vector<Published> published(recordings.size());
  std::vector<std::size_t> pending(recordings.size());
  for (std::size_t k = 0; k < pending.size(); ++k) pending[k] = k;
  for (int attempt = 0; attempt < 3 && !pending.empty(); ++attempt, minTime *= 3.0) {
    test::CoutCapture console;
    std::vector<std::unique_ptr<ZeltoPayloadEstimator>> estimators;
    std::vector<Clock::time_point> started;
    const auto id = [attempt](std::size_t k) {
      return std::to_string(attempt) + "-" + std::to_string(k);
    };
    for (std::size_t k : pending) {
      estimators.push_back(std::make_unique<ZeltoPayloadEstimator>(dir.write(
          "config-" + id(k) + ".json", configFor(minTime, "payload-" + id(k) + ".json"))));
    }
    for (auto& e : estimators) {
      e->startPayloadEstimation();
      started.push_back(Clock::now());
    }
    for (std::size_t n = 0; n < pending.size(); ++n) {
      const Recording& r = recordings[pending[n]];
      for (std::size_t i = 0; i + 1 < r.size(); ++i) estimators[n]->update(r[i].time, r[i].values);
    }

    std::vector<std::size_t> early;
    for (std::size_t n = 0; n < pending.size(); ++n) {
      const std::size_t k = pending[n];
      if (!estimators[n]->isEstimatorRunning()) {
        early.push_back(k);  // the replay outlasted the planned minimum run time
        continue;
      }
      std::this_thread::sleep_until(started[n] +
                                    std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(minTime + 0.05)));
      estimators[n]->update(recordings[k].back().time, recordings[k].back().values);
      EXPECT_FALSE(estimators[n]->isEstimatorRunning());
      EXPECT_TRUE(estimators[n]->isEstimationSuccessful());
      std::array<double, 16> estimate{}, sd{};
      if (!estimators[n]->getEstimate(estimate, sd)) {
        ADD_FAILURE() << "no defined estimate for recording " << k;
        return {};
      }
      const tool::PayloadFileContents file =
          tool::readPayloadFile(dir.file("payload-" + id(k) + ".json"));
      Published& p = published[k];
      p.value[0] = file.parameters.mass;
      for (std::size_t j = 0; j < 3; ++j) p.value[1 + j] = file.parameters.com[j];
      for (std::size_t j = 0; j < 6; ++j) p.value[4 + j] = file.parameters.inertia[j];
      for (std::size_t j = 0; j < 6; ++j) p.value[10 + j] = (*file.bias)[j];
      p.sd = sd;
    }
    if (!early.empty()) {
      std::printf("%zu of %zu replays outlasted a minimum run time of %.1f s; again with %.1f s\n",
                  early.size(), pending.size(), minTime, 3.0 * minTime);
    }
    pending = early;
  }
  if (!pending.empty()) {
    ADD_FAILURE() << "the replay never fitted into the planned minimum run time";
    return {};
  }
  return published;
}

// Frobenius norm of the symmetric tensor given by its six entries.
double tensorNorm(const std::array<double, 16>& v, std::size_t first = 4) {
  double sum = 0.0;
  for (std::size_t j = 0; j < 6; ++j) {
    const double weight = (j == 1 || j == 2 || j == 4) ? 2.0 : 1.0;  // off-diagonal twice
    sum += weight * v[first + j] * v[first + j];
  }
  return std::sqrt(sum);
}

// Fraction of the payload's wrench RMS that compensation removes: the payload's wrench is what
// the sensor reads minus its bias, the residual is the compensator's output minus that bias
// (the compensator removes the payload, not the sensor's bias). Force and torque separately.
struct Removal {
  double force = 0.0;
  double torque = 0.0;
};

Removal compensate(const std::string& payloadFile, bool dynamic, const Recording& recording,
                   const sim::Payload& truth) {
  const std::string modePath = payloadFile + (dynamic ? ".dynamic.json" : ".static.json");
  tool::writeWithCompensationMode(payloadFile, modePath, dynamic);
  test::CoutCapture quiet;
  ZeltoPayloadCompensator compensator(modePath);
  double payloadForce = 0.0, residualForce = 0.0, payloadTorque = 0.0, residualTorque = 0.0;
  std::array<double, 12> out{};
  for (const RecordedSample& s : recording) {
    if (compensator.update(s.time, s.values, out) != Ok) continue;
    for (int j = 0; j < 3; ++j) {
      const double fb = truth.forceBias[j], tb = truth.torqueBias[j];
      const std::size_t f = static_cast<std::size_t>(j), t = f + 3;
      payloadForce += (s.values[f] - fb) * (s.values[f] - fb);
      residualForce += (out[f] - fb) * (out[f] - fb);
      payloadTorque += (s.values[t] - tb) * (s.values[t] - tb);
      residualTorque += (out[t] - tb) * (out[t] - tb);
    }
  }
  return {1.0 - std::sqrt(residualForce / payloadForce),
          1.0 - std::sqrt(residualTorque / payloadTorque)};
}

void expectStatedAccuracy(const std::vector<Case>& cases, const std::vector<Published>& estimates) {
  std::printf("%-18s %9s %9s %9s %9s %9s\n", "payload", "mass %", "com mm", "inertia %", "Fb mN",
              "Tb mN*m");
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    const std::array<double, 16> truth = truthVector(c.payload);
    const Published& e = estimates[k];
    std::array<double, 16> error{};
    for (std::size_t j = 0; j < 16; ++j) error[j] = e.value[j] - truth[j];

    double comError = 0.0, forceBiasError = 0.0, torqueBiasError = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
      comError = std::max(comError, std::abs(error[1 + j]));
      forceBiasError = std::max(forceBiasError, std::abs(error[10 + j]));
      torqueBiasError = std::max(torqueBiasError, std::abs(error[13 + j]));
    }
    std::array<double, 16> inertiaSd{};
    for (std::size_t j = 0; j < 6; ++j) inertiaSd[4 + j] = e.sd[4 + j];
    const double inertiaError = tensorNorm(error);
    const double inertiaNorm = tensorNorm(truth);
    std::printf("%-18s %9.4f %9.3f %9.2f %9.2f %9.2f\n", c.name, 100.0 * error[0] / truth[0],
                1e3 * comError, 100.0 * inertiaError / inertiaNorm, 1e3 * forceBiasError,
                1e3 * torqueBiasError);

    SCOPED_TRACE(c.name);
    EXPECT_LT(std::abs(error[0]), 1e-3 * truth[0]) << "mass within 0.1 %";
    EXPECT_LT(comError, 0.5e-3) << "each centre-of-mass coordinate within 0.5 mm";
    EXPECT_LT(forceBiasError, 5e-3) << "force bias within 5 mN";
    EXPECT_LT(torqueBiasError, 5e-3) << "torque bias within 5 mN*m";
    // A few percent of the tensor's norm, plus what the sensor noise allows for the light tools,
    // whose inertia is small against the noise (their error is about one reported sigma).
    EXPECT_LT(inertiaError, 0.05 * inertiaNorm + 3.0 * tensorNorm(inertiaSd))
        << "inertia error " << inertiaError << " against a norm of " << inertiaNorm;
  }
}

// The payload parameter file a host would load for the k-th estimate.
std::string estimateFile(const test::TempDir& dir, std::size_t k, const Published& e) {
  const std::string path = dir.file("estimate-" + std::to_string(k) + ".json");
  tool::PayloadFileContents file;
  file.parameters.mass = e.value[0];
  file.parameters.com = {e.value[1], e.value[2], e.value[3]};
  for (std::size_t j = 0; j < 6; ++j) file.parameters.inertia[j] = e.value[4 + j];
  tool::writePayloadFile(path, file);
  return path;
}

void expectCompensationRemovesAtLeast95Percent(const std::vector<Case>& cases,
                                               const std::vector<Published>& estimates) {
  test::TempDir dir;
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.name);
    const std::string path = estimateFile(dir, k, estimates[k]);
    // Static mode, slow recording: held still in twelve attitudes, moved between them at up
    // to 0.8 rad/s. Noise-free, so that the residual is the compensation's own error.
    const Recording poses = simulate(c.payload, sim::Noise{}, 1.0, true, 200 + k, 60.0);
    const Removal slow = compensate(path, false, poses, c.payload);
    std::printf("%-18s static mode, slow poses: force %.2f %%, torque %.2f %% removed\n", c.name,
                100.0 * slow.force, 100.0 * slow.torque);
    EXPECT_GE(slow.force, 0.95);
    EXPECT_GE(slow.torque, 0.95);

    // Dynamic mode, fast recording: other motion than the estimate came from, at the
    // simulator's full hand pace, brisker than the estimation recordings. Faster still, the
    // compensator's own 0.1 s filter of the angular acceleration limits what any parameters
    // can remove (with the true ones, 85–98 % at twice this pace).
    const Recording brisk = simulate(c.payload, sim::Noise{}, 1.0, false, 300 + k, 30.0);
    const Removal dynamicMode = compensate(path, true, brisk, c.payload);
    const Removal staticMode = compensate(path, false, brisk, c.payload);
    std::printf(
        "%-18s brisk hand motion: dynamic mode force %.2f %%, torque %.2f %% removed "
        "(static mode %.2f %%, %.2f %%)\n",
        c.name, 100.0 * dynamicMode.force, 100.0 * dynamicMode.torque, 100.0 * staticMode.force,
        100.0 * staticMode.torque);
    EXPECT_GE(dynamicMode.force, 0.95);
    EXPECT_GE(dynamicMode.torque, 0.95);
    // The inertial part is what dynamic mode adds: it must leave less behind than static mode.
    EXPECT_LT(1.0 - dynamicMode.force, 1.0 - staticMode.force);
    EXPECT_LT(1.0 - dynamicMode.torque, 1.0 - staticMode.torque);
  }
}

// One test, because the estimates are the slow part and both checks need them: the estimate of
// 60 s of hand motion reaches the stated accuracy, and compensating with it removes at least
// 95 % of the payload's wrench (static mode on slow poses, dynamic mode on brisk motion).
TEST(PayloadAccuracy, SixtySecondsOfHandMotionGiveTheStatedAccuracyAndCompensation) {
  const std::vector<Case> cases = payloadCases();
  std::vector<Recording> recordings;
  for (const Case& c : cases) {
    std::cout << "simulated " << c.name << ": seed " << c.seed << "\n";
    recordings.push_back(
        simulate(c.payload, kSensorNoise, kEstimationPace, false, c.seed, kRecordingSeconds));
  }
  const std::vector<Published> estimates = estimateWholeRecordings(recordings);
  ASSERT_EQ(estimates.size(), cases.size());
  expectStatedAccuracy(cases, estimates);
  expectCompensationRemovesAtLeast95Percent(cases, estimates);
}

// Same motion, different sensor noise: the scatter of the estimates must be what the reported
// standard deviations say. The noise is added here, so that the motion (and with it the
// deterministic error of the angular-acceleration filter, common to all) stays the same.
// Sixteen realisations of 20 s: the scatter of so many is itself known to about ±18 %.
TEST(PayloadAccuracy, ScatterOverNoiseSeedsMatchesTheReportedSigmaWithinAFactorOfTwo) {
  const Case c = payloadCases()[3];  // 1 kg off-centre
  const Recording clean = simulate(c.payload, sim::Noise{}, kEstimationPace, false, 404, 20.0);
  constexpr int kSeeds = 16;
  const std::array<double, 4> sd{std::sqrt(kSensorNoise.force), std::sqrt(kSensorNoise.torque),
                                 std::sqrt(kSensorNoise.linearAcc),
                                 std::sqrt(kSensorNoise.angularVel)};
  std::vector<Recording> noisy;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    sim::Random random(static_cast<std::uint64_t>(seed), 9);
    Recording r = clean;
    for (RecordedSample& s : r) {
      for (std::size_t j = 0; j < 12; ++j) s.values[j] += sd[j / 3] * random.gaussian();
    }
    noisy.push_back(std::move(r));
  }
  std::cout << "noise seeds 1.." << kSeeds << " (stream 9), motion seed 404\n";
  const std::vector<Published> estimates = estimateWholeRecordings(noisy);
  ASSERT_EQ(estimates.size(), noisy.size());

  const char* names[16] = {"mass", "cx",  "cy", "cz", "Ixx", "Ixy", "Ixz", "Iyy",
                           "Iyz",  "Izz", "Fx", "Fy", "Fz",  "Tx",  "Ty",  "Tz"};
  for (std::size_t j = 0; j < 16; ++j) {
    double mean = 0.0, meanVariance = 0.0;
    for (const Published& e : estimates) {
      mean += e.value[j] / kSeeds;
      meanVariance += e.sd[j] * e.sd[j] / kSeeds;
    }
    double scatter = 0.0;
    for (const Published& e : estimates) scatter += (e.value[j] - mean) * (e.value[j] - mean);
    scatter = std::sqrt(scatter / (kSeeds - 1));
    const double ratio = scatter / std::sqrt(meanVariance);
    std::printf("%-5s scatter %.3e  reported sigma %.3e  ratio %.2f\n", names[j], scatter,
                std::sqrt(meanVariance), ratio);
    EXPECT_GT(ratio, 0.5) << names[j];
    EXPECT_LT(ratio, 2.0) << names[j];
  }
}

}  // namespace
}  // namespace zelto
