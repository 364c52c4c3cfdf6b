#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "ToolError.h"

namespace zelto::tool {

std::string formatNumber(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

namespace {

template <std::size_t N>
std::string list(const std::array<double, N>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) text += ", ";
    text += formatNumber("%.6g", values[i]);
  }
  return text + "]";
}

const char* passed(bool ok) { return ok ? "passed" : "FAILED"; }

}  // namespace

void printConsistency(std::ostream& out, const std::string& path,
                      const PayloadFileContents& contents, const ConsistencyReport& report) {
  const InertialParameters& p = contents.parameters;
  out << "Payload parameter file: " << path << "\n"
      << "  mass                               " << formatNumber("%.6g", p.mass) << " kg\n"
      << "  centre of mass                     " << list(p.com) << " m\n"
      << "  inertia about the sensor origin    " << list(p.inertia)
      << " kg*m^2 [Ixx, Ixy, Ixz, Iyy, Iyz, Izz]\n";
  if (contents.bias) {
    out << "  sensor bias                        " << list(*contents.bias)
        << " N, N*m [Fx, Fy, Fz, Tx, Ty, Tz]\n";
  }
  out << "  compensation mode                  "
      << (contents.dynamicCompensation ? "dynamic (gravity and inertia)" : "static (gravity)")
      << "\n";
  if (!contents.notIdentified.empty()) {
    out << "  not identified by the motion       ";
    for (std::size_t i = 0; i < contents.notIdentified.size(); ++i) {
      out << (i != 0 ? ", " : "") << contents.notIdentified[i];
    }
    out << " (keep dynamic compensation off)\n";
  }
  if (report.finite) {
    out << "  inertia about the centre of mass   " << list(report.inertiaAboutCom) << " kg*m^2\n"
        << "  principal moments about the COM    " << list(report.principalMoments) << " kg*m^2\n"
        << "  check: mass > 0                                   " << passed(report.massPositive)
        << "\n"
        << "  check: principal moments about the COM >= 0      "
        << passed(report.momentsNonNegative) << "\n"
        << "  check: principal moments satisfy A + B >= C       " << passed(report.triangle)
        << "\n";
  }
  if (report.consistentOverIdentified) {
    out << "Verdict: physically consistent over the identified parameters (not with the values "
           "the file holds for those not identified)\n";
  } else if (report.consistent) {
    out << "Verdict: physically consistent\n";
  } else {
    out << "Verdict: NOT physically consistent: ";
    for (std::size_t i = 0; i < report.problems.size(); ++i) {
      out << (i != 0 ? "; " : "") << report.problems[i];
    }
    out << "\n";
  }
}

int runCheck(const CheckOptions& options) {
  const PayloadFileContents contents = readPayloadFile(options.file);
  const ConsistencyReport report =
      checkPhysicalConsistency(contents.parameters, contents.notIdentified);
  printConsistency(std::cout, options.file, contents, report);
  return report.consistent ? kExitOk : kExitFailed;
}

}  // namespace zelto::tool
