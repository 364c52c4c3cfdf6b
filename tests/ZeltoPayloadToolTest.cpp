// The zelto-payload executable as a user meets it: exit statuses, the one-line messages for bad
// input, the files it writes and the runs it drives through the libraries.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CsvRecording.h"
#include "EstimatorConfigFile.h"
#include "EstimatorTestSupport.h"
#include "PayloadFile.h"
#include "SensorRecording.h"
#include "Simulation.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::readFile;
using test::TempDir;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the tool with the given (shell-quoted) arguments; standard output and error are kept
// apart.
ToolRun runTool(const TempDir& dir, const std::string& arguments) {
  const std::string out = dir.file("stdout.txt");
  const std::string err = dir.file("stderr.txt");
  const std::string command = std::string("'") + ZELTO_PAYLOAD_TOOL + "' " + arguments + " >'" +
                              out + "' 2>'" + err + "' </dev/null";
  const int raw = std::system(command.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = readFile(out);
  run.err = readFile(err);
  return run;
}

std::string q(const std::string& path) { return "'" + path + "'"; }

const std::string kHeader = "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz\n";
const std::string kGoodLine = "0,0,0,-9.81,0,0,0,0,0,9.81,0.01,0,0\n";

TEST(ZeltoPayloadTool, WithoutArgumentsPrintsUsageToStandardErrorAndFails) {
  TempDir dir;
  const ToolRun run = runTool(dir, "");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("usage: zelto-payload COMMAND [options]\n", 0), 0u) << run.err;
}

TEST(ZeltoPayloadTool, HelpGoesToStandardOutputAndSucceeds) {
  TempDir dir;
  ToolRun run = runTool(dir, "help");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("usage: zelto-payload COMMAND [options]\n", 0), 0u) << run.out;
  run = runTool(dir, "help check");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("usage: zelto-payload check FILE\n", 0), 0u) << run.out;
  run = runTool(dir, "estimate --help");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(
      run.out.rfind("usage: zelto-payload estimate --config FILE [options] RECORDING.csv\n", 0), 0u)
      << run.out;
}

TEST(ZeltoPayloadTool, UsageErrorsAreOneLinePlusAPointerToTheHelp) {
  TempDir dir;
  ToolRun run = runTool(dir, "frobnicate");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "zelto-payload: error: unknown command 'frobnicate'\n"
            "Run 'zelto-payload help' for usage.\n");

  run = runTool(dir, "simulate -o x.csv --mass -1");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "zelto-payload: error: --mass: must be greater than 0, got '-1'\n"
            "Run 'zelto-payload simulate --help' for usage.\n");
}

TEST(ZeltoPayloadTool, MissingInputFilesAreRefusedBeforeAnythingRuns) {
  TempDir dir;
  const std::string config = dir.write("est.json", test::configText());
  const std::string recording = dir.write("r.csv", kHeader + kGoodLine);
  const std::string missing = dir.file("absent");
  struct Case {
    std::string arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"estimate --config " + q(config) + " " + q(missing),
       "recording: File does not exist: " + missing + "\nRun 'zelto-payload estimate --help'"},
      {"estimate --config " + q(missing) + " " + q(recording),
       "--config: File does not exist: " + missing + "\nRun 'zelto-payload estimate --help'"},
      {"compensate --payload " + q(missing) + " -o " + q(dir.file("o.csv")) + " " + q(recording),
       "--payload: File does not exist: " + missing + "\nRun 'zelto-payload compensate --help'"},
      {"check " + q(missing),
       "payload-file: File does not exist: " + missing + "\nRun 'zelto-payload check --help'"},
      {"demo --config " + q(missing) + " --out " + q(dir.file("demo")),
       "--config: File does not exist: " + missing + "\nRun 'zelto-payload demo --help'"}};
  for (const Case& c : cases) {
    const ToolRun run = runTool(dir, c.arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "zelto-payload: error: " + c.message + " for usage.\n");
    EXPECT_EQ(run.out, "");
  }
}

TEST(ZeltoPayloadTool, BadRecordingLinesAreNamedByLineNumber) {
  TempDir dir;
  const std::string config = dir.write("est.json", test::configText());
  struct Bad {
    std::string text;
    std::string message;
  };
  // One bad line for each command that reads recordings; the reader's messages are tested with
  // it.
  const std::vector<Bad> cases = {
      {kHeader + kGoodLine + kGoodLine + "0.002,0,0,-9.81,0,0,0,0,0,9.81,0.01,zero,0\n",
       "4: value 'zero' in column 'wy' is not a number"}};
  for (const Bad& bad : cases) {
    const std::string recording = dir.write("bad.csv", bad.text);
    ToolRun run = runTool(dir, "estimate --config " + q(config) + " " + q(recording));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "zelto-payload: error: " + recording + ":" + bad.message + "\n");
    // Nothing reached the estimator: the recording is checked before the library is built.
    EXPECT_EQ(run.out, "");
    run = runTool(dir, "compensate --payload " + q(dir.write("p.json", "{}")) + " -o " +
                           q(dir.file("o.csv")) + " " + q(recording));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "zelto-payload: error: " + recording + ":" + bad.message + "\n");
  }
  const std::string empty = dir.write("empty.csv", kHeader);
  const ToolRun run = runTool(dir, "estimate --config " + q(config) + " " + q(empty));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "zelto-payload: error: recording '" + empty + "' contains no samples\n");
}

TEST(ZeltoPayloadTool, UnusableConfigurationOrPayloadFilePassesOnTheLibrarysMessage) {
  TempDir dir;
  const std::string recording = dir.write("r.csv", kHeader + kGoodLine);
  const std::string broken = dir.write("broken.json", "{\"payload_estimator_config\": {}}");
  ToolRun run = runTool(dir, "estimate --config " + q(broken) + " " + q(recording));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("zelto-payload: error: Error parsing estimator configuration file: ", 0),
            0u)
      << run.err;

  const std::string payload = dir.write("payload.json", "{\"payload_compensator_config\": {}}");
  for (const std::string mode : {"", "--mode dynamic "}) {
    run = runTool(dir, "compensate " + mode + "--payload " + q(payload) + " -o " +
                           q(dir.file("o.csv")) + " " + q(recording));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("zelto-payload: error: Error parsing configuration file: ", 0), 0u)
        << run.err;
  }
}

TEST(ZeltoPayloadTool, CheckPrintsTheDerivedQuantitiesAndAConsistentVerdict) {
  TempDir dir;
  // 2 kg, centre of mass 0.1 m out on z: the point-mass term is diag(0.02, 0.02, 0), which
  // leaves diag(0.01, 0.01, 0.01) about the centre of mass.
  const std::string file = dir.write(
      "p.json",
      "{\"payload_compensator_config\": {\"payload_properties\": {\"mass\": 2, \"com\": {\"x\": "
      "0, \"y\": 0, \"z\": 0.1}, \"inertia\": {\"Ixx\": 0.03, \"Ixy\": 0, \"Ixz\": 0, \"Iyy\": "
      "0.03, \"Iyz\": 0, \"Izz\": 0.01}}, \"enable_dynamic_compensation\": false}}");
  const ToolRun run = runTool(dir, "check " + q(file));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Payload parameter file: " + file +
                "\n"
                "  mass                               2 kg\n"
                "  centre of mass                     [0, 0, 0.1] m\n"
                "  inertia about the sensor origin    [0.03, 0, 0, 0.03, 0, 0.01] kg*m^2 [Ixx, "
                "Ixy, Ixz, Iyy, Iyz, Izz]\n"
                "  compensation mode                  static (gravity)\n"
                "  inertia about the centre of mass   [0.01, 0, 0, 0.01, 0, 0.01] kg*m^2\n"
                "  principal moments about the COM    [0.01, 0.01, 0.01] kg*m^2\n"
                "  check: mass > 0                                   passed\n"
                "  check: principal moments about the COM >= 0      passed\n"
                "  check: principal moments satisfy A + B >= C       passed\n"
                "Verdict: physically consistent\n");
}

TEST(ZeltoPayloadTool, CheckOfAnImpossibleBodyFailsWithTheReasons) {
  TempDir dir;
  // Ixx about the origin below the 0.02 the offset mass alone contributes.
  const std::string file = dir.write(
      "p.json",
      "{\"payload_compensator_config\": {\"payload_properties\": {\"mass\": 2, \"com\": {\"x\": "
      "0, \"y\": 0, \"z\": 0.1}, \"inertia\": {\"Ixx\": 0.015, \"Ixy\": 0, \"Ixz\": 0, \"Iyy\": "
      "0.03, \"Iyz\": 0, \"Izz\": 0.01}, \"bias\": {\"Fx\": 1, \"Fy\": 2, \"Fz\": 3, \"Tx\": "
      "0.1, \"Ty\": 0.2, \"Tz\": 0.3}}, \"enable_dynamic_compensation\": true}}");
  const ToolRun run = runTool(dir, "check " + q(file));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("  sensor bias                        [1, 2, 3, 0.1, 0.2, 0.3] N, N*m "
                         "[Fx, Fy, Fz, Tx, Ty, Tz]\n"
                         "  compensation mode                  dynamic (gravity and inertia)\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  check: principal moments about the COM >= 0      FAILED\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("\nVerdict: NOT physically consistent: the inertia about the centre of "
                         "mass has a negative principal moment (-0.005 kg·m²); the principal "
                         "moments about the centre of mass violate the "
                         "triangle inequality (-0.005 + 0.01 < 0.01 kg·m²)\n"),
            std::string::npos)
      << run.out;
}

TEST(ZeltoPayloadTool, CheckOfAnUnreadableFileIsABadInput) {
  TempDir dir;
  const std::string wrongType = dir.write(
      "p.json",
      "{\"payload_compensator_config\": {\"payload_properties\": {\"mass\": \"heavy\"}}}");
  const ToolRun run = runTool(dir, "check " + q(wrongType));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "zelto-payload: error: cannot read payload parameter file '" + wrongType +
                         "': [json.exception.type_error.302] type must be number, but is "
                         "string\n");
}

TEST(ZeltoPayloadTool, SimulateWritesTheRecordingAndTheTrueParameters) {
  TempDir dir;
  const std::string recording = dir.file("r.csv");
  const std::string truth = dir.file("t.json");
  const ToolRun run =
      runTool(dir, "simulate -o " + q(recording) +
                       " --duration 2 --rate 100 "
                       "--mass 0.5 --com 0,0,0.04 --inertia-com 2e-4,0,0,2e-4,0,1e-4 "
                       "--force-bias 1,2,3 --torque-bias 0.1,0.2,0.3 --seed 5 --truth " +
                       q(truth));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "wrote 201 samples (2.000 s at 100 Hz, hand motion, seed 5) to " + recording +
                         "\ntrue payload parameters written to " + truth + "\n");
  const std::vector<tool::RecordedSample> samples = tool::readRecording(recording);
  ASSERT_EQ(samples.size(), 201u);
  EXPECT_EQ(samples[1].time, 0.01);
  EXPECT_EQ(readFile(recording).rfind(kHeader, 0), 0u);
  const tool::PayloadFileContents t = tool::readPayloadFile(truth);
  EXPECT_EQ(t.parameters.mass, 0.5);
  EXPECT_EQ(t.parameters.com, (std::array<double, 3>{0.0, 0.0, 0.04}));
  // About the origin: 2e-4 + 0.5·0.04² = 1e-3 on Ixx and Iyy, Izz unchanged.
  EXPECT_NEAR(t.parameters.inertia[0], 1e-3, 1e-15);
  EXPECT_NEAR(t.parameters.inertia[3], 1e-3, 1e-15);
  EXPECT_NEAR(t.parameters.inertia[5], 1e-4, 1e-15);
  ASSERT_TRUE(t.bias.has_value());
  EXPECT_EQ(*t.bias, (std::array<double, 6>{1, 2, 3, 0.1, 0.2, 0.3}));
}

// A configuration whose minimum run time a fast replay passes quickly.
std::string quickConfig(double minTime, double maxTime, double threshold = -1.0) {
  test::ConfigValues v;
  v.minTime = minTime;
  v.maxTime = maxTime;
  if (threshold > 0.0) {
    v.thresholdMass = v.thresholdCom = v.thresholdInertia = v.thresholdWrenchBias = threshold;
  }
  return test::configText(v);
}

TEST(ZeltoPayloadTool, EstimateConvergesAndWritesACheckedFile) {
  TempDir dir;
  const std::string recording = dir.file("r.csv");
  ASSERT_EQ(runTool(dir, "simulate -o " + q(recording) + " --duration 15 --seed 11").status, 0);
  // Two samples without IMU data in the middle: skipped and counted, not fatal.
  std::string text = readFile(recording);
  const std::size_t at = text.find("\n7,");
  ASSERT_NE(at, std::string::npos);
  text.insert(at + 1, "6.9995,1,2,3,0,0,0,0,0,0,0,0,0\n6.9996,1,2,3,0,0,0,0,0,0,0,0,0\n");
  std::ofstream(recording, std::ios::binary | std::ios::trunc) << text;

  // A minimum run time the replay of all 15 s fits in even on a slow (sanitizer) build.
  const std::string config = dir.write("est.json", quickConfig(6.0, 60.0));
  const ToolRun run =
      runTool(dir, "estimate --config " + q(config) + " --speed max " + q(recording));
  EXPECT_EQ(run.status, 0) << run.err;
  // The library's own lines pass through whole, the report among them.
  EXPECT_NE(run.out.find("PAYLOAD ESTIMATION RESULTS\n"), std::string::npos);
  EXPECT_NE(run.out.find("zelto-payload: the estimate converged after 15.000 s of data (15003 "
                         "samples, "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\nVerdict: physically consistent\n"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("zelto-payload: warning: 2 samples without IMU data (all six IMU values "
                         "zero) were skipped, the first at line "),
            std::string::npos)
      << run.err;

  const tool::PayloadFileContents file =
      tool::readPayloadFile(tool::payloadFileLocation(config, "payload_parameters.json"));
  EXPECT_NEAR(file.parameters.mass, 1.2, 0.01);  // the default simulated tool
  EXPECT_TRUE(file.notIdentified.empty());       // hand motion identifies every direction
}

// A robot turns the tool about sensor x only, 6.3 s each way, for 26 s. Mass, centre of mass,
// bias and the inertia about x converge; Iyy, Iyz and Izz cannot. At the end of the recording
// the estimate counts for static compensation: exit 0, the entries named, and check accepts
// the file. (Before, the noise-driven Iyy and Izz made a body that cannot exist: no file, 1.)
TEST(ZeltoPayloadTool, SingleAxisTurnGivesAStaticResultThatCheckAccepts) {
  TempDir dir;
  sim::Options turn;
  turn.payload = tool::demoPayload();
  turn.noise = {0.01, 1e-5, 1e-3, 1e-5};
  turn.motion.robotTurn = true;
  turn.motion.turn.moveTime = 6.3;
  const std::string recording = dir.file("turn.csv");
  tool::writeRecording(recording, tool::simulateRecording(turn, 26.0));
  test::ConfigValues v;
  v.minTime = 1.0;
  v.thresholdInertia = 1e-3;  // Ixx reaches 6e-4 kg·m² in 26 s
  const std::string config = dir.write("est.json", test::configText(v));
  const ToolRun run =
      runTool(dir, "estimate --config " + q(config) + " --speed max " + q(recording));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("zelto-payload: the estimate converged for static compensation after "
                         "26.000 s of data"),
            std::string::npos)
      << run.out;
  const std::string notIdentified =
      "  not identified by the motion       Iyy, Iyz, Izz (keep dynamic compensation off)\n";
  EXPECT_NE(run.out.find(notIdentified), std::string::npos);

  const std::string payload = tool::payloadFileLocation(config, "payload_parameters.json");
  const ToolRun check = runTool(dir, "check " + q(payload));
  EXPECT_EQ(check.status, 0);
  EXPECT_NE(check.out.find(notIdentified), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("\nVerdict: physically consistent\n"), std::string::npos);
  const tool::PayloadFileContents file = tool::readPayloadFile(payload);
  EXPECT_NEAR(file.parameters.mass, 1.2, 0.01 * 1.2);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(file.parameters.com[i], turn.payload.com[i], 1e-3);
}

// Rows of a CSV file of numbers after its header.
std::vector<std::vector<double>> readNumbers(const std::string& path) {
  std::vector<std::vector<double>> rows;
  std::istringstream lines(readFile(path));
  std::string line, field;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    rows.emplace_back();
    while (std::getline(fields, field, ',')) {
      double v = 0.0;
      EXPECT_TRUE(tool::parseDouble(field, v)) << field;
      rows.back().push_back(v);
    }
  }
  return rows;
}

TEST(ZeltoPayloadTool, RecordingThatEndsBeforeConvergenceShowsTheEstimateReachedAndItsTrace) {
  TempDir dir;
  const std::string recording = dir.file("r.csv");
  ASSERT_EQ(runTool(dir, "simulate -o " + q(recording) + " --duration 0.5").status, 0);
  const std::string config = dir.write("est.json", quickConfig(0.2, 60.0));
  const std::string trace = dir.file("trace.csv");
  const ToolRun run =
      runTool(dir, "estimate --no-progress --speed max --trace " + q(trace) +
                       " --trace-step 0.05 --config " + q(config) + " " + q(recording));
  EXPECT_EQ(run.status, 1);
  // 501 inputs, of which the first 27 only fill the window of the angular acceleration.
  EXPECT_NE(run.out.find("zelto-payload: estimate reached after 474 samples, NOT converged (no "
                         "payload parameter file written):\n"
                         "  parameter             estimate         sigma\n"
                         "  mass [kg]       "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("zelto-payload: error: the recording ended after 0.500 s of data "
                         "before the estimate converged; no payload parameter file was written "
                         "(record longer, or move the tool through more attitudes)\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.find("PAYLOAD ESTIMATION RESULTS"), std::string::npos);

  // Every trace row is exactly what the library holds after that many samples of the recording.
  const std::vector<std::vector<double>> rows = readNumbers(trace);
  ASSERT_GE(rows.size(), 5u);
  const std::vector<tool::RecordedSample> samples = tool::readRecording(recording);
  test::CoutCapture quiet;
  ZeltoPayloadEstimator estimator(config);
  estimator.startPayloadEstimation();
  std::size_t fed = 0;
  for (const std::vector<double>& row : rows) {
    ASSERT_EQ(row.size(), 34u);
    while (fed < static_cast<std::size_t>(row[1])) {
      estimator.update(samples[fed].time, samples[fed].values);
      ++fed;
    }
    EXPECT_EQ(row[0], samples[fed - 1].time);
    std::array<double, 16> value{}, sd{};
    estimator.getEstimate(value, sd);
    for (std::size_t j = 0; j < 16; ++j) {
      EXPECT_EQ(row[2 + j], value[j]) << "row at " << row[1] << " samples, value " << j;
      EXPECT_TRUE(row[18 + j] == sd[j] || (std::isnan(row[18 + j]) && std::isnan(sd[j])))
          << "row at " << row[1] << " samples, sigma " << j;
    }
  }
  EXPECT_EQ(fed, samples.size());
}

TEST(ZeltoPayloadTool, NoiseWritesAConfigurationCopyThatEstimateTakesWithoutAHint) {
  TempDir dir;
  const std::string recording = dir.file("r.csv");
  ASSERT_EQ(runTool(dir, "simulate -o " + q(recording) + " --duration 3 --noise-gyro 1e-7").status,
            0);
  // Runs that end after 0.3 s: only the hint before them matters.
  const std::string config = dir.write("est.json", quickConfig(0.1, 0.3, 1e-12));
  const std::string copy = dir.file("copy.json");
  const ToolRun noise =
      runTool(dir, "noise " + q(recording) + " --config " + q(config) + " -o " + q(copy));
  EXPECT_EQ(noise.status, 0) << noise.err;
  EXPECT_NE(noise.out.find("\n\"measurement_noise_covariance\": {\n  \"force\": {\"x\": "),
            std::string::npos)
      << noise.out;
  const tool::EstimatorSettings original = tool::readEstimatorSettings(config);
  const tool::EstimatorSettings copied = tool::readEstimatorSettings(copy);
  EXPECT_EQ(copied.maxTime, original.maxTime);
  ASSERT_TRUE(copied.noise.has_value());
  EXPECT_NEAR((*copied.noise)[9] / 1e-7, 1.0, 0.3);  // 3000 rows: 4.5 sigma of the scatter

  const ToolRun hinted =
      runTool(dir, "estimate --no-progress --config " + q(config) + " " + q(recording));
  EXPECT_EQ(hinted.err.rfind("zelto-payload: hint: the configured variance of angular_", 0), 0u)
      << hinted.err;
  EXPECT_NE(hinted.err.find(" measured in " + recording +
                            " (and 5 more over 10 times off); 'zelto-payload noise " + recording +
                            " --config " + config + " -o " + config +
                            "' writes the measured ones into the configuration\n"),
            std::string::npos)
      << hinted.err;
  const ToolRun measured =
      runTool(dir, "estimate --no-progress --config " + q(copy) + " " + q(recording));
  EXPECT_EQ(measured.err.find("hint"), std::string::npos) << measured.err;
}

TEST(ZeltoPayloadTool, RunThatReachesTheMaximumRunTimeFails) {
  TempDir dir;
  const std::string recording = dir.file("r.csv");
  ASSERT_EQ(runTool(dir, "simulate -o " + q(recording) + " --duration 3").status, 0);
  // Thresholds no estimate meets; real-time pacing reaches the 0.3 s limit after ~0.3 s of data.
  const std::string config = dir.write("est.json", quickConfig(0.1, 0.3, 1e-12));
  const ToolRun run =
      runTool(dir, "estimate --no-progress --config " + q(config) + " " + q(recording));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("zelto-payload: error: the estimator reached its maximum run time (0.3 "
                         "s) without converging, after 0."),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("Estimator did not converge within the maximum time limit of "
                         "0.300000 seconds."),
            std::string::npos)
      << run.out;
}

TEST(ZeltoPayloadTool, CompensateWritesEveryRowWithItsCodeAndTheRmsTable) {
  TempDir dir;
  const std::string recording = dir.file("r.csv");
  const std::string truth = dir.file("t.json");
  ASSERT_EQ(runTool(dir, "simulate -o " + q(recording) +
                             " --duration 3 --motion static "
                             "--no-noise --truth " +
                             q(truth))
                .status,
            0);
  const std::string output = dir.file("out.csv");
  const ToolRun run = runTool(dir, "compensate --payload " + q(truth) + " -o " + q(output) +
                                       " --tare-at 0.9 " + q(recording));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("zelto-payload: compensated 3001 samples in static mode: "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("zelto-payload: tare requested before the sample at t = 0.9 s\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("  axis         raw RMS   compensated RMS   compensated mean   "
                         "compensated std\n"),
            std::string::npos);
  const std::string text = readFile(output);
  EXPECT_EQ(text.rfind("time,fx,fy,fz,tx,ty,tz,code\n", 0), 0u);
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  int rows = 0;
  std::string atTare;
  while (std::getline(lines, line)) {
    ++rows;
    if (line.rfind("0.95,", 0) == 0) atTare = line;
  }
  EXPECT_EQ(rows, 3001);
  // The first pose is held still for at least a second, so after the immediate tare the output
  // is zero up to rounding: the true parameters leave only the bias, which the tare removes.
  ASSERT_FALSE(atTare.empty());
  EXPECT_EQ(atTare.substr(atTare.size() - 2), ",0");
  std::istringstream fields(atTare);
  std::string field;
  std::getline(fields, field, ',');
  for (int j = 0; j < 6; ++j) {
    std::getline(fields, field, ',');
    EXPECT_NEAR(std::stod(field), 0.0, 1e-9) << line;
  }
}

TEST(ZeltoPayloadTool, DemoPrintsTheTableAndWritesItsFiles) {
  TempDir dir;
  const std::string out = dir.file("demo");
  // Without the trace, which the estimate test covers and which is slow on sanitizer builds.
  const ToolRun run = runTool(dir, "demo --no-plots --no-trace --out " + q(out));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("  parameter             truth      estimate         error         "
                         "sigma  |error|/sigma\n"
                         "  mass [kg]                1.2"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Verdict: physically consistent\n"), std::string::npos);
  EXPECT_NE(run.out.find("  brisk_hand.csv     dynamic"), std::string::npos);
  for (const char* name :
       {"true_payload.json", "calm_hand.csv", "brisk_hand.csv", "estimator_config.json",
        "payload_parameters.json", "compensated_brisk_dynamic.csv"}) {
    EXPECT_TRUE(std::ifstream(out + "/" + name).good()) << name;
  }
}

}  // namespace
}  // namespace zelto

namespace zelto {
namespace {

// The three streams of a real sensor as its software writes them, time in µs: the wrench at
// 698 Hz, the accelerometer at 254 Hz in g in its own axes and 6.5 ms late, the orientation at
// 99 Hz; a minute of hand motion.
struct SensorStreams {
  TempDir dir;
  sim::SensorRecording rec{sim::Payload::fromCentroidal(0.93, Eigen::Vector3d(0.004, -0.006, 0.052),
                                                        {1.1e-3, 2e-5, -3e-5, 1.2e-3, 1e-5, 6e-4},
                                                        Eigen::Vector3d(0.4, -0.7, 1.1),
                                                        Eigen::Vector3d(0.02, 0.01, -0.03)),
                           sim::Motion{}, 6, 60.0};
  std::string wrench = dir.file("wrench.csv"), accel = dir.file("accel.csv"),
              pose = dir.file("pose.csv"), output = dir.file("recording.csv");

  SensorStreams() {
    sim::StreamFormat f;
    f.time = sim::TimeUnit::Microseconds;
    rec.writeCsv(sim::SensorRecording::Stream::Wrench, wrench, f);
    rec.writeCsv(sim::SensorRecording::Stream::Orientation, pose, f);
    f.accelerometerInG = true;
    f.imuAxes = true;
    rec.writeCsv(sim::SensorRecording::Stream::Accelerometer, accel, f);
  }
  std::string command(const std::string& more) const {
    return "import --wrench " + q(wrench) + " --accel " + q(accel) + " --orientation " + q(pose) +
           " --time-unit us --accel-unit g --accel-axes -y,z,-x -o " + q(output) + more;
  }
};

TEST(ZeltoPayloadToolImport, FindsTheDelayAndWritesAnAlignedRecording) {
  const SensorStreams s;
  // The configuration's own delay must not be applied again to the aligned recording.
  std::string text = quickConfig(1.0, 2.0);
  text.replace(text.find("    \"runtime_verbosity\""), 0, "    \"imu_delay\": 0.004,\n");
  const std::string config = s.dir.write("est.json", text), copy = s.dir.file("copy.json");
  const ToolRun run =
      runTool(s.dir, s.command(" --config " + q(config) + " --config-out " + q(copy)));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::size_t at = run.err.find("\n  delay +");
  ASSERT_NE(at, std::string::npos) << run.err;
  const double delay = 1e-3 * std::stod(run.err.substr(at + 9));
  EXPECT_NEAR(delay, 0.0065, 5e-4) << run.err;
  const std::string ms = run.err.substr(at + 10, 4);
  EXPECT_NE(run.err.find("\n  delay +" + ms +
                         " ms: the IMU's time stamps lag the wrench's (each IMU value belongs with "
                         "the wrench " +
                         ms + " ms before its stamp)\n"),
            std::string::npos);
  EXPECT_NE(run.err.find("\nzelto-payload: " + copy +
                         " has no \"imu_delay\" (the configuration's 0.004 s left out): the "
                         "recording is aligned, its delay of +" +
                         ms +
                         " ms applied while resampling; a host that joins these streams itself "
                         "configures \"imu_delay\": 0.00" +
                         ms.substr(0, 1) + ms.substr(2) + "\n"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(tool::readEstimatorSettings(copy).imuDelay.has_value());
  // The accelerometer is interpolated from its 254 Hz: its variance holds at that rate.
  const std::string rates = "\"measurement_noise_sample_rate\": {\"linear_acc\": 254}";
  EXPECT_NE(readFile(copy).find(rates), std::string::npos) << readFile(copy);
  EXPECT_NE(run.err.find("\nzelto-payload: and the rates at which its interpolated channels' "
                         "variances hold: " +
                         rates + "\n"),
            std::string::npos)
      << run.err;
  // The coloured noise of the wrench and the accelerometer at their own rates is not taken for
  // resampling (the exact orientation is: it has no noise near its Nyquist frequency).
  for (const char* channel : {"wrench fx", "wrench tz", "accelerometer ax", "accelerometer az"}) {
    EXPECT_EQ(run.err.find(std::string(channel) + ": looks resampled"), std::string::npos)
        << run.err;
  }

  // Every row is a wrench row as measured, with the accelerometer in the sensor frame and m/s²
  // at the row's time + the delay: the IMU's value that belongs with it.
  const std::vector<tool::RecordedSample> rows = tool::readRecording(s.output);
  EXPECT_EQ(readFile(s.output).rfind(kHeader, 0), 0u);
  ASSERT_GT(rows.size(), 41800u);
  const sim::SensorStream<6>& w = s.rec.wrench();
  const sim::SensorStream<3>& a = s.rec.accelerometer();
  std::size_t k = 0, j = 0;
  for (const tool::RecordedSample& row : rows) {
    while (k < w.times.size() && w.times[k] < row.time - 1e-6) ++k;
    ASSERT_LT(k, w.times.size());
    ASSERT_NEAR(row.time, w.times[k], 1e-6);
    for (std::size_t c = 0; c < 6; ++c) ASSERT_EQ(row.values[c], w.values[k][c]);
    const double t = row.time + delay;
    while (j + 2 < a.times.size() && a.times[j + 1] <= t) ++j;
    const double u = (t - a.times[j]) / (a.times[j + 1] - a.times[j]);
    for (std::size_t c = 0; c < 3; ++c) {
      ASSERT_NEAR(row.values[6 + c], (1 - u) * a.values[j][c] + u * a.values[j + 1][c], 0.01);
    }
  }
}

TEST(ZeltoPayloadToolImport, RefusalsSayWhatIsWrongAndExitWith2) {
  TempDir dir;
  const std::string w =
      dir.write("w.csv", "t,fx,fy,fz,tx,ty,tz\n0,0,0,0,0,0,0\n0.002,0,0,0,0,0,0\n");
  const std::string g = dir.write("g.csv", "t,wx,wy,wz\n0,0,0,0\n0.002,0,0,0\n");
  const std::string a = dir.write("a.csv", "t,ax,ay,az\n0,0,0,9.81\n0.002,0,0,9.81\n");
  const std::string late = dir.write("late.csv", "t,ax,ay,az\n5,0,0,9.81\n5.001,0,0,9.81\n");
  const std::string back = dir.write("back.csv",
                                     "t,fx,fy,fz,tx,ty,tz\n0,0,0,0,0,0,0\n0.002,0,0,0,0,0,0\n"
                                     "0.001,0,0,0,0,0,0\n");
  const std::string missing = dir.write("missing.csv", "t,ax,ay\n0,0,0\n0.002,0,0\n");
  const std::string text = dir.write("text.csv", "t,ax,ay,az\n0,0,0,9.81\n0.002,0,abc,9.81\n");
  const struct {
    std::string arguments, message;
  } cases[] = {
      {"--accel " + q(late) + " --imu-delay 0",
       "the streams have no time in common (on the wrench's clock): wrench 0.000 to 0.002 s, "
       "accelerometer 5.000 to 5.001 s, gyro 0.000 to 0.002 s"},
      {"--accel " + q(a) + " --wrench " + q(back),
       back + ":4: time 0.001 is earlier than the previous row's 0.002 (time stamps must not go "
              "backwards)"},
      {"--accel " + q(missing),
       missing + ": no column 'az' for the accelerometer (the header has: t, ax, ay)"},
      {"--accel " + q(text), text + ":3: value 'abc' in column 'ay' is not a number"},
      {"--accel " + q(a) + " --accel-axes x,x,z",
       "the accelerometer axes 'x,x,z' are not a rotation (its rows are not orthonormal)"},
      {"--accel " + q(a) + " --gyro-axes -x,y,z",
       "the gyro axes '-x,y,z' are not a rotation (determinant -1: a mirror image)"},
      {"--accel " + q(a) + " --imu-delay -0.031",
       "a delay given by hand must lie within ±30 ms, got -31.00 ms"},
  };
  for (const auto& c : cases) {
    const bool wrenchGiven = c.arguments.find("--wrench") != std::string::npos;
    const ToolRun run =
        runTool(dir, "import " + (wrenchGiven ? std::string() : "--wrench " + q(w) + " ") +
                         "--gyro " + q(g) + " " + c.arguments + " -o " + q(dir.file("out.csv")));
    EXPECT_EQ(run.status, 2) << c.arguments;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zelto-payload: error: " + c.message + "\n");
  }
}

TEST(ZeltoPayloadToolImport, NoiseNamesResampledChannelsAndTheDelay) {
  // The IMU columns held for four rows each: resampled from 250 Hz, and half a held interval
  // (1.5 ms) late on average.
  TempDir dir;
  const std::string recording = dir.file("r.csv"), held = dir.file("held.csv");
  ASSERT_EQ(runTool(dir, "simulate -o " + q(recording) + " --duration 10").status, 0);
  std::vector<tool::RecordedSample> rows = tool::readRecording(recording);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    std::copy_n(rows[k - k % 4].values.begin() + 6, 6, rows[k].values.begin() + 6);
  }
  tool::writeRecording(held, rows);
  // Rates that held for the configuration's block do not hold for the one measured here.
  std::string text = quickConfig(1.0, 2.0);
  text.replace(text.find("    \"runtime_verbosity\""), 0,
               "    \"measurement_noise_sample_rate\": {\"linear_acc\": 254},\n");
  const std::string config = dir.write("est.json", text), copy = dir.file("copy.json");
  const ToolRun run =
      runTool(dir, "noise " + q(held) + " --config " + q(config) + " -o " + q(copy));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "zelto-payload: \"measurement_noise_sample_rate\" of " + config +
                         " left out: the new noise block holds at the recording's rate\n");
  EXPECT_FALSE(tool::readEstimatorSettings(copy).noiseSampleRate);
  EXPECT_NE(run.out.find("\nzelto-payload: " + copy + " is " + config +
                         " with this block and \"imu_delay\": 0.00151 (the delay above, in s)\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(tool::readEstimatorSettings(copy).imuDelay, 0.00151);
  for (const char* channel : {"ax", "ay", "az", "wx", "wy", "wz"}) {
    EXPECT_NE(run.out.find("\n  " + std::string(channel) +
                           ": looks resampled from a lower rate (held or interpolated between the "
                           "knots, or without noise near the Nyquist frequency): its variance is "
                           "not its noise\n"),
              std::string::npos)
        << run.out;
  }
  EXPECT_NE(run.out.find("\nIMU delay, by the payload model's fit over +-30 ms (positive: the IMU "
                         "lags):\n  delay +1.51 ms: the IMU's time stamps lag the wrench's (each "
                         "IMU value belongs with the wrench 1.51 ms before its stamp), +-0.04 ms\n"
                         "\"measurement_noise_covariance\": {\n"),
            std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace zelto
