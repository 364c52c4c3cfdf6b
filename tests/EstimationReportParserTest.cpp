#include <gtest/gtest.h>

#include <string>

#include "EstimationReportParser.h"

namespace zelto::tool {
namespace {

// A report as the estimator prints it, between other console lines.
const std::string kReport =
    "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;135;206;250mINFO\x1b[0m] Inertial parameters "
    "written to file: payload.json\n"
    "\n" +
    std::string(100, '=') +
    "\n"
    "PAYLOAD ESTIMATION RESULTS\n"
    "Time: 6.52s (CONVERGED)\n" +
    std::string(100, '-') +
    "\n"
    "Mass:  1.2002 kg\n"
    "\x1b[90m       std: 6.2438e-05\x1b[0m\n"
    "CoM:  [0.0132, -0.0079, 0.0649] m [cx, cy, cz]\n"
    "\x1b[90m       std: [2.9168e-05, 2.9396e-05, 2.8730e-05]\x1b[0m\n"
    "Inertia: [0.0072, 0.0003, -0.0013, 0.0074, 0.0006, 0.0011] kg*m\xC2\xB2 [Ixx, Ixy, Ixz, "
    "Iyy, Iyz, Izz]\n"
    "\x1b[90m          std: [6.7160e-06, 4.8856e-06, 4.5091e-06, 7.1570e-06, 6.6338e-06, "
    "7.5749e-06]\x1b[0m\n"
    "Wrench Bias: [0.7962, -0.4495, 1.3004, 0.0249, -0.0391, 0.0116] N, N*m [Fx, Fy, Fz, Mx, "
    "My, Mz]\n"
    "\x1b[90m              std: [6.2543e-04, 6.2620e-04, 6.2539e-04, 3.4551e-05, 3.3043e-05, "
    "2.1430e-05]\x1b[0m\n" +
    std::string(100, '=') +
    "\n"
    "\n";

TEST(EstimationReportParser, ReadsEveryValueAndStandardDeviation) {
  const auto r = parseEstimationReport("some line before\n" + kReport + "a line after\n");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->elapsed, 6.52);
  const std::array<double, 16> values{1.2002,  0.0132, -0.0079, 0.0649, 0.0072, 0.0003,
                                      -0.0013, 0.0074, 0.0006,  0.0011, 0.7962, -0.4495,
                                      1.3004,  0.0249, -0.0391, 0.0116};
  const std::array<double, 16> sd{6.2438e-05, 2.9168e-05, 2.9396e-05, 2.8730e-05,
                                  6.7160e-06, 4.8856e-06, 4.5091e-06, 7.1570e-06,
                                  6.6338e-06, 7.5749e-06, 6.2543e-04, 6.2620e-04,
                                  6.2539e-04, 3.4551e-05, 3.3043e-05, 2.1430e-05};
  EXPECT_EQ(r->value, values);
  EXPECT_EQ(r->standardDeviation, sd);
}

TEST(EstimationReportParser, TakesTheLastOfSeveralReports) {
  std::string second = kReport;
  second.replace(second.find("Time: 6.52s"), 11, "Time: 9.00s");
  second.replace(second.find("std: 6.2438e-05"), 15, "std: 1.0000e+05");
  const auto r = parseEstimationReport(kReport + second);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->elapsed, 9.0);
  EXPECT_EQ(r->standardDeviation[0], 1e5);
}

TEST(EstimationReportParser, NoOrIncompleteReportGivesNothing) {
  EXPECT_FALSE(parseEstimationReport("").has_value());
  EXPECT_FALSE(parseEstimationReport("Estimator did not converge\n").has_value());
  // Cut after the inertia line: the bias lines are missing.
  EXPECT_FALSE(
      parseEstimationReport(kReport.substr(0, kReport.find("\x1b[90m          std"))).has_value());
  // A standard-deviation list one value short.
  std::string shortList = kReport;
  shortList.replace(shortList.find(", 2.8730e-05"), 12, "");
  EXPECT_FALSE(parseEstimationReport(shortList).has_value());
}

}  // namespace
}  // namespace zelto::tool
