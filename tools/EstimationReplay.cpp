#include "EstimationReplay.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zelto::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Margin past the minimum run time before the held-back last sample is handed over, so that the
// library's own clock, started inside startPayloadEstimation(), has certainly passed it.
constexpr double kHoldBackMargin = 0.02;
constexpr auto kPollPeriod = std::chrono::milliseconds(100);

Clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sleeps until the deadline; with a poll callback, in slices that let it run every 100 ms.
class Waiter {
 public:
  Waiter(const std::function<void()>& poll, Clock::time_point start)
      : poll_(poll), nextPoll_(start) {}

  void until(Clock::time_point deadline) {
    if (!poll_) {
      std::this_thread::sleep_until(deadline);
      return;
    }
    for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
      if (now >= nextPoll_) {
        poll_();
        nextPoll_ = now + kPollPeriod;
      }
      std::this_thread::sleep_until(std::min(deadline, nextPoll_));
    }
  }

 private:
  const std::function<void()>& poll_;
  Clock::time_point nextPoll_;
};

// Reads the estimate into the trace by the chosen rule (see TraceRule).
class Tracer {
 public:
  Tracer(const TraceOptions& options, double t0)
      : options_(options),
        t0_(t0),
        next_(options.rule == TraceRule::Widening ? t0 + options.step : t0) {}

  // After sample `index` (time stamp `time`) was handed over.
  void afterSample(const ZeltoPayloadEstimator& estimator, std::size_t index, double time,
                   bool lastUsable, bool ended, std::vector<TracePoint>& trace) {
    if (options_.step <= 0.0) return;
    const bool due = options_.rule == TraceRule::Widening
                         ? estimator.getSampleCount() != 0 && (ended || lastUsable || time >= next_)
                         : ended || time >= next_;
    if (due) add(estimator, index + 1, time, trace);
  }

  // After the replay: `rows` samples consumed up to and including the last one handed over, at
  // `time`.
  void finish(const ZeltoPayloadEstimator& estimator, std::size_t rows, double time,
              std::vector<TracePoint>& trace) {
    if (options_.step <= 0.0 || options_.rule != TraceRule::Even) return;
    if (trace.empty() || trace.back().samplesUsed != estimator.getSampleCount()) {
      add(estimator, rows, time, trace);
    }
  }

 private:
  void add(const ZeltoPayloadEstimator& estimator, std::size_t rows, double time,
           std::vector<TracePoint>& trace) {
    TracePoint p;
    p.time = time;
    p.rows = rows;
    p.samplesUsed = estimator.getSampleCount();
    estimator.getEstimate(p.value, p.standardDeviation);
    trace.push_back(p);
    const double widened = options_.rule == TraceRule::Widening ? 0.1 * (time - t0_) : 0.0;
    next_ = time + std::max(options_.step, widened);
  }

  TraceOptions options_;
  double t0_;
  double next_;
};

}  // namespace

bool imuMissing(const std::array<double, 12>& values) {
  for (std::size_t i = 6; i < 12; ++i) {
    if (values[i] != 0.0) return false;
  }
  return true;
}

ReplayResult replayEstimation(ZeltoPayloadEstimator& estimator, const ReplaySamples& samples,
                              const ReplayOptions& options) {
  ReplayResult result;
  const std::size_t n = samples.size;
  const double t0 = n == 0 ? 0.0 : samples.time(0);
  const double span = n == 0 ? 0.0 : samples.time(n - 1) - t0;
  const bool holdBack = options.minTime < options.maxTime;
  // The sample held back is the last one the estimator will take.
  std::size_t lastUsable = n;
  while (lastUsable > 0 && imuMissing(samples.values(lastUsable - 1))) --lastUsable;
  Tracer tracer(options.trace, t0);

  estimator.startPayloadEstimation();
  const Clock::time_point start = Clock::now();
  Waiter wait(options.poll, start);
  std::size_t handedOver = 0;  // samples consumed up to the last one handed over
  double lastTime = t0;
  bool ended = false;
  for (std::size_t i = 0; i < n && !ended; ++i) {
    const double time = samples.time(i);
    if (options.speed > 0.0) wait.until(start + toDuration((time - t0) / options.speed));
    if (i + 1 == lastUsable && holdBack) {
      const double seconds = options.minTime + kHoldBackMargin - secondsSince(start);
      if (seconds > 0.0) {
        if (options.holdingBack) options.holdingBack(seconds);
        wait.until(start + toDuration(options.minTime + kHoldBackMargin));
      }
    }
    result.samplesConsumed = i + 1;
    const std::array<double, 12> values = samples.values(i);
    if (imuMissing(values)) {
      if (result.samplesWithoutImu++ == 0) result.firstWithoutImu = i;
      continue;
    }
    try {
      estimator.update(time, values);
    } catch (const std::exception& e) {
      result.failure = std::current_exception();
      result.failureMessage = e.what();
      result.failedSample = i;
      ended = true;
    }
    handedOver = i + 1;
    lastTime = time;
    if (!ended && !estimator.isEstimatorRunning()) ended = true;
    tracer.afterSample(estimator, i, time, i + 1 == lastUsable, ended, result.trace);
    if (options.progress && ((i & 255u) == 0 || ended)) {
      options.progress(
          ReplayProgress{estimator, span > 0.0 ? (time - t0) / span : 1.0, time - t0, span, ended});
    }
  }
  // The recording is over, and so is the motion: a result only the end of a run accepts (the
  // inertia the motion left unidentified) ends the run now rather than at the maximum run time.
  if (!result.failure && estimator.isEstimatorRunning()) {
    estimator.finishPayloadEstimation();
  }
  result.wallSeconds = secondsSince(start);
  tracer.finish(estimator, handedOver, lastTime, result.trace);
  return result;
}

}  // namespace zelto::tool
