#include "CompensationRun.h"

#include <zelto/ZeltoPayloadCompensator.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>

#include "EstimationReplay.h"
#include "PayloadFile.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

namespace fs = std::filesystem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

double AxisSums::mean() const { return count == 0 ? kNaN : sum / static_cast<double>(count); }

double AxisSums::rms(double offset) const {
  if (count == 0) return kNaN;
  const double n = static_cast<double>(count);
  const double meanSquare = sumOfSquares / n - 2.0 * offset * sum / n + offset * offset;
  return std::sqrt(std::max(0.0, meanSquare));
}

double AxisSums::standardDeviation() const { return rms(mean()); }

CompensationSummary runCompensation(const std::vector<RecordedSample>& samples,
                                    const CompensationRunOptions& options) {
  CompensationSummary summary;
  std::unique_ptr<ZeltoPayloadCompensator> compensator;
  {
    // The mode is a member of the file: an override goes through a modified copy.
    std::unique_ptr<PayloadModeCopy> modified;
    if (options.dynamic) {
      std::error_code ec;
      if (!fs::is_regular_file(options.payloadPath, ec)) {
        // Let the library word the problem, as it does without an override.
        try {
          ZeltoPayloadCompensator probe(options.payloadPath);
        } catch (const std::exception& e) {
          throw ToolError(e.what());
        }
      }
      modified = std::make_unique<PayloadModeCopy>(options.payloadPath, *options.dynamic);
    }
    const std::string path = modified ? modified->path() : options.payloadPath;
    try {
      compensator = std::make_unique<ZeltoPayloadCompensator>(path);
    } catch (const std::exception& e) {
      throw ToolError(e.what());
    }
    // The library has accepted the file, so the tool's own reader can tell the mode.
    summary.dynamicMode = options.dynamic
                              ? *options.dynamic
                              : readPayloadFile(options.payloadPath).dynamicCompensation;
  }

  std::unique_ptr<CsvWriter> writer;
  if (options.outputCsv) {
    writer = std::make_unique<CsvWriter>(*options.outputCsv, "time,fx,fy,fz,tx,ty,tz,code");
  }

  std::array<double, 12> output{};
  for (const RecordedSample& s : samples) {
    ++summary.samples;
    if (options.tareAt && !summary.tareTime && s.time >= *options.tareAt) {
      compensator->tareCompensatedWrench();
      summary.tareTime = s.time;
    }
    int code = Error;
    if (imuMissing(s.values)) {
      ++summary.withoutImu;
    } else {
      for (std::size_t j = 0; j < 6; ++j) summary.raw[j].add(s.values[j]);
      code = compensator->update(s.time, s.values, output);
    }
    if (code == Ok) {
      ++summary.ok;
      for (std::size_t j = 0; j < 6; ++j) {
        summary.rawWhereOk[j].add(s.values[j]);
        summary.compensated[j].add(output[j]);
      }
    } else if (code == Pending) {
      ++summary.pending;
    } else {
      ++summary.refused;
    }
    if (writer) {
      writer->time(s.time);
      for (std::size_t j = 0; j < 6; ++j) {
        writer->value(code == Error ? kNaN : code == Pending ? 0.0 : output[j]);
      }
      writer->text(std::to_string(code).c_str());
      writer->endRow();
    }
  }
  if (writer) writer->close();
  return summary;
}

}  // namespace zelto::tool
