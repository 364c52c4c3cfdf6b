#include <cmath>
#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "CsvRecording.h"
#include "EstimationRun.h"
#include "ParameterList.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

void fail(const std::string& message) { std::cerr << "zelto-payload: error: " << message << "\n"; }

// What the estimator believed when a run ended without a result: often enough to see which
// parameter held it back, never to be used as a payload.
void printUnconvergedEstimate(const EstimationRunResult& run) {
  if (run.samplesUsed == 0) return;
  std::cout << "zelto-payload: estimate reached after " << run.samplesUsed
            << " samples, NOT converged (no payload parameter file written):\n"
            << "  parameter             estimate         sigma\n";
  for (std::size_t i = 0; i < 16; ++i) {
    std::string label = kParameters[i].label;
    label.resize(16, ' ');
    const double sd = run.standardDeviation[i];
    std::cout << "  " << label << formatNumber("%14.6g", run.estimate[i])
              << (std::isfinite(sd) ? formatNumber("%14.3e", sd) : "     undefined") << "\n";
  }
}

}  // namespace

int runEstimate(const EstimateOptions& options) {
  const std::vector<RecordedSample> samples = readRecording(options.recording);
  std::cerr << noiseHint(options.config, options.recording, samples);

  ProgressBar progress(options.progress);
  const EstimationRunResult run = runEstimation(
      samples,
      EstimationRunOptions{options.config, options.speed, options.trace ? options.traceStep : 0.0},
      progress);

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
        const PayloadFileContents contents = readPayloadFile(run.settings.payloadFilePath);
        std::cout << "zelto-payload: the estimate converged "
                  << (contents.notIdentified.empty() ? "" : "for static compensation ") << "after "
                  << formatNumber("%.3f", dataSeconds) << " s of data (" << run.samplesConsumed
                  << " samples, " << formatNumber("%.2f", run.wallSeconds) << " s on the clock)\n";
        const ConsistencyReport report =
            checkPhysicalConsistency(contents.parameters, contents.notIdentified);
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
      printUnconvergedEstimate(run);
      fail("the estimator reached its maximum run time (" +
           formatNumber("%g", run.settings.maxTime) + " s) without converging, after " +
           formatNumber("%.3f", dataSeconds) + " s of data; no payload parameter file was written");
      break;
    case Ending::RecordingEnded:
      printUnconvergedEstimate(run);
      fail("the recording ended after " + formatNumber("%.3f", dataSeconds) +
           " s of data before the estimate converged; no payload parameter file was written "
           "(record longer, or move the tool through more attitudes)");
      break;
    case Ending::Failed:
      fail("the estimator failed: " + run.failure);
      break;
  }

  if (options.trace) {
    writeTrace(*options.trace, run.trace);
    std::cout << "zelto-payload: convergence trace with " << run.trace.size()
              << " points written to " << *options.trace << "\n";
  }
  return status;
}

}  // namespace zelto::tool
