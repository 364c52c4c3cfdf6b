#pragma once

// The one replay of a recording through the estimator library, shared by the zelto-payload tool,
// the Python module's estimate() and the benchmarks (hence a position-independent static
// library). It uses the estimator through its public interface only, exactly like a host.

#include <zelto/ZeltoPayloadEstimator.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace zelto::tool {

//! True when the six IMU values are all exactly zero: the libraries' rule for missing IMU data
//! (their update() refuses such a sample by throwing).
bool imuMissing(const std::array<double, 12>& values);

//! The recording a replay reads, by index: time stamps (s) and the twelve values of each sample.
struct ReplaySamples {
  std::size_t size = 0;
  std::function<double(std::size_t)> time;
  std::function<std::array<double, 12>(std::size_t)> values;
};

//! When the replay reads the estimate into its trace.
enum class TraceRule {
  //! Fine where the estimate moves most, the early seconds, and few points later, so that a
  //! trace file stays small: a point after the samples at which the recording has advanced by
  //! the step since the last point (the first point one step after the first sample), later by a
  //! tenth of the time covered; always one at the last sample the estimator takes and at the one
  //! the run ends on. No point before the estimate rests on a sample.
  Widening,
  //! Evenly spaced: a point at the first sample handed over, then after the samples at which the
  //! recording has advanced by the step since the last point, and at the one the run ends on.
  //! After the replay, one at the last sample handed over when the estimate has taken samples
  //! since the last point.
  Even
};

struct TraceOptions {
  double step = 0.0;  //!< s of recording; 0 = no trace
  TraceRule rule = TraceRule::Widening;
};

//! The estimate as the estimator held it right after one sample of the recording.
struct TracePoint {
  double time = 0.0;              //!< time stamp of that sample
  std::size_t rows = 0;           //!< samples of the recording up to and including it
  std::uint64_t samplesUsed = 0;  //!< samples the estimate rested on (getSampleCount())
  std::array<double, 16> value{};
  std::array<double, 16> standardDeviation{};  //!< NaN while the covariance is undefined
};

//! What the replay reports while it runs.
struct ReplayProgress {
  const ZeltoPayloadEstimator& estimator;  //!< for a live read-out of the estimate
  double fraction;                         //!< of the recording's time span, 0..1
  double dataSeconds;   //!< recording time from the first sample to the current one
  double totalSeconds;  //!< the recording's time span
  bool ended;           //!< the run has ended on this sample (the last report)
};

struct ReplayOptions {
  //! The estimator's run limits from its configuration (min_time, max_time), s.
  double minTime = 0.0;
  double maxTime = 0.0;
  double speed = 0.0;  //!< factor of real time; 0 = as fast as possible
  TraceOptions trace;
  //! Called after every 256th sample handed over and after the one the run ends on. Cheap
  //! unless it reads the estimate, which a caller does only when it will show it.
  std::function<void(const ReplayProgress&)> progress;
  //! Called before the last sample is held back (see replayEstimation) with the wait, s.
  std::function<void(double seconds)> holdingBack;
  //! Called at least every 100 ms while the replay waits; may throw to abandon the replay.
  std::function<void()> poll;
};

//! How the replay went; the estimate itself is the estimator's to read afterwards.
struct ReplayResult {
  std::size_t samplesConsumed = 0;  //!< samples [0, samplesConsumed) reached the estimator
  std::size_t samplesWithoutImu = 0;
  std::size_t firstWithoutImu = 0;  //!< index of the first of them
  //! What update() threw (std::exception only), and at which sample; the replay stopped there.
  std::exception_ptr failure;
  std::string failureMessage;
  std::size_t failedSample = 0;
  std::vector<TracePoint> trace;
  double wallSeconds = 0.0;  //!< from the start of the run to the end of the replay
};

//! Starts a run of the estimator and hands it the samples, one by one and in order, until the
//! run ends (converged, timed out, or update() threw) or the recording does. A run still in
//! progress then is told that the motion is over (finishPayloadEstimation()): a result only the
//! end of a run accepts ends it; otherwise it is left as it is.
//!
//! Pacing: sample k is handed over at (t_k − t_0) / speed after the start, on the steady clock.
//! The estimator's run limits are measured on that clock too, so a fast replay would run out of
//! samples before the minimum run time is over and the run could never end. Therefore the last
//! sample the estimator takes is held back until the minimum run time has passed (when it is
//! below the maximum): every sample is still handed over once and in order, and the convergence
//! test then judges the estimate of the whole recording.
//!
//! Samples whose six IMU values are all zero are not handed over (the library would refuse them
//! by throwing); they are counted.
ReplayResult replayEstimation(ZeltoPayloadEstimator& estimator, const ReplaySamples& samples,
                              const ReplayOptions& options);

}  // namespace zelto::tool
