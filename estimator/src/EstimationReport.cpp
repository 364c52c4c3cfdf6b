#include "EstimationReport.h"

#include <cmath>
#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>

#include "Log.h"
#include "ParameterList.h"

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

// One quantity: its values on one line with the unit and the parameters' symbols, and their
// standard deviations on a grey line below. A single value stands without brackets.
struct ReportBlock {
  const char* title;
  ParameterGroup group;
  int width;            // minimum width of each value
  int deviationIndent;  // spaces before "std: "
};

constexpr ReportBlock kBlocks[] = {{"Mass: ", kMassParameters, 7, 7},
                                   {"CoM:  ", kComParameters, 6, 7},
                                   {"Inertia: ", kInertiaParameters, 6, 10},
                                   {"Wrench Bias: ", kBiasParameters, 5, 14}};

// "kg", "N, N*m": the group's distinct units in order.
std::string unitsOf(ParameterGroup group) {
  std::string units;
  for (std::size_t i = group.first; i < group.end; ++i) {
    if (i == group.first || std::strcmp(kParameters[i].unit, kParameters[i - 1].unit) != 0) {
      units += (units.empty() ? "" : ", ") + std::string(kParameters[i].unit);
    }
  }
  return units;
}

std::string symbolsOf(ParameterGroup group) {
  std::string symbols;
  for (std::size_t i = group.first; i < group.end; ++i) {
    symbols += (i > group.first ? ", " : "") + std::string(kParameters[i].symbol);
  }
  return symbols;
}

template <typename PrintLine>
void printBlock(std::ostringstream& out, const PrintLine& line, const ReportBlock& block,
                const Eigen::Matrix<double, 16, 1>& solution,
                const Eigen::Matrix<double, 16, 1>& variances) {
  const int first = static_cast<int>(block.group.first);
  const int end = static_cast<int>(block.group.end);
  const bool list = end - first > 1;
  out << block.title << (list ? "[" : "");
  fixedList(out, solution, first, end, block.width);
  out << (list ? "] " : " ") << unitsOf(block.group);
  if (list) out << " [" << symbolsOf(block.group) << "]";
  line();
  out << kGrey << std::string(static_cast<std::size_t>(block.deviationIndent), ' ')
      << "std: " << (list ? "[" : "");
  deviationList(out, variances, first, end);
  out << (list ? "]" : "") << kReset;
  line();
}

}  // namespace

std::string unidentifiedInertiaNames(const InertiaEntryFlags& inertiaIdentified) {
  std::string names;
  for (std::size_t j = 0; j < inertiaIdentified.size(); ++j) {
    if (!inertiaIdentified[j]) {
      names +=
          (names.empty() ? "" : ", ") + std::string(kParameters[kInertiaParameters.first + j].name);
    }
  }
  return names;
}

void printEstimationReport(const Eigen::Matrix<double, 16, 1>& solution,
                           const Eigen::Matrix<double, 16, 1>& variances, double elapsedSeconds,
                           double rejectedShare, std::uint64_t contactEpisodes,
                           const InertiaEntryFlags& inertiaIdentified) {
  const std::string unidentified = unidentifiedInertiaNames(inertiaIdentified);
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
  out << "Time: " << std::fixed << std::setprecision(2) << elapsedSeconds
      << (unidentified.empty() ? "s (CONVERGED)" : "s (CONVERGED FOR STATIC COMPENSATION)");
  line();
  out << singleRule;
  line();

  for (const ReportBlock& block : kBlocks) printBlock(out, line, block, solution, variances);

  if (rejectedShare >= 0.0) {
    out << "Samples left out: " << std::fixed << std::setprecision(2) << 100.0 * rejectedShare
        << " % (outliers and contact; " << contactEpisodes << " contact episode"
        << (contactEpisodes == 1 ? "" : "s") << ")";
    line();
  }
  if (!unidentified.empty()) {
    out << "Not identified by the motion: " << unidentified
        << " (the prior's values, made physically consistent; keep dynamic compensation off)";
    line();
  }
  out << doubleRule;
  line();
  line();
}

}  // namespace zelto
