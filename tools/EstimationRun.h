#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CsvRecording.h"
#include "EstimatorConfigFile.h"
#include "ProgressBar.h"

namespace zelto::tool {

struct EstimationRunOptions {
  std::string configPath;
  double speed = 1.0;      //!< factor of real time; 0 = as fast as possible
  double traceStep = 0.0;  //!< > 0: keep a convergence trace, see EstimationRunResult::trace
};

//! The estimate as the estimator held it right after one sample of the recording.
struct TracePoint {
  double time = 0.0;                           //!< time stamp of that sample
  std::size_t samples = 0;                     //!< rows of the recording up to and including it
  std::array<double, 16> value{};              //!< order of kParameters
  std::array<double, 16> standardDeviation{};  //!< NaN while the covariance is undefined
};

//! How one replay through the estimator library went.
struct EstimationRunResult {
  enum class Ending {
    Converged,       //!< the run ended on its own before the maximum run time
    TimedOut,        //!< it ended the run itself without a result (maximum run time)
    RecordingEnded,  //!< the recording ended while the run was still in progress
    Failed           //!< update() threw; the run was abandoned
  };
  Ending ending = Ending::RecordingEnded;
  EstimatorSettings settings;
  bool successful = false;   //!< isEstimationSuccessful() after the run
  bool fileWritten = false;  //!< the payload parameter file was (re)written during the run
  //! The estimator's read-out when the replay ended: defined = every σ known.
  bool estimateDefined = false;
  std::uint64_t samplesUsed = 0;  //!< samples the estimate rests on (getSampleCount())
  std::array<double, 16> estimate{};
  std::array<double, 16> standardDeviation{};
  std::vector<TracePoint> trace;
  std::size_t samplesConsumed = 0;  //!< samples [0, samplesConsumed) reached the estimator
  std::size_t samplesWithoutImu = 0;
  std::size_t firstLineWithoutImu = 0;
  double wallSeconds = 0.0;  //!< from the start of the run to its end
  std::string failure;       //!< what update() threw, for Failed
};

//! Replays samples through a ZeltoPayloadEstimator built from the configuration, through its
//! public interface only, exactly like a host: start, update per sample, watch the run state,
//! read the estimate.
//!
//! Pacing: sample k is handed over at (t_k − t_0) / speed after the start, on the steady clock.
//! The estimator's minimum and maximum run times are measured on that clock too, so a fast
//! replay would run out of samples before the minimum run time is over and the run could never
//! end. Therefore the last sample is held back until the minimum run time has passed: every
//! sample is still handed over once and in order, and the convergence test then judges the
//! estimate of the whole recording.
//!
//! Trace: the estimate and σ are read after the samples at which the recording has advanced by
//! traceStep since the last point at the start, later by a tenth of the time covered, so the
//! early seconds, where the estimate moves most, are resolved finely while the file stays
//! small. The sample on which the replay ends is always a point.
//!
//! Samples whose six IMU values are all zero are not handed over (the library would refuse them
//! by throwing); they are counted. The estimator's console lines go to standard output as it
//! writes them; the progress bar shows the live estimate.
//! Throws ToolError when the estimator cannot be constructed from the configuration.
EstimationRunResult runEstimation(const std::vector<RecordedSample>& samples,
                                  const EstimationRunOptions& options, ProgressBar& progress);

//! True when the six IMU values are all exactly zero (the libraries' rule for missing IMU data).
bool imuMissing(const RecordedSample& sample);

//! CSV: time,samples, the 16 values, then sd_ and the 16 names.
void writeTrace(const std::string& path, const std::vector<TracePoint>& points);

}  // namespace zelto::tool
