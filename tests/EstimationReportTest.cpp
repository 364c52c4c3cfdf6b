#include <gtest/gtest.h>

#include <Eigen/Core>
#include <algorithm>
#include <iostream>
#include <locale>
#include <string>

#include "EstimationReport.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;
using Vector16 = Eigen::Matrix<double, 16, 1>;

const std::string kDoubleRule(100, '=');
const std::string kSingleRule(100, '-');

Vector16 solution() {
  Vector16 s;
  s << 2.0,                                     // mass: padded to width 7
      -0.0123, 0.0451, 1.5,                     // centre of mass
      0.0031, -4e-05, 0.25, 12.5, -0.5, 0.001,  // inertia
      0.53, -1.2, 12.345, 0.0, -0.00004, 3.0;   // bias: all wider than 5
  return s;
}

Vector16 variances() {
  Vector16 v;
  v << 1e-4,                       // σ = 1e-2
      0.0, 1.52413839e-06, 4e200,  // σ = 0, 1.23456e-3, 2e100
      2.5e-7, 9.0, 1.0, 0.25, 1e-300, 6.4e-11, 1.0e-6, 4.0e-6, 9.0e-6, 1.6e-5, 2.5e-5, 3.6e-5;
  return v;
}

const std::string kExpectedReport =
    "\n" + kDoubleRule + "\n" +
    "PAYLOAD ESTIMATION RESULTS\n"
    "Time: 6.46s (CONVERGED)\n" +
    kSingleRule + "\n" +
    "Mass:  2.0000 kg\n"
    "\x1b[90m       std: 1.0000e-02\x1b[0m\n"
    "CoM:  [-0.0123, 0.0451, 1.5000] m [cx, cy, cz]\n"
    "\x1b[90m       std: [0.0000e+00, 1.2346e-03, 2.0000e+100]\x1b[0m\n"
    "Inertia: [0.0031, -0.0000, 0.2500, 12.5000, -0.5000, 0.0010] kg*m\xC2\xB2 [Ixx, Ixy, Ixz, "
    "Iyy, Iyz, Izz]\n"
    "\x1b[90m          std: [5.0000e-04, 3.0000e+00, 1.0000e+00, 5.0000e-01, 1.0000e-150, "
    "8.0000e-06]\x1b[0m\n"
    "Wrench Bias: [0.5300, -1.2000, 12.3450, 0.0000, -0.0000, 3.0000] N, N*m [Fx, Fy, Fz, Mx, My, "
    "Mz]\n"
    "\x1b[90m              std: [1.0000e-03, 2.0000e-03, 3.0000e-03, 4.0000e-03, 5.0000e-03, "
    "6.0000e-03]\x1b[0m\n" +
    kDoubleRule + "\n" + "\n";

struct CommaNumpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\1"; }
};

TEST(EstimationReport, PrintsFifteenExactLines) {
  CoutCapture out;
  printEstimationReport(solution(), variances(), 6.4567);
  const std::string text = out.str();
  EXPECT_EQ(text, kExpectedReport);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 15);
  // With the gate's counts, one more line stands before the closing rule.
  out.reset();
  printEstimationReport(solution(), variances(), 6.4567, 0.0123456, 1);
  const std::string tail =
      "Samples left out: 1.23 % (outliers and contact; 1 contact episode)\n" + kDoubleRule + "\n\n";
  EXPECT_EQ(out.str(),
            kExpectedReport.substr(0, kExpectedReport.size() - kDoubleRule.size() - 2) + tail);
}

TEST(EstimationReport, StaticResultSaysSoAndNamesTheInertiaNotIdentified) {
  CoutCapture out;
  printEstimationReport(solution(), variances(), 6.4567, -1.0, 0,
                        {true, true, true, false, false, false});
  std::string expected = kExpectedReport;
  expected.replace(expected.find("(CONVERGED)"), 11, "(CONVERGED FOR STATIC COMPENSATION)");
  expected.insert(expected.size() - kDoubleRule.size() - 2,
                  "Not identified by the motion: Iyy, Iyz, Izz (the prior's values, made "
                  "physically consistent; keep dynamic compensation off)\n");
  EXPECT_EQ(out.str(), expected);
}

TEST(EstimationReport, MassBelowTenIsPaddedToWidthSeven) {
  Vector16 s = Vector16::Zero();
  s[0] = 0.2;
  CoutCapture out;
  printEstimationReport(s, Vector16::Zero(), 0.0);
  const std::string text = out.str();
  EXPECT_NE(text.find("\nMass:  0.2000 kg\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nTime: 0.00s (CONVERGED)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\x1b[90m       std: 0.0000e+00\x1b[0m\n"), std::string::npos) << text;
  s[0] = 123.456789;
  out.reset();
  printEstimationReport(s, Vector16::Zero(), 100.0);
  EXPECT_NE(out.str().find("\nMass: 123.4568 kg\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\nTime: 100.00s (CONVERGED)\n"), std::string::npos) << out.str();
}

TEST(EstimationReport, HostStreamFormatDoesNotLeakInAndIsRestored) {
  std::cout.setf(std::ios_base::showpos | std::ios_base::uppercase | std::ios_base::showpoint);
  std::cout.setf(std::ios_base::left, std::ios_base::adjustfield);
  std::cout.setf(std::ios_base::hex, std::ios_base::basefield);
  std::cout.precision(9);
  std::cout.fill('*');
  const std::locale hostLocale(std::locale::classic(), new CommaNumpunct);
  const std::locale previousLocale = std::cout.imbue(hostLocale);
  const std::ios_base::fmtflags hostFlags = std::cout.flags();

  std::string printed;
  {
    CoutCapture out;
    printEstimationReport(solution(), variances(), 6.4567);
    printed = out.str();
  }
  const std::ios_base::fmtflags flagsAfter = std::cout.flags();
  const std::streamsize precisionAfter = std::cout.precision();
  const char fillAfter = std::cout.fill();
  const std::locale localeAfter = std::cout.getloc();

  // Back to the process defaults before any assertion prints.
  std::cout.imbue(previousLocale);
  std::cout.flags(std::ios_base::dec | std::ios_base::skipws);
  std::cout.precision(6);
  std::cout.fill(' ');

  EXPECT_EQ(printed, kExpectedReport);
  EXPECT_EQ(flagsAfter, hostFlags);
  EXPECT_EQ(precisionAfter, 9);
  EXPECT_EQ(fillAfter, '*');
  EXPECT_TRUE(localeAfter == hostLocale);
}

TEST(EstimationReport, DefaultFormatIsUnchangedAfterwards) {
  {
    CoutCapture out;
    printEstimationReport(solution(), variances(), 1.0);
  }
  CoutCapture out;
  std::cout << 0.5 << " " << 1e-7 << " " << 2.0 << std::endl;
  EXPECT_EQ(out.str(), "0.5 1e-07 2\n");
}

}  // namespace
}  // namespace zelto
