#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ConsistencyReport.h"
#include "CsvRecording.h"
#include "NoiseEstimate.h"
#include "PayloadFile.h"
#include "ToolOptions.h"

namespace zelto::tool {

// The subcommands; each returns the process exit status (ExitStatus) and throws ToolError or
// UsageError for input it cannot use.
int runNoise(const NoiseOptions& options);
int runEstimate(const EstimateOptions& options);
int runCompensate(const CompensateOptions& options);
int runCheck(const CheckOptions& options);
int runDemo(const DemoOptions& options, const std::string& executablePath);

//! The parameters of a payload parameter file, the quantities derived for the check, each
//! condition and a one-line verdict.
void printConsistency(std::ostream& out, const std::string& path,
                      const PayloadFileContents& contents, const ConsistencyReport& report);

//! measureNoise of a recording's rows; throws std::invalid_argument as it does.
NoiseEstimate measureRecordingNoise(const std::vector<RecordedSample>& samples);

//! What `noise` prints before the block: rows and median rate, the table of standard
//! deviations and variances, the derivative's factor and the signs of trouble.
void printNoiseReport(std::ostream& out, const std::string& recording, const NoiseEstimate& e);

//! The one line (with its line end) that `estimate` prints on standard error when a configured
//! variance is more than ten times larger or smaller than the one measured in the recording:
//! the worst of them, both values, how many more there are, and the `noise` command that writes
//! the measured block into the configuration. Empty when every variance is within ten times,
//! or when the configuration or the recording cannot be read or measured (the run reports it).
std::string noiseHint(const std::string& configPath, const std::string& recordingPath,
                      const std::vector<RecordedSample>& samples);

//! The word as a POSIX shell reads it back: unchanged when plain, else in single quotes.
std::string shellWord(const std::string& word);

//! printf-style formatting of one number.
std::string formatNumber(const char* format, double value);

}  // namespace zelto::tool
