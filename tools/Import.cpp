#include <iostream>

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
    writeConfigWithNoise(*options.config, result.noiseBlock, *options.configOut);
    std::cerr << "zelto-payload: " << *options.configOut << " is " << *options.config
              << " with the noise block measured at the streams' own rates: " << result.noiseBlock
              << "\n";
  }
  return kExitOk;
}

}  // namespace zelto::tool
