#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CsvRecording.h"
#include "EstimationReplay.h"
#include "EstimatorConfigFile.h"
#include "ProgressBar.h"

namespace zelto::tool {

struct EstimationRunOptions {
  std::string configPath;
  double speed = 1.0;      //!< factor of real time; 0 = as fast as possible
  double traceStep = 0.0;  //!< > 0: keep a convergence trace, see EstimationRunResult::trace
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
  std::vector<TracePoint> trace;    //!< TraceRule::Widening
  std::size_t samplesConsumed = 0;  //!< samples [0, samplesConsumed) reached the estimator
  std::size_t samplesWithoutImu = 0;
  std::size_t firstLineWithoutImu = 0;
  double wallSeconds = 0.0;  //!< from the start of the run to its end
  std::string failure;       //!< what update() threw, for Failed
};

//! Replays samples through a ZeltoPayloadEstimator built from the configuration (see
//! replayEstimation) and reads the outcome. The estimator's console lines go to standard output
//! as it writes them; the progress bar shows the live estimate.
//! Throws ToolError when the estimator cannot be constructed from the configuration.
EstimationRunResult runEstimation(const std::vector<RecordedSample>& samples,
                                  const EstimationRunOptions& options, ProgressBar& progress);

//! CSV: time,samples (rows of the recording), the 16 values, then sd_ and the 16 names.
void writeTrace(const std::string& path, const std::vector<TracePoint>& points);

}  // namespace zelto::tool
