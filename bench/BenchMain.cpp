// Runs the benchmarks and prints, after Google Benchmark's own table, the ratios the speed
// goals are stated in (measured side by side in this one run).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

//! Console output as usual, and the per-iteration real time of every benchmark remembered.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        const std::string name = run.run_name.function_name;
        // With repetitions the median aggregate wins over single iterations.
        if (run.aggregate_name == "median" || times_.count(name) == 0) {
          times_[name] = run.GetAdjustedRealTime();
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double time(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> times_;
};

void printRatio(const RecordingReporter& r, const char* label, const char* numerator,
                const char* denominator) {
  const double a = r.time(numerator);
  const double b = r.time(denominator);
  if (a > 0.0 && b > 0.0) std::printf("%-58s %8.2f\n", label, a / b);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::printf("\nRatios (same run):\n");
  printRatio(reporter, "recursive TLS update: oracle / production",
             "BM_RecursiveTLSOracleUpdate", "BM_RecursiveTLSUpdate");
  printRatio(reporter, "estimator update before min time / algorithm update",
             "BM_EstimatorUpdateBeforeMinTime", "BM_RecursiveTLSUpdate");
  printRatio(reporter, "estimator update after min time / algorithm update + covariance",
             "BM_EstimatorUpdateAfterMinTime", "BM_RecursiveTLSUpdateWithCovariance");
  return 0;
}
