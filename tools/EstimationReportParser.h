#pragma once

#include <array>
#include <optional>
#include <string>

namespace zelto::tool {

//! The numbers of the report the estimator prints when a run converges.
struct ReportedEstimate {
  double elapsed = 0.0;  //!< s, the run time the report states
  //! mass, com x y z, Ixx Ixy Ixz Iyy Iyz Izz, force bias x y z, torque bias x y z, as printed
  //! (four decimals; the payload parameter file has more digits)
  std::array<double, 16> value{};
  std::array<double, 16> standardDeviation{};  //!< same order, five significant digits
};

//! Reads the last complete estimation report out of console text (colour sequences and other
//! lines around it are skipped). The report is the only place where the estimator publishes the
//! standard deviations of its estimate. Returns nothing when no complete report is found.
std::optional<ReportedEstimate> parseEstimationReport(const std::string& consoleText);

}  // namespace zelto::tool
