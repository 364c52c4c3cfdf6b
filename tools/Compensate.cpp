#include <iomanip>
#include <iostream>

#include "Commands.h"
#include "CompensationRun.h"
#include "CsvRecording.h"
#include "ToolError.h"

namespace zelto::tool {

int runCompensate(const CompensateOptions& options) {
  const std::vector<RecordedSample> samples = readRecording(options.recording);
  CompensationRunOptions run;
  run.payloadPath = options.payload;
  run.dynamic = options.dynamic;
  run.tareAt = options.tareAt;
  run.outputCsv = options.output;
  const CompensationSummary s = runCompensation(samples, run);

  std::cout << "zelto-payload: compensated " << s.samples << " samples in "
            << (s.dynamicMode ? "dynamic" : "static") << " mode: " << s.ok << " ok, " << s.pending
            << " pending tare, " << s.refused << " refused";
  if (s.withoutImu != 0) std::cout << " (" << s.withoutImu << " without IMU data)";
  std::cout << "\n";
  if (s.tareTime) {
    std::cout << "zelto-payload: tare requested before the sample at t = "
              << formatNumber("%.6g", *s.tareTime) << " s\n";
  } else if (options.tareAt) {
    std::cout << "zelto-payload: no sample at or after t = " << formatNumber("%g", *options.tareAt)
              << " s, no tare requested\n";
  }
  std::cout << "RMS over the " << s.ok << " samples with output (raw = as measured):\n"
            << "  axis         raw RMS   compensated RMS   compensated mean   compensated std\n";
  const char* axes[6] = {"fx [N]  ", "fy [N]  ", "fz [N]  ", "tx [N*m]", "ty [N*m]", "tz [N*m]"};
  for (std::size_t j = 0; j < 6; ++j) {
    std::cout << "  " << axes[j] << "  " << std::setw(12)
              << formatNumber("%.5g", s.rawWhereOk[j].rms()) << "  " << std::setw(16)
              << formatNumber("%.5g", s.compensated[j].rms()) << "  " << std::setw(17)
              << formatNumber("%.5g", s.compensated[j].mean()) << "  " << std::setw(16)
              << formatNumber("%.5g", s.compensated[j].standardDeviation()) << "\n";
  }
  std::cout << "compensated wrench written to " << options.output << "\n";
  return kExitOk;
}

}  // namespace zelto::tool
