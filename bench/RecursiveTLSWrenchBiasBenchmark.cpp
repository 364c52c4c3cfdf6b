// The recursive TLS algorithm's update alone: the production implementation and the dense,
// literal oracle from the test tree, side by side on the same simulated samples. The oracle
// refreshes its covariance after every sample, so it is compared with production update plus
// both covariance queries as well as with update alone.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "EMAFilter.h"
#include "RecursiveTLSOracle.h"
#include "RecursiveTLSWrenchBias.h"
#include "TlsSimulatedData.h"

namespace zelto::bench {
namespace {

// The samples the estimator benchmarks feed through the library, joined as the library joins
// them (angular acceleration from the EMA of the gyro), so that both see the same data.
const std::vector<InertialSample>& tlsSamples() {
  static const std::vector<InertialSample> samples = [] {
    std::vector<InertialSample> out;
    out.reserve(recording().size());
    StampedHistory angularVelocity;
    EMAFilter derivative;
    for (const sim::SimSample& s : recording()) {
      InertialSample x;
      x.time = s.time;
      x.force = Eigen::Vector3d(s.values[0], s.values[1], s.values[2]);
      x.torque = Eigen::Vector3d(s.values[3], s.values[4], s.values[5]);
      x.linearAcceleration = Eigen::Vector3d(s.values[6], s.values[7], s.values[8]);
      x.angularVelocity = Eigen::Vector3d(s.values[9], s.values[10], s.values[11]);
      angularVelocity.push(StampedVector3{s.time, x.angularVelocity});
      if (angularVelocity.size() >= EMAFilter::getMinSamples()) {
        x.angularAcceleration = derivative.apply(angularVelocity).value;
        angularVelocity.prune();
      }
      out.push_back(x);
    }
    return out;
  }();
  return samples;
}

// Samples after the first three seconds, as the estimator benchmarks.
constexpr std::size_t kWarmup = 3000;

template <typename Algorithm, typename Step>
void runAlgorithm(benchmark::State& state, Algorithm& algorithm, Step step) {
  const auto& samples = tlsSamples();
  for (std::size_t i = 0; i < kWarmup; ++i) step(algorithm, samples[i]);
  std::size_t i = kWarmup;
  for (auto _ : state) {
    step(algorithm, samples[i]);
    if (++i == samples.size()) {
      // Start over on the same data from a fresh estimate, outside the timing.
      state.PauseTiming();
      algorithm.init(test::tlsPrior(), test::tlsConfiguredNoise(), 1.0);
      for (std::size_t k = 0; k < kWarmup; ++k) step(algorithm, samples[k]);
      i = kWarmup;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_RecursiveTLSUpdate(benchmark::State& state) {
  QuietCout quiet;
  RecursiveTLSWrenchBias algorithm;
  algorithm.init(test::tlsPrior(), test::tlsConfiguredNoise(), 1.0);
  runAlgorithm(state, algorithm, [](RecursiveTLSWrenchBias& a, const InertialSample& s) {
    benchmark::DoNotOptimize(a.update(s));
  });
}
BENCHMARK(BM_RecursiveTLSUpdate)->Unit(benchmark::kMicrosecond);

void BM_RecursiveTLSUpdateWithCovariance(benchmark::State& state) {
  QuietCout quiet;
  RecursiveTLSWrenchBias algorithm;
  algorithm.init(test::tlsPrior(), test::tlsConfiguredNoise(), 1.0);
  runAlgorithm(state, algorithm, [](RecursiveTLSWrenchBias& a, const InertialSample& s) {
    a.update(s);
    benchmark::DoNotOptimize(a.getParamsCovariance());
    benchmark::DoNotOptimize(a.getBiasCovariance());
  });
}
BENCHMARK(BM_RecursiveTLSUpdateWithCovariance)->Unit(benchmark::kMicrosecond);

// The oracle's init takes the variances as a plain vector.
struct OracleAdapter {
  test::RecursiveTLSOracle oracle;
  void init(const Eigen::VectorXd& prior, const MeasurementNoise& noise, double) {
    oracle.init(prior, Eigen::VectorXd(noise.asVector()));
  }
};

void BM_RecursiveTLSOracleUpdate(benchmark::State& state) {
  OracleAdapter adapter;
  adapter.init(test::tlsPrior(), test::tlsConfiguredNoise(), 1.0);
  runAlgorithm(state, adapter, [](OracleAdapter& a, const InertialSample& s) {
    a.oracle.update(s);
    benchmark::DoNotOptimize(a.oracle.parameterVector().data());
  });
}
BENCHMARK(BM_RecursiveTLSOracleUpdate)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelto::bench
