#include <cmath>
#include <iostream>
#include <optional>

#include "Commands.h"
#include "CsvRecording.h"
#include "EstimatorConfigFile.h"
#include "StreamImport.h"
#include "ToolError.h"

namespace zelto::tool {

ImportOptions ImportCommandOptions::importOptions() const {
  ImportOptions o;
  const double scale = timeUnitScale(timeUnit);
  const auto source = [&](StreamSource& s, const std::optional<std::string>& path,
                          const std::optional<std::string>& axes) {
    s.path = path.value_or("");
    s.timeColumn = timeColumn.value_or("");
    s.timeScale = scale;
    if (axes) s.axes = AxisMapping::parse(*axes);
  };
  source(o.wrench, wrench, std::nullopt);
  source(o.accelerometer, accel, accelAxes);
  source(o.gyro, gyro, gyroAxes);
  source(o.imu, imu, imuAxes);
  source(o.orientation, orientation, std::nullopt);
  source(o.position, position, std::nullopt);
  o.accelerometerUnit = accelUnit == "g" ? AccelerationUnit::StandardGravity
                                         : AccelerationUnit::MetresPerSecondSquared;
  o.gravity = gravity;
  o.delay = delay;
  o.measureNoiseBlock = config.has_value();
  return o;
}

int runImport(const ImportCommandOptions& options) {
  const ImportResult result = importStreams(options.importOptions());
  std::cerr << "zelto-payload: " << result.report.text();
  writeRecording(options.output, result.samples);
  std::cerr << "zelto-payload: " << result.samples.size() << " rows written to " << options.output
            << "\n";
  if (options.config) {
    // The recording written is aligned: the delay was applied while resampling, so the copy
    // for estimating it must not shift it again. Only a delay that could not be measured (none
    // applied) leaves the configuration's own, which may know better.
    const ImportReport& r = result.report;
    const bool applied = r.delayGiven || r.measuredDelay.has_value();
    std::optional<double> own;
    bool ownRates = false;
    try {
      const EstimatorSettings settings = readEstimatorSettings(*options.config);
      own = settings.imuDelay;
      ownRates = settings.noiseSampleRate;
    } catch (const ToolError&) {
      // Only for the messages below; the copy reports what is wrong with the file.
    }
    ImuDelayEdit edit;
    if (applied) edit.action = ImuDelayEdit::Action::Remove;
    const std::string droppedRates =
        ownRates && result.noiseRateBlock.empty() ? droppedRatesNote(*options.config) : "";
    writeConfigWithNoise(*options.config, result.noiseBlock, *options.configOut, edit,
                         result.noiseRateBlock);
    std::cerr << "zelto-payload: " << *options.configOut << " is " << *options.config
              << " with the noise block measured at the streams' own rates: " << result.noiseBlock
              << "\n";
    if (!result.noiseRateBlock.empty()) {
      std::cerr << "zelto-payload: and the rates at which its interpolated channels' variances "
                   "hold: \"measurement_noise_sample_rate\": "
                << result.noiseRateBlock << "\n";
    }
    std::cerr << droppedRates;
    if (applied) {
      const std::string objection = r.measuredDelay ? configurationObjection(*r.measuredDelay)
                                    : std::abs(r.delay) <= kConfigurableDelay ? ""
                                                                              : "beyond ±25 ms";
      std::cerr << "zelto-payload: " << *options.configOut << " has no \"imu_delay\""
                << (own ? " (the configuration's " + formatNumber("%g", *own) + " s left out)" : "")
                << ": the recording is aligned, its delay of "
                << formatNumber("%+.2f", 1e3 * r.delay) << " ms applied while resampling";
      if (objection.empty()) {
        std::cerr << "; a host that joins these streams itself configures \"imu_delay\": "
                  << formatNumber("%g", delayAsWritten(r.delay));
      }
      std::cerr << "\n";
    } else {
      std::cerr << "zelto-payload: \"imu_delay\" as in " << *options.config
                << ": the delay could not be measured and none was applied\n";
    }
  }
  return kExitOk;
}

}  // namespace zelto::tool
