#include "ConvergenceTrace.h"

#include <zelto/ZeltoPayloadEstimator.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <thread>

#include "EstimationReportParser.h"
#include "EstimationRun.h"
#include "EstimatorConfigFile.h"
#include "PayloadFile.h"
#include "ToolError.h"

namespace zelto::tool {

const char* const kParameterNames[16] = {"mass", "com_x", "com_y", "com_z", "Ixx", "Ixy",
                                         "Ixz",  "Iyy",   "Iyz",   "Izz",   "Fx",  "Fy",
                                         "Fz",   "Tx",    "Ty",    "Tz"};

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A threshold every finite standard deviation stays below, so the convergence test passes as
// soon as the minimum run time allows (the undefined covariance reports 1e5).
constexpr double kPassingThreshold = 1e300;
// Never reached: a trace estimator must not give up on its own.
constexpr double kNoTimeLimit = 1e9;
constexpr double kMargin = 0.02;

// A private scratch directory, removed with its contents.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("zelto-payload-trace-" + std::to_string(random()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
    }
    throw ToolError("cannot create a scratch directory under " +
                    fs::temp_directory_path().string());
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

struct Checkpoint {
  std::size_t index = 0;  // last sample included
  std::unique_ptr<ZeltoPayloadEstimator> estimator;
  std::string payloadPath;
  Clock::time_point started{};
  bool finished = false;
  std::size_t finishedAt = 0;
  std::string console;  // what it printed on the update that ended its run
};

// Restores Forward mode however the trace ends.
class DivertGuard {
 public:
  explicit DivertGuard(ConsoleRelay& relay) : relay_(relay) {
    relay_.setMode(ConsoleRelay::Mode::Divert);
    relay_.clearDiverted();
  }
  ~DivertGuard() {
    relay_.clearDiverted();
    relay_.setMode(ConsoleRelay::Mode::Forward);
  }
  DivertGuard(const DivertGuard&) = delete;
  DivertGuard& operator=(const DivertGuard&) = delete;

 private:
  ConsoleRelay& relay_;
};

// Hands one sample to a checkpoint's estimator and notes whether that ended its run.
void feed(Checkpoint& c, const RecordedSample& s, std::size_t index, ConsoleRelay& relay) {
  if (imuMissing(s)) return;
  const std::size_t mark = relay.diverted().size();
  try {
    c.estimator->update(s.time, s.values);
  } catch (const std::exception&) {
    c.finished = true;  // a failed estimator publishes nothing
    c.finishedAt = index;
    return;
  }
  if (!c.estimator->isEstimatorRunning()) {
    c.finished = true;
    c.finishedAt = index;
    c.console = relay.diverted().substr(mark);
  } else if (relay.diverted().size() > (1u << 20)) {
    relay.clearDiverted();
  }
}

}  // namespace

std::vector<std::size_t> tracePointIndices(const std::vector<RecordedSample>& samples,
                                           std::size_t consumed, double minimumStep) {
  std::vector<std::size_t> indices;
  if (consumed == 0 || consumed > samples.size()) return indices;
  const double t0 = samples.front().time;
  double next = t0 + minimumStep;
  // A point must be a sample the estimator takes: one with IMU data.
  std::size_t last = consumed;
  while (last > 0 && imuMissing(samples[last - 1])) --last;
  for (std::size_t i = 2; i + 1 < last; ++i) {
    if (samples[i].time >= next && !imuMissing(samples[i])) {
      indices.push_back(i);
      const double covered = samples[i].time - t0;
      next = samples[i].time + std::max(minimumStep, 0.1 * covered);
    }
  }
  if (last >= 3) indices.push_back(last - 1);
  return indices;
}

std::vector<TracePoint> traceConvergence(const std::vector<RecordedSample>& samples,
                                         std::size_t consumed, const TraceOptions& options,
                                         ConsoleRelay& relay, ProgressBar& progress) {
  const std::vector<std::size_t> indices =
      tracePointIndices(samples, consumed, options.minimumStep);
  std::vector<TracePoint> points;
  if (indices.empty()) return points;

  // Plan the minimum run time: the whole pass must fit in it with room to spare, and every
  // second beyond it is spent waiting.
  double updates = 0.0;
  for (std::size_t index : indices) updates += static_cast<double>(index);
  const double minTime = std::max(0.25, 1.25 * updates * options.secondsPerUpdate + 0.25);

  ScratchDirectory scratch;
  DivertGuard divert(relay);
  std::vector<Checkpoint> checkpoints(indices.size());
  for (std::size_t k = 0; k < indices.size(); ++k) {
    Checkpoint& c = checkpoints[k];
    c.index = indices[k];
    const std::string name = "point-" + std::to_string(k);
    const std::string configPath = scratch.file(name + ".json");
    std::ofstream(configPath, std::ios::binary) << derivedEstimatorConfig(
        options.configPath, minTime, kNoTimeLimit, kPassingThreshold, name + "-payload.json");
    c.payloadPath = payloadFileLocation(configPath, name + "-payload.json");
    try {
      c.estimator = std::make_unique<ZeltoPayloadEstimator>(configPath);
    } catch (const std::exception& e) {
      throw ToolError(std::string("cannot set up the convergence trace: ") + e.what());
    }
  }
  for (Checkpoint& c : checkpoints) {
    c.estimator->startPayloadEstimation();
    c.started = Clock::now();
  }

  // One pass: sample i goes to every estimator whose point lies beyond it.
  double done = 0.0;
  const std::size_t last = indices.back();
  std::size_t firstActive = 0;  // indices ascend, so finished points form a prefix
  for (std::size_t i = 0; i < last; ++i) {
    while (firstActive < checkpoints.size() && checkpoints[firstActive].index <= i) {
      ++firstActive;
    }
    for (std::size_t k = firstActive; k < checkpoints.size(); ++k) {
      Checkpoint& c = checkpoints[k];
      if (c.finished) continue;
      feed(c, samples[i], i, relay);
      done += 1.0;
    }
    if ((i & 1023u) == 0) progress.update(done / updates, "convergence trace");
  }

  // Then each is handed the sample at its point once its minimum run time is over.
  for (Checkpoint& c : checkpoints) {
    if (c.finished) continue;
    std::this_thread::sleep_until(c.started +
                                  std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(minTime + kMargin)));
    feed(c, samples[c.index], c.index, relay);
    progress.update(1.0, "convergence trace");
  }
  progress.clear();

  for (Checkpoint& c : checkpoints) {
    if (!c.finished || c.console.empty()) continue;
    const std::optional<ReportedEstimate> report = parseEstimationReport(c.console);
    std::error_code ec;
    if (!report || !fs::is_regular_file(c.payloadPath, ec)) continue;
    const PayloadFileContents file = readPayloadFile(c.payloadPath);
    TracePoint p;
    p.time = samples[c.finishedAt].time;
    p.samples = c.finishedAt + 1;
    p.value[0] = file.parameters.mass;
    for (std::size_t j = 0; j < 3; ++j) p.value[1 + j] = file.parameters.com[j];
    for (std::size_t j = 0; j < 6; ++j) p.value[4 + j] = file.parameters.inertia[j];
    for (std::size_t j = 0; j < 6; ++j) {
      p.value[10 + j] = file.bias ? (*file.bias)[j] : std::numeric_limits<double>::quiet_NaN();
    }
    p.standardDeviation = report->standardDeviation;
    points.push_back(p);
  }
  return points;
}

void writeTrace(const std::string& path, const std::vector<TracePoint>& points) {
  std::string header = "time,samples";
  for (const char* name : kParameterNames) header += std::string(",") + name;
  for (const char* name : kParameterNames) header += std::string(",sd_") + name;
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
