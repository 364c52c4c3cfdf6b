#pragma once

#include <ostream>
#include <string>

#include "PayloadFile.h"
#include "ConsistencyReport.h"
#include "ToolOptions.h"

namespace zelto::tool {

// The subcommands; each returns the process exit status (ExitStatus) and throws ToolError or
// UsageError for input it cannot use.
int runEstimate(const EstimateOptions& options);
int runCompensate(const CompensateOptions& options);
int runCheck(const CheckOptions& options);
int runDemo(const DemoOptions& options, const std::string& executablePath);

//! The parameters of a payload parameter file, the quantities derived for the check, each
//! condition and a one-line verdict.
void printConsistency(std::ostream& out, const std::string& path,
                      const PayloadFileContents& contents, const ConsistencyReport& report);

//! printf-style formatting of one number.
std::string formatNumber(const char* format, double value);

}  // namespace zelto::tool
