#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "ConsoleRelay.h"
#include "ConvergenceTrace.h"
#include "CsvRecording.h"
#include "EstimationRun.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

void fail(const std::string& message) { std::cerr << "zelto-payload: error: " << message << "\n"; }

}  // namespace

int runEstimate(const EstimateOptions& options) {
  const std::vector<RecordedSample> samples = readRecording(options.recording);

  ProgressBar progress(options.progress);
  ConsoleRelay relay(std::cout, &progress);
  const EstimationRunResult run =
      runEstimation(samples, EstimationRunOptions{options.config, options.speed}, relay, progress);

  const double dataSeconds =
      run.samplesConsumed == 0 ? 0.0 : samples[run.samplesConsumed - 1].time - samples.front().time;
  if (run.samplesWithoutImu != 0) {
    std::cerr << "zelto-payload: warning: " << run.samplesWithoutImu
              << " samples without IMU data (all six IMU values zero) were skipped, the first at "
                 "line "
              << run.firstLineWithoutImu << "\n";
  }

  int status = kExitFailed;
  using Ending = EstimationRunResult::Ending;
  switch (run.ending) {
    case Ending::Converged:
      if (run.successful && run.fileWritten) {
        std::cout << "zelto-payload: the estimate converged after "
                  << formatNumber("%.3f", dataSeconds) << " s of data (" << run.samplesConsumed
                  << " samples, " << formatNumber("%.2f", run.wallSeconds) << " s on the clock)\n";
        const PayloadFileContents contents = readPayloadFile(run.settings.payloadFilePath);
        const ConsistencyReport report = checkPhysicalConsistency(contents.parameters);
        printConsistency(std::cout, run.settings.payloadFilePath, contents, report);
        status = report.consistent ? kExitOk : kExitInconsistent;
        if (!report.consistent) {
          fail("the estimate in '" + run.settings.payloadFilePath +
               "' is not physically consistent; do not use it (record again with more varied "
               "motion)");
        }
      } else {
        fail("the estimate converged but the payload parameter file '" +
             run.settings.payloadFilePath + "' was not written (see the estimator's lines above)");
      }
      break;
    case Ending::TimedOut:
      fail("the estimator reached its maximum run time (" +
           formatNumber("%g", run.settings.maxTime) + " s) without converging, after " +
           formatNumber("%.3f", dataSeconds) + " s of data; no payload parameter file was written");
      break;
    case Ending::RecordingEnded:
      fail("the recording ended after " + formatNumber("%.3f", dataSeconds) +
           " s of data before the estimate converged; no payload parameter file was written "
           "(record longer, or move the tool through more attitudes)");
      break;
    case Ending::Failed:
      fail("the estimator failed: " + run.failure);
      break;
  }

  if (options.trace) {
    TraceOptions traceOptions;
    traceOptions.configPath = options.config;
    traceOptions.minimumStep = options.traceStep;
    traceOptions.secondsPerUpdate =
        run.updates == 0 ? 0.0 : run.updateSeconds / static_cast<double>(run.updates);
    const std::vector<TracePoint> points =
        traceConvergence(samples, run.samplesConsumed, traceOptions, relay, progress);
    writeTrace(*options.trace, points);
    std::cout << "zelto-payload: convergence trace with " << points.size() << " points written to "
              << *options.trace << "\n";
  }
  return status;
}

}  // namespace zelto::tool
