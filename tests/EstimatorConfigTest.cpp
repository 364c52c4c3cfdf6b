#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "EstimatorConfig.h"
#include "EstimatorTestSupport.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::configText;
using test::ConfigValues;
using test::CoutCapture;
using test::infoLine;
using test::TempDir;
using test::warnLine;

const std::string kParsed = "Estimator configuration file has been parsed successfully";
const std::string kPrefix = "Error parsing estimator configuration file: ";

// Every value different, so that a field read from the wrong key shows. Members appear in
// an order unlike the reading order, and extra keys sit at every level.
const char* const kDistinctConfig = R"({
  "comment": "top-level members other than the estimator's are ignored",
  "payload_estimator_config": {
    "estimation_covariance_convergence_threshold": {
      "wrench_bias": 0.04, "inertia": 0.03, "com": 0.02, "mass": 0.01, "unit": "sigma"
    },
    "measurement_noise_covariance": {
      "angular_acc": {"z": 15.0, "y": 14.0, "x": 13.0},
      "angular_vel": {"x": 10.0, "y": 11.0, "z": 12.0},
      "linear_acc": {"x": 7.0, "y": 8.0, "z": 9.0},
      "torque": {"x": 4.0, "y": 5.0, "z": 6.0},
      "force": {"x": 1.0, "y": 2.0, "z": 3.0, "w": 99.0}
    },
    "filter": {"coeffs": {"smoothing": {"imu": [1.0]}}},
    "prior_payload_properties": {
      "inertia": {"Izz": 0.6, "Iyz": 0.5, "Iyy": 0.4, "Ixz": 0.3, "Ixy": 0.2, "Ixx": 0.1},
      "com": {"x": -0.01, "y": 0.02, "z": 0.03},
      "mass": 1.5
    },
    "max_time": 60.5,
    "min_time": 2.25,
    "output_config_file_name": "out.json",
    "runtime_verbosity": true,
    "measurement_noise_sample_rate": {"angular_vel": 99, "linear_acc": 254},
    "output_bias_estimate": true
  }
})";

std::string parseFailure(const std::string& path) {
  try {
    parseConfiguration(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

// The reference file with one piece of text replaced (the piece must occur once).
std::string withReplaced(const std::string& from, const std::string& to,
                         const ConfigValues& values = ConfigValues()) {
  std::string text = configText(values);
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(EstimatorConfig, ReadsEveryFieldFromItsKey) {
  TempDir dir;
  const std::string path = dir.write("est.json", kDistinctConfig);
  CoutCapture out;
  const EstimatorConfig c = parseConfiguration(path);
  EXPECT_EQ(out.str(), infoLine(kParsed));

  EXPECT_EQ(c.configPath, path);
  EXPECT_EQ(c.outputFileName, "out.json");
  EXPECT_EQ(c.minTime, 2.25);
  EXPECT_EQ(c.maxTime, 60.5);
  EXPECT_EQ(c.priorMass, 1.5);
  EXPECT_EQ(c.priorCom, (std::array<double, 3>{-0.01, 0.02, 0.03}));
  EXPECT_EQ(c.priorInertia, (std::array<double, 6>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
  EXPECT_EQ(c.noiseForce, (std::array<double, 3>{1.0, 2.0, 3.0}));
  EXPECT_EQ(c.noiseTorque, (std::array<double, 3>{4.0, 5.0, 6.0}));
  EXPECT_EQ(c.noiseLinearAcc, (std::array<double, 3>{7.0, 8.0, 9.0}));
  EXPECT_EQ(c.noiseAngularVel, (std::array<double, 3>{10.0, 11.0, 12.0}));
  EXPECT_EQ(c.noiseAngularAcc, (std::array<double, 3>{13.0, 14.0, 15.0}));
  EXPECT_EQ(c.thresholdMass, 0.01);
  EXPECT_EQ(c.thresholdCom, 0.02);
  EXPECT_EQ(c.thresholdInertia, 0.03);
  EXPECT_EQ(c.thresholdWrenchBias, 0.04);
  EXPECT_TRUE(c.runtimeVerbosity);
  EXPECT_TRUE(c.outputBiasEstimate);
  EXPECT_EQ(c.rateLinearAcc, 254.0);
  EXPECT_EQ(c.rateAngularVel, 99.0);
}

TEST(EstimatorConfig, MissingSwitchesDefaultToFalseWithTwoWarningsInOrder) {
  TempDir dir;
  std::string text =
      withReplaced("    \"runtime_verbosity\": false,\n    \"output_bias_estimate\": true\n",
                   "    \"unrelated\": 1\n");
  const std::string path = dir.write("est.json", text);
  CoutCapture out;
  const EstimatorConfig c = parseConfiguration(path);
  EXPECT_EQ(out.str(), warnLine("runtime_verbosity not found in config, defaulting to false") +
                           warnLine("output_bias_estimate not found in config, defaulting to "
                                    "false") +
                           infoLine(kParsed));
  EXPECT_FALSE(c.runtimeVerbosity);
  EXPECT_FALSE(c.outputBiasEstimate);
}

TEST(EstimatorConfig, PresentSwitchesAreTakenWithoutWarning) {
  TempDir dir;
  const std::string path = dir.write(
      "est.json", withReplaced("\"runtime_verbosity\": false", "\"runtime_verbosity\": true"));
  CoutCapture out;
  const EstimatorConfig c = parseConfiguration(path);
  EXPECT_EQ(out.str(), infoLine(kParsed));
  EXPECT_TRUE(c.runtimeVerbosity);
  EXPECT_TRUE(c.outputBiasEstimate);
}

TEST(EstimatorConfig, IntegerIsAcceptedAsNumber) {
  TempDir dir;
  // The reference file writes whole numbers without a decimal point: JSON integers.
  const std::string path = dir.write("est.json", configText());
  ASSERT_NE(test::readFile(path).find("\"min_time\": 5,\n"), std::string::npos);
  CoutCapture out;
  EXPECT_EQ(parseConfiguration(path).minTime, 5.0);
  const std::string unsignedPath = dir.write(
      "unsigned.json", withReplaced("\"max_time\": 120,", "\"max_time\": 18446744073709551615,"));
  EXPECT_EQ(parseConfiguration(unsignedPath).maxTime, 18446744073709551615.0);
}

TEST(EstimatorConfig, ZeroWhereMeaningfulAndOtherOddValuesAreAccepted) {
  TempDir dir;
  ConfigValues v;
  v.minTime = 2.0;
  v.maxTime = 1.0;        // below min_time: such a run always times out
  v.thresholdMass = 0.0;  // never reached: the run goes on until max_time
  v.outputFileName = "";
  const std::string path =
      dir.write("est.json", withReplaced("\"force\": {\"x\": 0.01,", "\"force\": {\"x\": 0,", v));
  CoutCapture out;
  const EstimatorConfig c = parseConfiguration(path);
  EXPECT_EQ(c.minTime, 2.0);
  EXPECT_EQ(c.maxTime, 1.0);
  EXPECT_EQ(c.rateLinearAcc, 0.0);  // absent: the variances hold at the recording's rate
  EXPECT_EQ(c.thresholdMass, 0.0);
  EXPECT_EQ(c.outputFileName, "");
  EXPECT_EQ(c.noiseForce[0], 0.0);
  v = ConfigValues();
  v.minTime = 0.0;  // convergence from the first sample on
  EXPECT_EQ(parseConfiguration(dir.write("zero.json", configText(v))).minTime, 0.0);
}

TEST(EstimatorConfig, NegativeOrNonFiniteValuesAreRefusedWithTheirKeyPath) {
  TempDir dir;
  ConfigValues negativeTimes;
  negativeTimes.minTime = -3.0;
  negativeTimes.maxTime = -7.5;
  ConfigValues zeroMaxTime;
  zeroMaxTime.maxTime = 0.0;
  ConfigValues negativeThreshold;
  negativeThreshold.thresholdWrenchBias = -1e-3;
  const std::pair<std::string, std::string> cases[] = {
      {configText(negativeTimes),
       "payload_estimator_config.min_time must be finite and not negative, but is -3"},
      {configText(zeroMaxTime),
       "payload_estimator_config.max_time must be finite and positive, but is 0"},
      {withReplaced("\"force\": {\"x\": 0.01,", "\"force\": {\"x\": -0.01,"),
       "payload_estimator_config.measurement_noise_covariance.force.x must be finite and not "
       "negative, but is -0.01"},
      // Too large for a double: already the JSON reader refuses it.
      {withReplaced("\"angular_acc\": {\"x\": 0.0057, \"y\": 0.0057, \"z\": 0.0057}",
                    "\"angular_acc\": {\"x\": 0.0057, \"y\": 0.0057, \"z\": 1e999}"),
       "[json.exception.out_of_range.406] number overflow parsing '1e999'"},
      {configText(negativeThreshold),
       "payload_estimator_config.estimation_covariance_convergence_threshold.wrench_bias must "
       "be finite and not negative, but is -0.001"},
      {withReplaced("    \"runtime_verbosity\"",
                    "    \"imu_delay\": -0.03,\n    \"runtime_verbosity\""),
       "payload_estimator_config.imu_delay must be within -0.025 and 0.025 s (the half width of "
       "the window the estimator holds), but is -0.03"},
      {withReplaced("    \"runtime_verbosity\"",
                    "    \"measurement_noise_sample_rate\": {\"linear_acc\": 0},\n"
                    "    \"runtime_verbosity\""),
       "payload_estimator_config.measurement_noise_sample_rate.linear_acc must be finite and "
       "positive, but is 0"},
      {withReplaced("    \"runtime_verbosity\"",
                    "    \"measurement_noise_sample_rate\": 254,\n    \"runtime_verbosity\""),
       "payload_estimator_config.measurement_noise_sample_rate must be an object with numbers "
       "\"linear_acc\" and \"angular_vel\" (Hz)"},
  };
  CoutCapture out;
  for (const auto& [text, reason] : cases) {
    EXPECT_EQ(parseFailure(dir.write("est.json", text)), kPrefix + reason);
  }
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, TextAfterTheFirstValueIsNotRead) {
  TempDir dir;
  const std::string path = dir.write("est.json", configText() + "trailing } garbage {");
  CoutCapture out;
  EXPECT_EQ(parseConfiguration(path).outputFileName, "payload_parameters.json");
}

TEST(EstimatorConfig, MissingFileFailsWithOpenMessageAndPrintsNothing) {
  TempDir dir;
  const std::string path = dir.file("does-not-exist.json");
  CoutCapture out;
  EXPECT_EQ(parseFailure(path), "Failed to open configuration file: " + path);
  EXPECT_EQ(parseFailure("relative/missing.json"),
            "Failed to open configuration file: relative/missing.json");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, NumberGivenAsStringIsRejected) {
  TempDir dir;
  const std::string path =
      dir.write("est.json", withReplaced("\"min_time\": 5,", "\"min_time\": \"5\","));
  CoutCapture out;
  EXPECT_EQ(parseFailure(path),
            "Error parsing estimator configuration file: [json.exception.type_error.302] type "
            "must be number, but is string");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, WrongJsonTypesAreRejected) {
  TempDir dir;
  CoutCapture out;
  EXPECT_EQ(parseFailure(dir.write("a.json", withReplaced("\"mass\": 1,", "\"mass\": null,"))),
            kPrefix + "[json.exception.type_error.302] type must be number, but is null");
  EXPECT_EQ(
      parseFailure(dir.write("b.json", withReplaced("\"max_time\": 120,", "\"max_time\": true,"))),
      kPrefix + "[json.exception.type_error.302] type must be number, but is boolean");
  EXPECT_EQ(parseFailure(dir.write(
                "c.json", withReplaced("\"wrench_bias\": 0.01", "\"wrench_bias\": [0.01]"))),
            kPrefix + "[json.exception.type_error.302] type must be number, but is array");
  EXPECT_EQ(parseFailure(dir.write("d.json", withReplaced("\"output_config_file_name\": "
                                                          "\"payload_parameters.json\"",
                                                          "\"output_config_file_name\": 3"))),
            kPrefix + "[json.exception.type_error.302] type must be string, but is number");
  // A value where an object is needed: member access is not allowed on it.
  EXPECT_EQ(parseFailure(dir.write("e.json", withReplaced("\"com\": {\"x\": 0.0, \"y\": 0.0, "
                                                          "\"z\": 0.05}",
                                                          "\"com\": 0.05"))),
            kPrefix + "[json.exception.type_error.304] cannot use at() with number");
}

TEST(EstimatorConfig, RuntimeVerbosityOneIsNotABoolean) {
  TempDir dir;
  const std::string path = dir.write(
      "est.json", withReplaced("\"runtime_verbosity\": false", "\"runtime_verbosity\": 1"));
  CoutCapture out;
  EXPECT_EQ(parseFailure(path),
            "Error parsing estimator configuration file: [json.exception.type_error.302] type "
            "must be boolean, but is number");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, WarningIsAlreadyPrintedWhenALaterSwitchFails) {
  TempDir dir;
  const std::string path =
      dir.write("est.json", withReplaced("    \"runtime_verbosity\": false,\n"
                                         "    \"output_bias_estimate\": true\n",
                                         "    \"output_bias_estimate\": \"yes\"\n"));
  CoutCapture out;
  EXPECT_EQ(parseFailure(path),
            kPrefix + "[json.exception.type_error.302] type must be boolean, but is string");
  EXPECT_EQ(out.str(), warnLine("runtime_verbosity not found in config, defaulting to false"));
}

TEST(EstimatorConfig, MissingAngularAccelerationFailsAfterEverythingBeforeWasRead) {
  TempDir dir;
  const std::string path = dir.write(
      "est.json",
      withReplaced(",\n      \"angular_acc\": {\"x\": 0.0057, \"y\": 0.0057, \"z\": 0.0057}", ""));
  CoutCapture out;
  EXPECT_EQ(parseFailure(path),
            "Error parsing estimator configuration file: [json.exception.out_of_range.403] key "
            "'angular_acc' not found");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, FirstProblemInReadingOrderIsReported) {
  TempDir dir;
  CoutCapture out;
  // min_time is read before the prior: its absence wins over the broken mass.
  std::string text = withReplaced("\"min_time\": 5,\n", "");
  text.replace(text.find("\"mass\": 1,"), 10, "\"mass\": \"1\",");
  EXPECT_EQ(parseFailure(dir.write("a.json", text)),
            kPrefix + "[json.exception.out_of_range.403] key 'min_time' not found");
  // The output file name is read first of all.
  text = withReplaced("\"output_config_file_name\"", "\"output_file\"");
  text.replace(text.find("\"max_time\""), 10, "\"maxtime\"");
  EXPECT_EQ(parseFailure(dir.write("b.json", text)),
            kPrefix + "[json.exception.out_of_range.403] key 'output_config_file_name' not found");
  // Inside an object the keys are read in the order x, y, z and Ixx ... Izz.
  EXPECT_EQ(parseFailure(dir.write("c.json", withReplaced("\"Ixy\": 0.0, ", ""))),
            kPrefix + "[json.exception.out_of_range.403] key 'Ixy' not found");
  EXPECT_EQ(parseFailure(dir.write("d.json", withReplaced("\"mass\": 0.01,\n", ""))),
            kPrefix + "[json.exception.out_of_range.403] key 'mass' not found");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, MissingSectionIsReportedByName) {
  TempDir dir;
  CoutCapture out;
  EXPECT_EQ(parseFailure(dir.write("a.json", R"({"estimator": {}})")),
            kPrefix + "[json.exception.out_of_range.403] key 'payload_estimator_config' not found");
  EXPECT_EQ(parseFailure(dir.write("b.json", R"({"payload_estimator_config": []})")),
            kPrefix + "[json.exception.type_error.304] cannot use at() with array");
}

TEST(EstimatorConfig, TopLevelArrayFailsWithParseErrorMessage) {
  TempDir dir;
  const std::string path = dir.write("est.json", "[" + configText() + "]");
  CoutCapture out;
  EXPECT_EQ(parseFailure(path),
            "Error parsing estimator configuration file: [json.exception.type_error.304] cannot "
            "use at() with array");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, EmptyFileFailsWithParseErrorMessage) {
  TempDir dir;
  const std::string path = dir.write("est.json", "");
  CoutCapture out;
  EXPECT_EQ(parseFailure(path),
            "Error parsing estimator configuration file: [json.exception.parse_error.101] parse "
            "error at line 1, column 1: syntax error while parsing value - unexpected end of "
            "input; expected '[', '{', or a literal");
  EXPECT_EQ(out.str(), "");
}

TEST(EstimatorConfig, SyntaxErrorsAndCommentsAreRejected) {
  TempDir dir;
  CoutCapture out;
  EXPECT_EQ(parseFailure(dir.write("a.json", "{\n  \"payload_estimator_config\": \n}")),
            kPrefix +
                "[json.exception.parse_error.101] parse error at line 3, column 1: syntax error "
                "while parsing value - unexpected '}'; expected '[', '{', or a literal");
  EXPECT_EQ(parseFailure(dir.write("b.json", "// settings\n" + configText())),
            kPrefix +
                "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error "
                "while parsing value - invalid literal; last read: '/'");
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace zelto
