#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "CsvRecording.h"

namespace zelto::tool {

//! Sums from which RMS values about any offset b follow:
//! mean((x − b)²) = mean(x²) − 2·b·mean(x) + b².
struct AxisSums {
  std::size_t count = 0;
  double sum = 0.0;
  double sumOfSquares = 0.0;

  void add(double x) {
    ++count;
    sum += x;
    sumOfSquares += x * x;
  }
  double mean() const;
  //! RMS of x − offset; NaN without samples.
  double rms(double offset = 0.0) const;
  //! RMS about the mean.
  double standardDeviation() const;
};

struct CompensationSummary {
  std::size_t samples = 0;
  std::size_t ok = 0;
  std::size_t pending = 0;
  std::size_t refused = 0;
  std::size_t withoutImu = 0;
  bool dynamicMode = false;
  std::optional<double> tareTime;       //!< time of the sample before which the tare was asked
  std::array<AxisSums, 6> raw;          //!< measured force and torque, all handed-over samples
  std::array<AxisSums, 6> rawWhereOk;   //!< the same, only where the output was Ok
  std::array<AxisSums, 6> compensated;  //!< output where the compensator answered Ok
};

struct CompensationRunOptions {
  std::string payloadPath;
  std::optional<bool> dynamic;  //!< overrides the file's mode (through a modified copy)
  std::optional<double> tareAt;
  std::optional<std::string> outputCsv;  //!< time,fx,fy,fz,tx,ty,tz,code per sample
};

//! Compensates every sample with a ZeltoPayloadCompensator built from the payload parameter file
//! (public interface only). Samples without IMU data are not handed over (the library refuses
//! them by throwing) and appear in the output with code 5. Throws ToolError when the
//! compensator cannot be constructed or the output cannot be written.
CompensationSummary runCompensation(const std::vector<RecordedSample>& samples,
                                    const CompensationRunOptions& options);

}  // namespace zelto::tool
