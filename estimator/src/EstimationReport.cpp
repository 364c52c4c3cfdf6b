#include "EstimationReport.h"

#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>

#include "Log.h"

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
                           const Eigen::Matrix<double, 16, 1>& variances, double elapsedSeconds,
                           double rejectedShare, std::uint64_t contactEpisodes) {
  // Each line is formatted in a stream of its own and printed whole: standard output's format
  // stays as the host set it, and another thread's line cannot land inside a report line.
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.setf(std::ios_base::right, std::ios_base::adjustfield);
  const auto line = [&out] {
    printLine(out.str());
    out.str("");
  };
  const std::string doubleRule(100, '=');
  const std::string singleRule(100, '-');

  line();
  out << doubleRule;
  line();
  out << "PAYLOAD ESTIMATION RESULTS";
  line();
  out << "Time: " << std::fixed << std::setprecision(2) << elapsedSeconds << "s (CONVERGED)";
  line();
  out << singleRule;
  line();

  out << "Mass: ";
  fixedList(out, solution, 0, 1, 7);
  out << " kg";
  line();
  out << kGrey << "       std: ";
  deviationList(out, variances, 0, 1);
  out << kReset;
  line();

  out << "CoM:  [";
  fixedList(out, solution, 1, 4, 6);
  out << "] m [cx, cy, cz]";
  line();
  out << kGrey << "       std: [";
  deviationList(out, variances, 1, 4);
  out << "]" << kReset;
  line();

  out << "Inertia: [";
  fixedList(out, solution, 4, 10, 6);
  out << "] kg*m\xC2\xB2 [Ixx, Ixy, Ixz, Iyy, Iyz, Izz]";
  line();
  out << kGrey << "          std: [";
  deviationList(out, variances, 4, 10);
  out << "]" << kReset;
  line();

  out << "Wrench Bias: [";
  fixedList(out, solution, 10, 16, 5);
  out << "] N, N*m [Fx, Fy, Fz, Mx, My, Mz]";
  line();
  out << kGrey << "              std: [";
  deviationList(out, variances, 10, 16);
  out << "]" << kReset;
  line();

  if (rejectedShare >= 0.0) {
    out << "Samples left out: " << std::fixed << std::setprecision(2) << 100.0 * rejectedShare
        << " % (outliers and contact; " << contactEpisodes << " contact episode"
        << (contactEpisodes == 1 ? "" : "s") << ")";
    line();
  }
  out << doubleRule;
  line();
  line();
}

}  // namespace zelto
