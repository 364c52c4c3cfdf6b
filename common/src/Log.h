#pragma once

#include <string>

namespace zelto {

// Console lines on standard output:
//   "[" + orange "zlt" + "_" + coloured level word + "] " + message + "\n", flushed.
// Nothing is filtered, timestamped or buffered across lines.
void logInfo(const std::string& message);
void logWarn(const std::string& message);
void logError(const std::string& message);
void logInfoRuntime(const std::string& message);

//! A line without tag or level (diagnostics, the stop message, the report).
void printLine(const std::string& text);

//! The version line every library prints first on construction, e.g.
//! "ZeltoPayloadEstimator version: V1.0.3" for the prefix "ZeltoPayloadEstimator version: V".
void printVersion(const std::string& prefix);

//! Formats like printf("%f"): fixed notation with six decimals.
std::string formatFixed(double value);

}  // namespace zelto
