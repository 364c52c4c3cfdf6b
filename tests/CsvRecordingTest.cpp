#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "CsvRecording.h"
#include "EstimatorTestSupport.h"
#include "Simulation.h"
#include "TestUtils.h"
#include "ToolError.h"

namespace zelto::tool {
namespace {

const std::string kHeader = "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz\n";

std::vector<RecordedSample> readText(const std::string& text) {
  std::istringstream in(text);
  CsvRecordingReader reader(in, "rec.csv");
  std::vector<RecordedSample> samples;
  RecordedSample s;
  while (reader.next(s)) samples.push_back(s);
  return samples;
}

// The message of the ToolError that reading `text` raises ("" when it reads fine).
std::string errorOf(const std::string& text) {
  try {
    readText(text);
  } catch (const ToolError& e) {
    return e.what();
  }
  return "";
}

TEST(CsvRecordingReader, ReadsTheHeaderAndEveryValueInSampleOrder) {
  const auto samples = readText(kHeader +
                                "0.001,1,2,3,4,5,6,7,8,9.81,10,11,12\n"
                                "0.002,-1.5e-3,0,0,0,0,0,0,0,9.81,0,0,0.25\n");
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].time, 0.001);
  const std::array<double, 12> first{1, 2, 3, 4, 5, 6, 7, 8, 9.81, 10, 11, 12};
  EXPECT_EQ(samples[0].values, first);
  EXPECT_EQ(samples[0].line, 2u);
  EXPECT_EQ(samples[1].values[0], -1.5e-3);
  EXPECT_EQ(samples[1].values[11], 0.25);
  EXPECT_EQ(samples[1].line, 3u);
}

TEST(CsvRecordingReader, AcceptsNoHeaderCrlfBlankLinesAndSpaces) {
  const auto samples = readText(
      "\xEF\xBB\xBF"
      "0, 1,2,3,4,5,6,7,8,9,10,11,12\r\n"
      "\r\n"
      "   \n"
      " 1 ,1,2,3,4,5,6,7,8,9,10,11,12 \r\n");
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].values[0], 1.0);
  EXPECT_EQ(samples[1].time, 1.0);
  EXPECT_EQ(samples[1].values[11], 12.0);
  EXPECT_EQ(samples[1].line, 4u);
}

TEST(CsvRecordingReader, HeaderWithSpacesAroundNamesIsAccepted) {
  const auto samples = readText(
      "time, fx, fy, fz, tx, ty, tz, ax, ay, az, wx, wy, wz\n0,1,2,3,4,5,6,7,8,9,10,11,12\n");
  EXPECT_EQ(samples.size(), 1u);
}

TEST(CsvRecordingReader, RepeatedAndSlightlyEarlierTimesAreNotRefused) {
  // The libraries treat times within 1e-5 s as the same sample; the recording may hold them.
  const auto samples = readText(
      "1.0,1,2,3,4,5,6,7,8,9,10,11,12\n"
      "1.0,1,2,3,4,5,6,7,8,9,10,11,12\n"
      "0.999995,1,2,3,4,5,6,7,8,9,10,11,12\n");
  EXPECT_EQ(samples.size(), 3u);
}

TEST(CsvRecordingReader, BadLinesNameTheFileTheLineAndTheProblem) {
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,5,6,7,8,9,10,11,12\n0,1,2,3,4,5,6,7,8,9,10,11\n"),
            "rec.csv:3: expected 13 values (time and the twelve sample values), found 12");
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,5,6,7,8,9,10,11,12,13\n"),
            "rec.csv:2: expected 13 values (time and the twelve sample values), found 14");
  EXPECT_EQ(errorOf(kHeader + "0,1,2,abc,4,5,6,7,8,9,10,11,12\n"),
            "rec.csv:2: value 'abc' in column 'fz' is not a number");
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,5,6,7,8,9,10,11,1.5x\n"),
            "rec.csv:2: value '1.5x' in column 'wz' is not a number");
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,,6,7,8,9,10,11,12\n"),
            "rec.csv:2: empty value in column 'ty'");
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,5,6,nan,8,9,10,11,12\n"),
            "rec.csv:2: value 'nan' in column 'ax' is not a finite number");
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,5,6,7,8,9,10,11,1e999\n"),
            "rec.csv:2: value '1e999' in column 'wz' is not a finite number");
  EXPECT_EQ(errorOf("time;fx;fy;fz;tx;ty;tz;ax;ay;az;wx;wy;wz\n"),
            "rec.csv:1: unexpected header 'time;fx;fy;fz;tx;ty;tz;ax;ay;az;wx;wy;wz' "
            "(expected 'time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz')");
  EXPECT_EQ(errorOf(kHeader + "0.5,1,2,3,4,5,6,7,8,9,10,11,12\n0.4,1,2,3,4,5,6,7,8,9,10,11,12\n"),
            "rec.csv:3: time 0.4 is earlier than the previous sample's 0.5 (time stamps must "
            "not go backwards)");
}

TEST(CsvRecordingReader, ASecondHeaderInsideTheDataIsABadLine) {
  EXPECT_EQ(errorOf(kHeader + "0,1,2,3,4,5,6,7,8,9,10,11,12\n" + kHeader),
            "rec.csv:3: value 'time' in column 'time' is not a number");
}

TEST(CsvRecordingReader, LongOrControlCharacterValuesAreShortenedInTheMessage) {
  EXPECT_EQ(errorOf("0,1,2,3,4,5,6,7,8,9,10,11,\x01" + std::string(60, 'z') + "\n"),
            "rec.csv:1: value '?zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz...' in column 'wz' is "
            "not a number");
}

TEST(ReadRecording, MissingFileAndEmptyRecordingAreToolErrors) {
  test::TempDir dir;
  try {
    readRecording(dir.file("absent.csv"));
    FAIL() << "no error for a missing file";
  } catch (const ToolError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot open recording '" + dir.file("absent.csv") + "': No such file or directory");
  }
  const std::string empty = dir.write("empty.csv", kHeader);
  try {
    readRecording(empty);
    FAIL() << "no error for a recording without samples";
  } catch (const ToolError& e) {
    EXPECT_EQ(std::string(e.what()), "recording '" + empty + "' contains no samples");
  }
}

TEST(WriteRecording, WritesTheShortestTextThatReadsBackExactly) {
  test::TempDir dir;
  RecordedSample s;
  s.time = 1700000000.001;  // a Unix time: twelve significant digits would keep 10 ms
  s.values = {1.0 / 3.0, -2.5, 0.0, 1e-7, 123456789.123, 9.81, 0, 0, 9.81, 0.001, -0.002, 0.003};
  const std::string path = dir.file("out.csv");
  writeRecording(path, {s});
  EXPECT_EQ(test::readFile(path),
            kHeader +
                "1700000000.001,0.3333333333333333,-2.5,0,1e-07,123456789.123,9.81,0,0,9.81,0.001,"
                "-0.002,0.003\n");
  const auto back = readRecording(path);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].time, s.time);
  EXPECT_EQ(back[0].values, s.values);
  // Numbers read the same in every locale, a plus sign and out-of-range exponents included.
  double v = 0.0;
  EXPECT_TRUE(parseDouble("+0.5", v) && v == 0.5);
  EXPECT_TRUE(parseDouble("-1e999", v) && v == -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(parseDouble("1e-999", v) && v == 0.0);
  EXPECT_FALSE(parseDouble("0,5", v));
  EXPECT_FALSE(parseDouble("+-1", v));
}

TEST(WriteRecording, SimulatedUnixTimeRecordingReadsBackBitIdentical) {
  test::TempDir dir;
  const std::string path = dir.file("unix.csv");
  SimulateOptions o;
  ToolCommandLine(o).parse(
      {"simulate", "-o", path, "--start", "1700000000.123", "--duration", "2", "--seed", "3"});
  test::CoutCapture quiet;
  ASSERT_EQ(runSimulate(o), kExitOk);
  const std::vector<RecordedSample> expected =
      simulateRecording(simulatorOptions(o, payloadFromOptions(o)), o.duration, o.start);
  const std::vector<RecordedSample> back = readRecording(path);
  ASSERT_EQ(back.size(), expected.size());
  ASSERT_EQ(back.size(), 2001u);
  for (std::size_t k = 0; k < back.size(); ++k) {
    ASSERT_EQ(back[k].time, expected[k].time) << k;
    ASSERT_EQ(back[k].values, expected[k].values) << k;
  }
}

TEST(CsvWriter, ReportsAFileThatCannotBeCreated) {
  test::TempDir dir;
  const std::string path = dir.file("missing-directory/out.csv");
  try {
    CsvWriter writer(path, "a,b");
    FAIL() << "no error";
  } catch (const ToolError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot create '" + path + "': No such file or directory");
  }
}

}  // namespace
}  // namespace zelto::tool
