#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "PayloadParameters.h"
#include "TestUtils.h"

namespace zelto {
namespace {

using test::CoutCapture;
using test::infoLine;

// A file exactly as the estimator writes it, bias block included (29 lines; note the space
// after false).
const char* const kEstimatorFileWithBias =
    "{\n"
    "  \"payload_compensator_config\": {\n"
    "    \"payload_properties\": {\n"
    "      \"mass\": 1.25,\n"
    "      \"com\": {\n"
    "        \"x\": 0.001,\n"
    "        \"y\": -0.0023,\n"
    "        \"z\": 0.0451\n"
    "      },\n"
    "      \"inertia\": {\n"
    "        \"Ixx\": 0.0031,\n"
    "        \"Ixy\": 1.2e-05,\n"
    "        \"Ixz\": -4e-05,\n"
    "        \"Iyy\": 0.0029,\n"
    "        \"Iyz\": 2e-06,\n"
    "        \"Izz\": 0.0012\n"
    "      },\n"
    "      \"bias\": {\n"
    "        \"Fx\": 0.53,\n"
    "        \"Fy\": -1.2,\n"
    "        \"Fz\": 3.4,\n"
    "        \"Tx\": 0.012,\n"
    "        \"Ty\": -0.004,\n"
    "        \"Tz\": 0.0009\n"
    "      }\n"
    "    },\n"
    "    \"enable_dynamic_compensation\": false \n"
    "  }\n"
    "}\n";

// The same without the bias block (21 lines).
const char* const kEstimatorFileWithoutBias =
    "{\n"
    "  \"payload_compensator_config\": {\n"
    "    \"payload_properties\": {\n"
    "      \"mass\": 1.25,\n"
    "      \"com\": {\n"
    "        \"x\": 0.001,\n"
    "        \"y\": -0.0023,\n"
    "        \"z\": 0.0451\n"
    "      },\n"
    "      \"inertia\": {\n"
    "        \"Ixx\": 0.0031,\n"
    "        \"Ixy\": 1.2e-05,\n"
    "        \"Ixz\": -4e-05,\n"
    "        \"Iyy\": 0.0029,\n"
    "        \"Iyz\": 2e-06,\n"
    "        \"Izz\": 0.0012\n"
    "      }\n"
    "    },\n"
    "    \"enable_dynamic_compensation\": false \n"
    "  }\n"
    "}\n";

// Compact file with every key; pieces are swapped out by the failure cases.
std::string compactFile(
    const std::string& mass = "2.5", const std::string& com = R"({"x": 0.1, "y": -0.2, "z": 0.3})",
    const std::string& inertia = R"({"Ixx": 1, "Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5, "Izz": 6})",
    const std::string& dynamic = "true") {
  return R"({"payload_compensator_config": {"payload_properties": {"mass": )" + mass +
         R"(, "com": )" + com + R"(, "inertia": )" + inertia +
         R"(}, "enable_dynamic_compensation": )" + dynamic + "}}";
}

class PayloadParametersFile : public ::testing::Test {
 protected:
  std::string write(const std::string& text) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = ::testing::TempDir() + "payload_" + info->name() + ".json";
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    file << text;
    return path_;
  }

  void TearDown() override {
    if (!path_.empty()) {
      std::remove(path_.c_str());
    }
  }

  //! Loads text and expects std::runtime_error with exactly message and no console output.
  void expectFailure(const std::string& text, const std::string& message) {
    const std::string path = write(text);
    PayloadParameters parameters;
    CoutCapture out;
    try {
      loadPayloadParameters(parameters, path);
      ADD_FAILURE() << "expected std::runtime_error with: " << message;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(parameters.path, path);
  }

  std::string path_;
};

TEST_F(PayloadParametersFile, LoadsTheEstimatorsFileWithBiasBlock) {
  const std::string path = write(kEstimatorFileWithBias);
  PayloadParameters p;
  CoutCapture out;
  loadPayloadParameters(p, path);
  EXPECT_EQ(out.str(), infoLine("Configuration file has been parsed successfully"));
  EXPECT_EQ(p.path, path);
  EXPECT_EQ(p.mass, 1.25);
  EXPECT_EQ(p.comX, 0.001);
  EXPECT_EQ(p.comY, -0.0023);
  EXPECT_EQ(p.comZ, 0.0451);
  EXPECT_EQ(p.ixx, 0.0031);
  EXPECT_EQ(p.ixy, 1.2e-05);
  EXPECT_EQ(p.ixz, -4e-05);
  EXPECT_EQ(p.iyy, 0.0029);
  EXPECT_EQ(p.iyz, 2e-06);
  EXPECT_EQ(p.izz, 0.0012);
  // The estimator always writes false: static compensation.
  EXPECT_EQ(p.enableDynamicCompensation, 0.0);
}

TEST_F(PayloadParametersFile, LoadsTheEstimatorsFileWithoutBiasBlock) {
  PayloadParameters p;
  CoutCapture out;
  loadPayloadParameters(p, write(kEstimatorFileWithoutBias));
  EXPECT_EQ(out.str(), infoLine("Configuration file has been parsed successfully"));
  EXPECT_EQ(p.mass, 1.25);
  EXPECT_EQ(p.comZ, 0.0451);
  EXPECT_EQ(p.izz, 0.0012);
  EXPECT_EQ(p.enableDynamicCompensation, 0.0);
}

TEST_F(PayloadParametersFile, IntegersLoadAsDoublesAndTrueSetsTheFlag) {
  PayloadParameters p;
  CoutCapture out;
  loadPayloadParameters(p,
                        write(compactFile("2", R"({"x": -1, "y": 0, "z": 18446744073709551615})")));
  EXPECT_EQ(p.mass, 2.0);
  EXPECT_EQ(p.comX, -1.0);
  EXPECT_EQ(p.comY, 0.0);
  EXPECT_EQ(p.comZ, 18446744073709551615.0);  // an unsigned 64-bit literal
  EXPECT_EQ(p.ixx, 1.0);
  EXPECT_EQ(p.ixy, 2.0);
  EXPECT_EQ(p.ixz, 3.0);
  EXPECT_EQ(p.iyy, 4.0);
  EXPECT_EQ(p.iyz, 5.0);
  EXPECT_EQ(p.izz, 6.0);
  EXPECT_EQ(p.enableDynamicCompensation, 1.0);
}

TEST_F(PayloadParametersFile, IgnoresUnknownKeysAndAnythingAfterTheFirstValue) {
  PayloadParameters p;
  CoutCapture out;
  loadPayloadParameters(
      p, write(R"({"comment": "x", "payload_compensator_config": {"extra": [1, 2],)"
               R"( "payload_properties": {"mass": 3, "com": {"x": 0, "y": 0, "z": 0, "w": 9},)"
               R"( "inertia": {"Ixx": 0, "Ixy": 0, "Ixz": 0, "Iyy": 0, "Iyz": 0, "Izz": 0}},)"
               R"( "enable_dynamic_compensation": false}} trailing text {)"));
  EXPECT_EQ(out.str(), infoLine("Configuration file has been parsed successfully"));
  EXPECT_EQ(p.mass, 3.0);
}

TEST_F(PayloadParametersFile, MissingFileIsNotWrappedAsAParseError) {
  const std::string path = ::testing::TempDir() + "no_such_dir/payload.json";
  PayloadParameters p;
  CoutCapture out;
  try {
    loadPayloadParameters(p, path);
    FAIL() << "expected std::runtime_error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to open configuration file: " + path);
  }
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(p.path, path);  // stored before the file is opened
}

TEST_F(PayloadParametersFile, EmptyFileReportsTheEmptyInput) {
  expectFailure("",
                "Error parsing configuration file: [json.exception.parse_error.101] parse error "
                "at line 1, column 1: syntax error while parsing value - unexpected end of "
                "input; expected '[', '{', or a literal");
}

TEST_F(PayloadParametersFile, SyntaxErrorCarriesLineAndColumn) {
  expectFailure("{\"payload_compensator_config\": {\n  \"payload_properties\": {\"mass\": 2,,}}}",
                "Error parsing configuration file: [json.exception.parse_error.101] parse error "
                "at line 2, column 36: syntax error while parsing object key - unexpected ','; "
                "expected string literal");
}

TEST_F(PayloadParametersFile, CommentsAreNotJson) {
  expectFailure("// payload\n" + compactFile(),
                "Error parsing configuration file: [json.exception.parse_error.101] parse error "
                "at line 1, column 1: syntax error while parsing value - invalid literal; last "
                "read: '/'");
}

TEST_F(PayloadParametersFile, ArrayRootIsRejected) {
  expectFailure("[" + compactFile() + "]",
                "Error parsing configuration file: [json.exception.type_error.304] cannot use "
                "at() with array");
}

TEST_F(PayloadParametersFile, MissingKeysAreNamed) {
  expectFailure(R"({"payload_estimator_config": {}})",
                "Error parsing configuration file: [json.exception.out_of_range.403] key "
                "'payload_compensator_config' not found");
  expectFailure(R"({"payload_compensator_config": {"enable_dynamic_compensation": false}})",
                "Error parsing configuration file: [json.exception.out_of_range.403] key "
                "'payload_properties' not found");
  expectFailure(compactFile("2", R"({"x": 0, "y": 0})"),
                "Error parsing configuration file: [json.exception.out_of_range.403] key 'z' "
                "not found");
  expectFailure(R"({"payload_compensator_config": {"payload_properties": {"com": {}}}})",
                "Error parsing configuration file: [json.exception.out_of_range.403] key 'mass' "
                "not found");
  expectFailure(compactFile("2", R"({"x": 0, "y": 0, "z": 0})",
                            R"({"Ixx": 1, "Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5})"),
                "Error parsing configuration file: [json.exception.out_of_range.403] key 'Izz' "
                "not found");
  expectFailure(R"({"payload_compensator_config": {"payload_properties": {"mass": 1,)"
                R"( "com": {"x": 0, "y": 0, "z": 0},)"
                R"( "inertia": {"Ixx": 1, "Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5, "Izz": 6}}}})",
                "Error parsing configuration file: [json.exception.out_of_range.403] key "
                "'enable_dynamic_compensation' not found");
}

TEST_F(PayloadParametersFile, KeysAreCaseSensitive) {
  expectFailure(compactFile("2", R"({"X": 0, "y": 0, "z": 0})"),
                "Error parsing configuration file: [json.exception.out_of_range.403] key 'x' "
                "not found");
}

TEST_F(PayloadParametersFile, WrongTypesAreRejected) {
  expectFailure(compactFile("\"2\""),
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "number, but is string");
  expectFailure(compactFile("true"),
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "number, but is boolean");
  expectFailure(compactFile("null"),
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "number, but is null");
  expectFailure(R"({"payload_compensator_config": {"payload_properties": [1]}})",
                "Error parsing configuration file: [json.exception.type_error.304] cannot use "
                "at() with array");
  expectFailure(compactFile("2", "7"),
                "Error parsing configuration file: [json.exception.type_error.304] cannot use "
                "at() with number");
}

TEST_F(PayloadParametersFile, DynamicFlagMustBeABoolean) {
  expectFailure(compactFile("2.5", R"({"x": 0.1, "y": -0.2, "z": 0.3})",
                            R"({"Ixx": 1, "Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5, "Izz": 6})", "1"),
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "boolean, but is number");
  expectFailure(
      compactFile("2.5", R"({"x": 0.1, "y": -0.2, "z": 0.3})",
                  R"({"Ixx": 1, "Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5, "Izz": 6})", "\"true\""),
      "Error parsing configuration file: [json.exception.type_error.302] type must be "
      "boolean, but is string");
}

TEST_F(PayloadParametersFile, FirstFailingLookupInReadingOrderIsReported) {
  // "com" comes before "inertia", Ixx before Izz, everything before the flag.
  expectFailure(compactFile("1", R"({"x": "a", "y": 0, "z": 0})",
                            R"({"Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5, "Izz": 6})", "0"),
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "number, but is string");
  expectFailure(compactFile("1", R"({"x": 0, "y": 0, "z": 0})",
                            R"({"Ixx": "a", "Ixy": 2, "Ixz": 3, "Iyy": 4, "Iyz": 5})", "0"),
                "Error parsing configuration file: [json.exception.type_error.302] type must be "
                "number, but is string");
}

}  // namespace
}  // namespace zelto
