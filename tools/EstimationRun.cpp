#include "EstimationRun.h"

#include <zelto/ZeltoPayloadEstimator.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

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

std::string progressLabel(double dataSeconds, double totalSeconds, double wallSeconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%.1f / %.1f s of data, %.1f s elapsed", dataSeconds,
                totalSeconds, wallSeconds);
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
                                  const EstimationRunOptions& options, ConsoleRelay& relay,
                                  ProgressBar& progress) {
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

  relay.clearTranscript();
  estimator->startPayloadEstimation();
  const Clock::time_point start = Clock::now();

  const double t0 = samples.empty() ? 0.0 : samples.front().time;
  const double span = samples.empty() ? 0.0 : samples.back().time - t0;
  // The sample held back is the last one the estimator will take (it refuses samples without
  // IMU data).
  std::size_t lastUsable = samples.size();
  while (lastUsable > 0 && imuMissing(samples[lastUsable - 1])) --lastUsable;
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
          progress.redraw();
        }
        std::this_thread::sleep_until(start + toDuration(settings.minTime + kHoldBackMargin));
      }
    }
    result.samplesConsumed = i + 1;
    if (imuMissing(s)) {
      if (result.samplesWithoutImu++ == 0) result.firstLineWithoutImu = s.line;
      continue;
    }
    const Clock::time_point callStart = Clock::now();
    try {
      estimator->update(s.time, s.values);
    } catch (const std::exception& e) {
      result.ending = EstimationRunResult::Ending::Failed;
      result.failure =
          std::string(e.what()) + (s.line != 0 ? " (at line " + std::to_string(s.line) + ")" : "");
      ended = true;
    }
    result.updateSeconds += std::chrono::duration<double>(Clock::now() - callStart).count();
    ++result.updates;
    if (!ended && !estimator->isEstimatorRunning()) ended = true;
    if ((i & 255u) == 0 || ended) {
      progress.update(span > 0.0 ? (s.time - t0) / span : 1.0,
                      progressLabel(s.time - t0, span, secondsSince(start)));
    }
  }
  result.wallSeconds = secondsSince(start);
  progress.clear();

  result.report = parseEstimationReport(relay.transcript());
  if (result.ending != EstimationRunResult::Ending::Failed) {
    if (estimator->isEstimatorRunning()) {
      result.ending = EstimationRunResult::Ending::RecordingEnded;
    } else {
      result.ending = result.report ? EstimationRunResult::Ending::Converged
                                    : EstimationRunResult::Ending::TimedOut;
    }
  }
  result.successful = estimator->isEstimationSuccessful();
  const FileStamp after = stampOf(settings.payloadFilePath);
  result.fileWritten =
      after.exists && (!before.exists || after.time != before.time || after.size != before.size);
  // A run still in progress is simply abandoned with the object: stopping it through
  // startPayloadEstimation() would re-initialise the estimator first and print its lines.
  return result;
}

}  // namespace zelto::tool
