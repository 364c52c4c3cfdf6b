// Estimator update() per sample during a run, as a host sees it (through the shared library):
// before the minimum run time (estimation only) and after it (the convergence test then runs
// on every sample; thresholds of zero keep it from ever passing, so the run never ends).
#include <benchmark/benchmark.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <string>

#include "BenchSupport.h"

namespace zelto::bench {
namespace {

void estimatorUpdate(benchmark::State& state, bool afterMinTime, bool noisyGyro = false,
                     bool ratedImu = false) {
  QuietCout quiet;
  std::string config = estimatorConfig(afterMinTime ? 0.0 : 1e9, 1e9, 0.0);
  if (noisyGyro) {
    // A gyro of variance 1e-4: the estimate's samples take their angular acceleration from the
    // quintic over ±100 ms (precomputed weights for the evenly spaced stream), and every input
    // prepares two samples, the judged one and the fed one.
    const std::string quietGyro = R"("angular_vel": {"x": 1e-5, "y": 1e-5, "z": 1e-5})";
    config.replace(config.find(quietGyro), quietGyro.size(),
                   R"("angular_vel": {"x": 1e-4, "y": 1e-4, "z": 1e-4})");
  }
  if (ratedImu) {
    // Accelerometer and gyro interpolated from slower streams: each of their variances is also
    // summed on its own for the block means' density count.
    config.insert(config.find("\"measurement_noise_covariance\""),
                  R"("measurement_noise_sample_rate": {"linear_acc": 254, "angular_vel": 99}, )");
  }
  const std::string path = writeScratchFile(
      ratedImu    ? "estimator_rated_imu.json"
      : noisyGyro ? "estimator_noisy_gyro.json"
                  : (afterMinTime ? "estimator_after.json" : "estimator_before.json"),
      config);
  ZeltoPayloadEstimator estimator(path);
  estimator.startPayloadEstimation();
  SampleStream stream;
  double time = 0.0;
  std::array<double, 12> sample{};
  for (int i = 0; i < 3000; ++i) {  // past the first seconds, where the estimate settles
    stream.next(time, sample);
    estimator.update(time, sample);
  }
  for (auto _ : state) {
    stream.next(time, sample);
    benchmark::DoNotOptimize(estimator.update(time, sample));
  }
  if (!estimator.isEstimatorRunning()) state.SkipWithError("the run ended during the benchmark");
  state.SetItemsProcessed(state.iterations());
}

void BM_EstimatorUpdateBeforeMinTime(benchmark::State& s) { estimatorUpdate(s, false); }
void BM_EstimatorUpdateAfterMinTime(benchmark::State& s) { estimatorUpdate(s, true); }
void BM_EstimatorUpdateNoisyGyro(benchmark::State& s) { estimatorUpdate(s, false, true); }
void BM_EstimatorUpdateRatedImu(benchmark::State& s) { estimatorUpdate(s, false, false, true); }

BENCHMARK(BM_EstimatorUpdateBeforeMinTime)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EstimatorUpdateAfterMinTime)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EstimatorUpdateNoisyGyro)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EstimatorUpdateRatedImu)->Unit(benchmark::kMicrosecond);

void BM_EstimatorConstruction(benchmark::State& state) {
  QuietCout quiet;
  const std::string path =
      writeScratchFile("estimator_construct.json", estimatorConfig(5.0, 60.0, 0.01));
  for (auto _ : state) {
    ZeltoPayloadEstimator estimator(path);
    benchmark::DoNotOptimize(&estimator);
  }
}
BENCHMARK(BM_EstimatorConstruction)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelto::bench
