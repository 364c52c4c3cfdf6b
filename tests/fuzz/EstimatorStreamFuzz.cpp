// Arbitrary sequences of samples (NaN, infinities, huge values, times going backwards,
// repeated and nearly repeated times, jitter, gaps, long smooth runs, all-zero IMU parts)
// interleaved with start/stop requests, queries and read-outs of the estimate. Only the
// documented exceptions may leave update(), the return codes and the read-out must follow
// their contracts, and nothing may crash or grow without bound.
#include <zelto/ZeltoPayloadEstimator.h>

#include <cmath>
#include <memory>

#include "FuzzSupport.h"

namespace {

using zelto::fuzz::fail;

const char* kFatalNaN =
    "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!";

// Three configurations: one that converges (and writes its file) at once, one that behaves like
// a real run and times out quickly on the steady clock, and one that never ends by itself
// (thresholds of zero, no time limit), so that long runs fill the window whatever the clock.
enum class Run { Slow, Fast, Endless };

const std::string& configPath(Run run) {
  const auto write = [](Run r, const char* name) {
    const double threshold = r == Run::Fast ? 1e9 : r == Run::Slow ? 0.01 : 0.0;
    const double maxTime = r == Run::Endless ? 1e9 : 0.05;
    return zelto::harness::writeScratchFile(
        name, zelto::harness::estimatorConfig({"fuzz_payload.json", 0.0, maxTime, threshold}));
  };
  static const std::string paths[3] = {write(Run::Slow, "stream_config_slow.json"),
                                       write(Run::Fast, "stream_config_fast.json"),
                                       write(Run::Endless, "stream_config_endless.json")};
  return paths[static_cast<int>(run)];
}

// Samples fed per input at most: under the sanitizers and the coverage instrumentation an update
// of a running estimate costs about 1.5 ms, and a slow input slows the whole search.
constexpr int kSampleBudget = 2000;

// What the read-out must show, tracked from the caller's side: what the current run has
// stored (an input that is finite and within ±1e9, not refused as backwards and not a repeat of the
// newest stored time within 1e-5 s), and the read-out seen last.
class ReadOutChecker {
 public:
  explicit ReadOutChecker(const zelto::ZeltoPayloadEstimator& e) : estimator_(e) { observe(); }

  // Before startPayloadEstimation, which resets everything observe() compares.
  void starting() { restarting_ = true; }

  // After startPayloadEstimation: a fresh run (or a stop) has used no sample.
  void restarted() {
    stored_ = 0;
    observe();
    if (count_ != 0) fail("sample count", "not 0 after a start or stop");
    std::array<double, 16> estimate, sigma;
    if (estimator_.getEstimate(estimate, sigma)) fail("getEstimate", "true after a start or stop");
    for (std::size_t i = 0; i < 16; ++i) {
      if (!std::isnan(estimate[i]) || !std::isnan(sigma[i])) {
        fail("getEstimate", "a value that is not NaN after a start or stop");
      }
    }
  }

  // Before update(time, sample): what the estimator must do with it.
  void beforeUpdate(double time, const std::array<double, 12>& sample) {
    running_ = estimator_.isEstimatorRunning();
    finite_ = std::isfinite(time);
    // A value beyond 1e9 in magnitude is refused like a non-finite one.
    for (const double v : sample) finite_ = finite_ && std::isfinite(v) && std::abs(v) <= 1e9;
    backwards_ = stored_ > 0 && newest_ - time >= 1e-5;
    repeat_ = stored_ > 0 && std::abs(time - newest_) < 1e-5;
    time_ = time;
  }

  // After update() returned rc, or threw (threw: the IMU rule or the fatal NaN error).
  void afterUpdate(bool returned, zelto::ZeltoControlReturnCode rc, bool fatal) {
    const std::uint64_t before = count_;
    const bool accepted = running_ && finite_ && !backwards_;
    if (returned) {
      const zelto::ZeltoControlReturnCode expected =
          !running_ || accepted ? zelto::Ok : zelto::Error;
      if (rc != expected) fail("return code", accepted ? "not Ok" : "not Error");
    }
    if (fatal && !accepted) fail("fatal error", "from a refused or dropped sample");
    if ((returned || fatal) && accepted && !repeat_) {
      if (stored_ == 0) first_ = time_;
      newest_ = time_;
      ++stored_;
    }
    observe();
    if (count_ > before + 1) fail("sample count", "grew by more than one in one update");
    if (count_ != before && (!accepted || repeat_)) {
      fail("sample count", "grew on a refused, dropped or repeated sample");
    }
    // A join needs two inputs on each side of its centre within ±25 ms.
    const std::uint64_t joinable = stored_ < 5 ? 0 : stored_ - 4;
    if (count_ > joinable) fail("sample count", "more joins than stored inputs allow");
    if (count_ > 0 && newest_ - first_ < 0.0249) fail("sample count", "a join before warm-up");
  }

  // The full read-out: the estimate's contract.
  void readOut() {
    observe();
    std::array<double, 16> estimate, sigma;
    const bool defined = estimator_.getEstimate(estimate, sigma);
    for (std::size_t i = 0; i < 16; ++i) {
      if (defined &&
          (!std::isfinite(estimate[i]) || !(sigma[i] >= 0.0) || !std::isfinite(sigma[i]))) {
        fail("getEstimate", "true with a value that is not finite");
      }
      if (!defined && !std::isnan(sigma[i])) fail("getEstimate", "false with a sigma not NaN");
      if (count_ == 0 && (defined || !std::isnan(estimate[i]))) {
        fail("getEstimate", "an estimate without samples");
      }
    }
  }

 private:
  // Reads count, run time and state, and checks them against the previous reading.
  void observe() {
    const bool running = estimator_.isEstimatorRunning();
    const std::uint64_t count = estimator_.getSampleCount();
    const double runTime = estimator_.getRunTime();
    if (!(runTime >= 0.0) || !std::isfinite(runTime)) fail("run time", "negative or not finite");
    if (observed_ && !restarting_) {
      if (count < count_) fail("sample count", "decreased within a run");
      if (wasRunning_ && runTime < runTime_) fail("run time", "decreased within a run");
      if (!wasRunning_ && (count != count_ || runTime != runTime_)) {
        fail("read-out", "changed while no run was in progress");
      }
      if (!wasRunning_ && running) fail("state", "a run started by itself");
    }
    observed_ = true;
    restarting_ = false;
    wasRunning_ = running;
    count_ = count;
    runTime_ = runTime;
  }

  const zelto::ZeltoPayloadEstimator& estimator_;
  bool observed_ = false, restarting_ = false, wasRunning_ = false;
  std::uint64_t count_ = 0;
  double runTime_ = 0.0;
  std::uint64_t stored_ = 0;
  double first_ = 0.0, newest_ = 0.0, time_ = 0.0;
  bool running_ = false, finite_ = false, backwards_ = false, repeat_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelto::fuzz;
  ByteReader in(data, size);
  QuietCout quiet;
  std::unique_ptr<zelto::ZeltoPayloadEstimator> estimator;
  try {
    estimator =
        std::make_unique<zelto::ZeltoPayloadEstimator>(configPath(static_cast<Run>(in.byte() % 3)));
  } catch (const std::exception& e) {
    fail("construction failure", e.what());
  }
  ReadOutChecker checker(*estimator);
  double time = 0.0;
  std::array<double, 12> sample{};
  int budget = kSampleBudget;
  // One update with every check around it.
  const auto update = [&] {
    --budget;
    checker.beforeUpdate(time, sample);
    try {
      const zelto::ZeltoControlReturnCode rc = estimator->update(time, sample);
      checker.afterUpdate(true, rc, false);
    } catch (const std::runtime_error& e) {
      const bool fatal = std::strcmp(e.what(), kFatalNaN) == 0;
      if (std::strcmp(e.what(), kImuMissing) != 0 && !fatal) {
        fail("message", e.what());
      }
      if (fatal && estimator->isEstimatorRunning()) {
        fail("state", "still running after the fatal error");
      }
      checker.afterUpdate(false, zelto::Error, fatal);
    } catch (const std::exception& e) {
      fail("exception", e.what());
    }
  };
  for (int op = 0; op < 4096 && !in.empty() && budget > 0; ++op) {
    const std::uint8_t code = in.byte();
    if (code % 16 == 0) {
      checker.starting();
      try {
        if (!estimator->startPayloadEstimation()) fail("result", "start returned false");
      } catch (const std::exception& e) {
        fail("exception from start", e.what());
      }
      checker.restarted();
    } else if (code % 16 == 1) {
      const bool running = estimator->isEstimatorRunning();
      if (running && estimator->isEstimationSuccessful()) {
        fail("state", "successful while running");
      }
    } else if (code % 16 == 3) {
      checker.readOut();
    } else if (code % 16 == 4) {
      Burst burst(in);
      for (int i = 0; i < burst.count() && budget > 0; ++i) {
        burst.next(i, time, sample);
        update();
        if (i % 97 == 96) checker.readOut();
      }
    } else {
      readSample(in, time, sample);
      update();
    }
  }
  checker.readOut();
  return 0;
}
