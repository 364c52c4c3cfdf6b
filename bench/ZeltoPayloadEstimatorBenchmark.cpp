// Estimator update() per sample during a run, as a host sees it (through the shared library):
// before the minimum run time (estimation only) and after it (the convergence test then runs
// on every sample; thresholds of zero keep it from ever passing, so the run never ends).
#include <benchmark/benchmark.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include "BenchSupport.h"

namespace zelto::bench {
namespace {

void estimatorUpdate(benchmark::State& state, bool afterMinTime) {
  QuietCout quiet;
  const std::string path =
      writeScratchFile(afterMinTime ? "estimator_after.json" : "estimator_before.json",
                       estimatorConfig(afterMinTime ? 0.0 : 1e9, 1e9, 0.0));
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

BENCHMARK(BM_EstimatorUpdateBeforeMinTime)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EstimatorUpdateAfterMinTime)->Unit(benchmark::kMicrosecond);

void BM_EstimatorConstruction(benchmark::State& state) {
  QuietCout quiet;
  const std::string path = writeScratchFile("estimator_construct.json",
                                            estimatorConfig(5.0, 60.0, 0.01));
  for (auto _ : state) {
    ZeltoPayloadEstimator estimator(path);
    benchmark::DoNotOptimize(&estimator);
  }
}
BENCHMARK(BM_EstimatorConstruction)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelto::bench
