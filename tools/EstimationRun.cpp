#include "EstimationRun.h"

#include <zelto/ZeltoPayloadEstimator.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "ParameterList.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Margin past the minimum run time before the held-back last sample is handed over, so that
// the library's own clock, started inside startPayloadEstimation(), has certainly passed it.
constexpr double kHoldBackMargin = 0.02;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

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

}  // namespace

bool imuMissing(const RecordedSample& s) {
  for (std::size_t i = 6; i < 12; ++i) {
    if (s.values[i] != 0.0) return false;
  }
  return true;
}

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
  const bool holdBack = settings.minTime < settings.maxTime;

  estimator->startPayloadEstimation();
  const Clock::time_point start = Clock::now();

  const double t0 = samples.empty() ? 0.0 : samples.front().time;
  const double span = samples.empty() ? 0.0 : samples.back().time - t0;
  // The sample held back is the last one the estimator will take (it refuses samples without
  // IMU data).
  std::size_t lastUsable = samples.size();
  while (lastUsable > 0 && imuMissing(samples[lastUsable - 1])) --lastUsable;
  const bool tracing = options.traceStep > 0.0;
  double nextTracePoint = t0 + options.traceStep;
  const auto addTracePoint = [&](std::size_t i) {
    TracePoint p;
    p.time = samples[i].time;
    p.samples = i + 1;
    estimator->getEstimate(p.value, p.standardDeviation);
    result.trace.push_back(p);
    nextTracePoint = p.time + std::max(options.traceStep, 0.1 * (p.time - t0));
  };

  bool ended = false;
  for (std::size_t i = 0; i < samples.size() && !ended; ++i) {
    const RecordedSample& s = samples[i];
    if (options.speed > 0.0) {
      std::this_thread::sleep_until(start + toDuration((s.time - t0) / options.speed));
    }
    if (i + 1 == lastUsable && holdBack) {
      const double wait = settings.minTime + kHoldBackMargin - secondsSince(start);
      if (wait > 0.0) {
        if (wait > 0.2) {
          progress.clear();
          std::fprintf(stderr,
                       "zelto-payload: the recording ends before the estimator's minimum run "
                       "time (%g s) has passed; holding the last sample back for %.1f s\n",
                       settings.minTime, wait);
        }
        std::this_thread::sleep_until(start + toDuration(settings.minTime + kHoldBackMargin));
      }
    }
    result.samplesConsumed = i + 1;
    if (imuMissing(s)) {
      if (result.samplesWithoutImu++ == 0) result.firstLineWithoutImu = s.line;
      continue;
    }
    try {
      estimator->update(s.time, s.values);
    } catch (const std::exception& e) {
      result.ending = EstimationRunResult::Ending::Failed;
      result.failure =
          std::string(e.what()) + (s.line != 0 ? " (at line " + std::to_string(s.line) + ")" : "");
      ended = true;
    }
    if (!ended && !estimator->isEstimatorRunning()) ended = true;
    if (tracing && estimator->getSampleCount() != 0 &&
        (ended || i + 1 == lastUsable || s.time >= nextTracePoint)) {
      addTracePoint(i);
    }
    if (((i & 255u) == 0 && progress.due()) || ended) {
      progress.update(span > 0.0 ? (s.time - t0) / span : 1.0,
                      progressLabel(*estimator, s.time - t0, span));
    }
  }
  result.wallSeconds = secondsSince(start);
  progress.clear();

  result.samplesUsed = estimator->getSampleCount();
  result.estimateDefined = estimator->getEstimate(result.estimate, result.standardDeviation);
  result.successful = estimator->isEstimationSuccessful();
  if (result.ending != EstimationRunResult::Ending::Failed) {
    if (estimator->isEstimatorRunning()) {
      result.ending = EstimationRunResult::Ending::RecordingEnded;
    } else if (!result.successful && estimator->getRunTime() >= settings.maxTime) {
      result.ending = EstimationRunResult::Ending::TimedOut;
    } else {
      result.ending = EstimationRunResult::Ending::Converged;
    }
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
    writer.text(std::to_string(p.samples).c_str());
    for (double v : p.value) writer.value(v);
    for (double v : p.standardDeviation) writer.value(v);
    writer.endRow();
  }
  writer.close();
}

}  // namespace zelto::tool
