#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <streambuf>
#include <string>
#include <vector>

#include "Log.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;

TEST(Log, LinesCarryTagLevelColoursAndNewline) {
  CoutCapture out;
  logInfo("Estimator initialized");
  logWarn("w");
  logError("e");
  logInfoRuntime("r");
  EXPECT_EQ(out.str(),
            "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;135;206;250mINFO\x1b[0m] Estimator "
            "initialized\n"
            "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;255;255;0mWARN\x1b[0m] w\n"
            "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;255;0;0mERROR\x1b[0m] e\n"
            "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;61;104;245mINFO_RUNTIME\x1b[0m] r\n");
}

TEST(Log, EmptyAndUtf8MessagesPassUnchanged) {
  CoutCapture out;
  logInfo("");
  logError("Tare requested \xE2\x80\x94 kg*m\xC2\xB2");
  EXPECT_EQ(out.str(),
            "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;135;206;250mINFO\x1b[0m] \n"
            "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;255;0;0mERROR\x1b[0m] Tare requested "
            "\xE2\x80\x94 kg*m\xC2\xB2\n");
}

TEST(Log, PlainLineAndVersionLine) {
  CoutCapture out;
  printLine("[InertialWrenchCompensation] stopped estimator before convergence.");
  printVersion("ZeltoPayloadEstimator version: V");
  printVersion("ZeltoPayloadCompensator version: V");
  EXPECT_EQ(out.str(), "[InertialWrenchCompensation] stopped estimator before convergence.\n" +
                           test::infoLine("ZeltoPayloadEstimator version: V1.0.3") +
                           test::infoLine("ZeltoPayloadCompensator version: V1.0.3"));
}

// Records every write the stream makes to its buffer, one entry per call.
class WriteRecorder : public std::streambuf {
 public:
  std::vector<std::string> writes;

 protected:
  int_type overflow(int_type c) override {
    writes.emplace_back(1, traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    writes.emplace_back(s, static_cast<std::size_t>(n));
    return n;
  }
};

TEST(Log, EveryLineReachesTheStreamInOneWrite) {
  // A line longer than the stack buffer takes the heap path and must still be one write.
  const std::string longMessage(3 * MessageText::kStackCapacity, 'x');
  WriteRecorder recorder;
  std::streambuf* const previous = std::cout.rdbuf(&recorder);
  logInfoRuntime("r");
  logError(longMessage);
  printLine("plain");
  std::cout.rdbuf(previous);
  ASSERT_EQ(recorder.writes.size(), 3u);
  EXPECT_EQ(recorder.writes[0], test::runtimeLine("r"));
  EXPECT_EQ(recorder.writes[1], test::errorLine(longMessage));
  EXPECT_EQ(recorder.writes[2], "plain\n");
}

TEST(Log, FormatFixedMatchesPrintfPercentF) {
  EXPECT_EQ(formatFixed(0.0), "0.000000");
  EXPECT_EQ(formatFixed(-0.0), "-0.000000");
  EXPECT_EQ(formatFixed(0.2), "0.200000");
  EXPECT_EQ(formatFixed(-1234.56789), "-1234.567890");
  EXPECT_EQ(formatFixed(1e-9), "0.000000");
  EXPECT_EQ(formatFixed(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(formatFixed(std::nan("")).find("nan") != std::string::npos, true);
  // The largest double prints all of its 309 integer digits.
  EXPECT_EQ(formatFixed(std::numeric_limits<double>::max()).size(), 309u + 7u);
}

}  // namespace
}  // namespace zelto
