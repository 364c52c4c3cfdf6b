#include "EstimationRun.h"

#include <zelto/ZeltoPayloadEstimator.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "ParameterList.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

namespace fs = std::filesystem;

struct FileStamp {
  bool exists = false;
  fs::file_time_type time{};
  std::uintmax_t size = 0;
};

FileStamp stampOf(const std::string& path) {
  FileStamp stamp;
  std::error_code ec;
  stamp.exists = fs::is_regular_file(path, ec);
  if (stamp.exists) {
    stamp.time = fs::last_write_time(path, ec);
    stamp.size = fs::file_size(path, ec);
  }
  return stamp;
}

// "12.3/60.0 s  mass 1.2034±0.0041 kg  com 12.1,-7.9,65.1 mm": what a user watching the run
// wants to see settle, short enough for an 80-column terminal next to the bar.
std::string progressLabel(const ZeltoPayloadEstimator& estimator, double dataSeconds,
                          double totalSeconds) {
  char text[128];
  int n = std::snprintf(text, sizeof text, "%.1f/%.1f s", dataSeconds, totalSeconds);
  std::array<double, 16> e{}, sd{};
  estimator.getEstimate(e, sd);
  if (std::isfinite(e[0]) && n > 0) {
    n += std::snprintf(text + n, sizeof text - n, "  mass %.4f", e[0]);
    if (std::isfinite(sd[0])) n += std::snprintf(text + n, sizeof text - n, "\u00b1%.4f", sd[0]);
    std::snprintf(text + n, sizeof text - n, " kg  com %.1f,%.1f,%.1f mm", 1e3 * e[1], 1e3 * e[2],
                  1e3 * e[3]);
  }
  return text;
}

// The tool's replay: paced as asked, the widening trace, the progress bar driven by the replay's
// reports, and a line on standard error when the last sample is held back noticeably long.
ReplayOptions replayOptions(const EstimationRunOptions& options, const EstimatorSettings& settings,
                            ProgressBar& progress) {
  ReplayOptions replay;
  replay.minTime = settings.minTime;
  replay.maxTime = settings.maxTime;
  replay.speed = options.speed;
  replay.trace = {options.traceStep, TraceRule::Widening};
  replay.progress = [&progress](const ReplayProgress& p) {
    if (p.ended || progress.due()) {
      progress.update(p.fraction, progressLabel(p.estimator, p.dataSeconds, p.totalSeconds));
    }
  };
  replay.holdingBack = [&progress, &settings](double seconds) {
    if (seconds <= 0.2) return;
    progress.clear();
    std::fprintf(stderr,
                 "zelto-payload: the recording ends before the estimator's minimum run time (%g "
                 "s) has passed; holding the last sample back for %.1f s\n",
                 settings.minTime, seconds);
  };
  return replay;
}

EstimationRunResult::Ending endingOf(const ZeltoPayloadEstimator& estimator,
                                     const ReplayResult& replayed, bool successful,
                                     double maxTime) {
  using Ending = EstimationRunResult::Ending;
  if (replayed.failure) return Ending::Failed;
  if (estimator.isEstimatorRunning()) return Ending::RecordingEnded;
  if (!successful && estimator.getRunTime() >= maxTime) return Ending::TimedOut;
  return Ending::Converged;
}

}  // namespace

EstimationRunResult runEstimation(const std::vector<RecordedSample>& samples,
                                  const EstimationRunOptions& options, ProgressBar& progress) {
  EstimationRunResult result;
  std::unique_ptr<ZeltoPayloadEstimator> estimator;
  try {
    estimator = std::make_unique<ZeltoPayloadEstimator>(options.configPath);
  } catch (const std::exception& e) {
    throw ToolError(e.what());
  }
  result.settings = readEstimatorSettings(options.configPath);
  const EstimatorSettings& settings = result.settings;
  const FileStamp before = stampOf(settings.payloadFilePath);

  const ReplayOptions replay = replayOptions(options, settings, progress);
  const ReplaySamples recording{samples.size(),
                                [&samples](std::size_t i) { return samples[i].time; },
                                [&samples](std::size_t i) { return samples[i].values; }};
  ReplayResult replayed = replayEstimation(*estimator, recording, replay);
  progress.clear();

  result.trace = std::move(replayed.trace);
  result.samplesConsumed = replayed.samplesConsumed;
  result.samplesWithoutImu = replayed.samplesWithoutImu;
  if (replayed.samplesWithoutImu != 0) {
    result.firstLineWithoutImu = samples[replayed.firstWithoutImu].line;
  }
  result.wallSeconds = replayed.wallSeconds;
  result.samplesUsed = estimator->getSampleCount();
  result.estimateDefined = estimator->getEstimate(result.estimate, result.standardDeviation);
  result.successful = estimator->isEstimationSuccessful();
  result.ending = endingOf(*estimator, replayed, result.successful, settings.maxTime);
  if (replayed.failure) {
    const std::size_t line = samples[replayed.failedSample].line;
    result.failure =
        replayed.failureMessage + (line != 0 ? " (at line " + std::to_string(line) + ")" : "");
  }
  const FileStamp after = stampOf(settings.payloadFilePath);
  result.fileWritten =
      after.exists && (!before.exists || after.time != before.time || after.size != before.size);
  // A run still in progress is simply abandoned with the object: stopping it through
  // startPayloadEstimation() would re-initialise the estimator first and print its lines.
  return result;
}

void writeTrace(const std::string& path, const std::vector<TracePoint>& points) {
  std::string header = "time,samples";
  for (const ParameterInfo& p : kParameters) header += std::string(",") + p.name;
  for (const ParameterInfo& p : kParameters) header += std::string(",sd_") + p.name;
  CsvWriter writer(path, header);
  for (const TracePoint& p : points) {
    writer.time(p.time);
    writer.text(std::to_string(p.rows).c_str());
    for (double v : p.value) writer.value(v);
    for (double v : p.standardDeviation) writer.value(v);
    writer.endRow();
  }
  writer.close();
}

}  // namespace zelto::tool
