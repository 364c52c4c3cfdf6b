#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "ConsoleRelay.h"
#include "CsvRecording.h"

namespace zelto::tool {

//! The estimate after the samples up to one point of a recording.
struct TracePoint {
  double time = 0.0;               //!< time stamp of the last sample included
  std::size_t samples = 0;         //!< samples included
  std::array<double, 16> value{};  //!< mass, com, inertia, force bias, torque bias (file order)
  std::array<double, 16> standardDeviation{};  //!< as the estimator reported them
};

struct TraceOptions {
  std::string configPath;         //!< the configuration of the run being traced
  double minimumStep = 0.25;      //!< s of recording between points at the start
  double secondsPerUpdate = 0.0;  //!< measured cost of one update(), to plan the run limits
};

//! Points at which the trace samples the recording: indices of the last sample included. The
//! spacing starts at minimumStep and grows to a tenth of the recording time already covered, so
//! the early seconds, where the estimate moves most, are resolved finely while the cost (every
//! point replays its whole prefix) stays about ten times that of one pass. The last consumed
//! sample is always a point. Indices below 2 are skipped: the first joined sample needs two.
std::vector<std::size_t> tracePointIndices(const std::vector<RecordedSample>& samples,
                                           std::size_t consumed, double minimumStep);

//! The estimate and its reported standard deviations at the trace points, obtained through the
//! estimator's public interface only.
//!
//! The interface publishes an estimate only when a run converges: it writes the payload
//! parameter file and prints the report with the standard deviations. So each point gets its
//! own estimator, configured like the traced run but with convergence thresholds no estimate
//! can miss and a minimum run time longer than the replay. All of them are fed the same
//! samples in one pass, each up to just before its point; once the minimum run time has passed
//! each is handed the sample at its point, converges on it and publishes the estimate after
//! exactly those samples, which is what the traced run held at that moment (the estimator is
//! deterministic). Their console lines are diverted and read, not shown. Should an estimator
//! converge before its point (the replay took longer than planned), the point is recorded at
//! the sample where it did.
std::vector<TracePoint> traceConvergence(const std::vector<RecordedSample>& samples,
                                         std::size_t consumed, const TraceOptions& options,
                                         ConsoleRelay& relay, ProgressBar& progress);

//! CSV: time,samples, the 16 values, then sd_ and the 16 names.
void writeTrace(const std::string& path, const std::vector<TracePoint>& points);

//! Column names of the 16 values in trace files and tables.
extern const char* const kParameterNames[16];

}  // namespace zelto::tool
