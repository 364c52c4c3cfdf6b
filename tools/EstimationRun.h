#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleRelay.h"
#include "CsvRecording.h"
#include "EstimationReportParser.h"
#include "EstimatorConfigFile.h"

namespace zelto::tool {

struct EstimationRunOptions {
  std::string configPath;
  double speed = 1.0;  //!< factor of real time; 0 = as fast as possible
};

//! How one replay through the estimator library went.
struct EstimationRunResult {
  enum class Ending {
    Converged,       //!< the estimator reported convergence (and printed its report)
    TimedOut,        //!< it ended the run itself without a result (maximum run time)
    RecordingEnded,  //!< the recording ended while the run was still in progress
    Failed           //!< update() threw; the run was abandoned
  };
  Ending ending = Ending::RecordingEnded;
  EstimatorSettings settings;
  bool successful = false;   //!< isEstimationSuccessful() after the run
  bool fileWritten = false;  //!< the payload parameter file was (re)written during the run
  std::optional<ReportedEstimate> report;
  std::size_t samplesConsumed = 0;  //!< samples [0, samplesConsumed) reached the estimator
  std::size_t samplesWithoutImu = 0;
  std::size_t firstLineWithoutImu = 0;
  double wallSeconds = 0.0;    //!< from the start of the run to its end
  double updateSeconds = 0.0;  //!< time spent inside update()
  std::size_t updates = 0;
  std::string failure;  //!< what update() threw, for Failed
};

//! Replays samples through a ZeltoPayloadEstimator built from the configuration, through its
//! public interface only, exactly like a host: start, update per sample, watch the run state.
//!
//! Pacing: sample k is handed over at (t_k − t_0) / speed after the start, on the steady clock.
//! The estimator's minimum and maximum run times are measured on that clock too, so a fast
//! replay would run out of samples before the minimum run time is over and the run could never
//! end. Therefore the last sample is held back until the minimum run time has passed: every
//! sample is still handed over once and in order, and the convergence test then judges the
//! estimate of the whole recording.
//!
//! Samples whose six IMU values are all zero are not handed over (the library would refuse them
//! by throwing); they are counted. The estimator's console lines reach standard output through
//! the relay, whose transcript provides the report.
//! Throws ToolError when the estimator cannot be constructed from the configuration.
EstimationRunResult runEstimation(const std::vector<RecordedSample>& samples,
                                  const EstimationRunOptions& options, ConsoleRelay& relay,
                                  ProgressBar& progress);

//! True when the six IMU values are all exactly zero (the libraries' rule for missing IMU data).
bool imuMissing(const RecordedSample& sample);

}  // namespace zelto::tool
