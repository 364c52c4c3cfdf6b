#include "EstimationReport.h"

#include <cmath>
#include <iomanip>
#include <iostream>
#include <locale>
#include <string>

#include "StreamFormatGuard.h"

namespace zelto {
namespace {

constexpr const char* kGrey = "\x1b[90m";
constexpr const char* kReset = "\x1b[0m";

// Values first..last-1, fixed with 4 decimals in the given minimum width, joined by ", ".
void fixedList(std::ostream& out, const Eigen::Matrix<double, 16, 1>& v, int first, int last,
               int width) {
  out << std::fixed << std::setprecision(4);
  for (int i = first; i < last; ++i) {
    out << (i > first ? ", " : "") << std::setw(width) << v[i];
  }
}

// Standard deviations of first..last-1 in scientific notation with 4 decimals, joined by ", ".
void deviationList(std::ostream& out, const Eigen::Matrix<double, 16, 1>& variances, int first,
                   int last) {
  out << std::scientific << std::setprecision(4);
  for (int i = first; i < last; ++i) {
    out << (i > first ? ", " : "") << std::sqrt(variances[i]);
  }
}

}  // namespace

void printEstimationReport(const Eigen::Matrix<double, 16, 1>& solution,
                           const Eigen::Matrix<double, 16, 1>& variances, double elapsedSeconds) {
  std::ostream& out = std::cout;
  const StreamFormatGuard guard(out);
  out.fill(' ');
  out.unsetf(std::ios_base::adjustfield | std::ios_base::showpos | std::ios_base::showpoint |
             std::ios_base::uppercase);
  out.setf(std::ios_base::right, std::ios_base::adjustfield);
  const std::string doubleRule(100, '=');
  const std::string singleRule(100, '-');

  out << std::endl;
  out << doubleRule << std::endl;
  out << "PAYLOAD ESTIMATION RESULTS" << std::endl;
  out << "Time: " << std::fixed << std::setprecision(2) << elapsedSeconds << "s (CONVERGED)"
      << std::endl;
  out << singleRule << std::endl;

  out << "Mass: ";
  fixedList(out, solution, 0, 1, 7);
  out << " kg" << std::endl;
  out << kGrey << "       std: ";
  deviationList(out, variances, 0, 1);
  out << kReset << std::endl;

  out << "CoM:  [";
  fixedList(out, solution, 1, 4, 6);
  out << "] m [cx, cy, cz]" << std::endl;
  out << kGrey << "       std: [";
  deviationList(out, variances, 1, 4);
  out << "]" << kReset << std::endl;

  out << "Inertia: [";
  fixedList(out, solution, 4, 10, 6);
  out << "] kg*m\xC2\xB2 [Ixx, Ixy, Ixz, Iyy, Iyz, Izz]" << std::endl;
  out << kGrey << "          std: [";
  deviationList(out, variances, 4, 10);
  out << "]" << kReset << std::endl;

  out << "Wrench Bias: [";
  fixedList(out, solution, 10, 16, 5);
  out << "] N, N*m [Fx, Fy, Fz, Mx, My, Mz]" << std::endl;
  out << kGrey << "              std: [";
  deviationList(out, variances, 10, 16);
  out << "]" << kReset << std::endl;

  out << doubleRule << std::endl;
  out << std::endl;
}

}  // namespace zelto
