#include <gtest/gtest.h>

#include <Eigen/Core>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <locale>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "EstimatorTestSupport.h"
#include "PayloadParameterFile.h"
#include "TestUtils.h"

#ifdef __linux__
#include <sys/resource.h>

#include <csignal>
#endif

namespace zelto {
namespace {

using test::CoutCapture;
using test::errorLine;
using test::infoLine;
using test::readFile;
using test::TempDir;

using Solution = Eigen::Matrix<double, 16, 1>;

const std::string kWriting = "Writing estimated payload parameters to file...";

Solution exampleSolution() {
  Solution s;
  s << 1.25, 0.001, -0.0023, 0.0451, 0.0031, 1.2e-05, -4e-05, 0.0029, 2e-06, 0.0012, 0.53, -1.2,
      3.4, 0.012, -0.004, 0.0009;
  return s;
}

const char* const kExampleWithBias =
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

const char* const kExampleWithoutBias =
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

std::size_t lineCount(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

EstimatorConfig configAt(const std::string& configPath, const std::string& outputFileName,
                         bool withBias = true) {
  EstimatorConfig c;
  c.configPath = configPath;
  c.outputFileName = outputFileName;
  c.outputBiasEstimate = withBias;
  return c;
}

std::function<Eigen::VectorXd()> returning(const Solution& s) {
  return [s] { return Eigen::VectorXd(s); };
}

std::size_t entriesIn(const std::filesystem::path& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
    ++n;
  }
  return n;
}

// A decimal comma and digit grouping, as some hosts' locales have.
struct CommaNumpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// --- text layout -------------------------------------------------------------------------

TEST(PayloadParameterFileText, WithBiasHas29ExactLines) {
  const std::string text = payloadParameterFileText(exampleSolution(), true);
  EXPECT_EQ(text, kExampleWithBias);
  EXPECT_EQ(lineCount(text), 29u);
}

TEST(PayloadParameterFileText, WithoutBiasHas21ExactLinesAndIsValidJson) {
  const std::string text = payloadParameterFileText(exampleSolution(), false);
  EXPECT_EQ(text, kExampleWithoutBias);
  EXPECT_EQ(lineCount(text), 21u);
  const nlohmann::json j = nlohmann::json::parse(text);
  const auto& props = j.at("payload_compensator_config").at("payload_properties");
  EXPECT_FALSE(props.contains("bias"));
  EXPECT_EQ(props.at("inertia").at("Izz").get<double>(), 0.0012);
  EXPECT_FALSE(j.at("payload_compensator_config").at("enable_dynamic_compensation").get<bool>());
}

TEST(PayloadParameterFileText, InertiaNotIdentifiedIsNamedLastInThePayloadProperties) {
  const std::string text =
      payloadParameterFileText(exampleSolution(), true, {false, true, true, false, true, true});
  const std::string end = "      }\n    },";  // of the bias block, then of the properties
  std::string expected = kExampleWithBias;
  expected.replace(expected.find(end), end.size(),
                   "      },\n      \"not_identified\": [\"Ixx\", \"Iyy\"]\n    },");
  EXPECT_EQ(text, expected);
  const nlohmann::json j = nlohmann::json::parse(text);
  EXPECT_EQ(j.at("payload_compensator_config").at("payload_properties").at("not_identified"),
            nlohmann::json({"Ixx", "Iyy"}));
}

TEST(PayloadParameterFileText, NumbersUseDefaultStreamFormatting) {
  Solution s;
  s << 2.0, 0.000012345, 1234567.0, 123456.0, 1.0 / 3.0, 0.0001, 100000.0, 1e6, -0.0, 1e-300,
      -2.5e-5, 0.1 + 0.2, 1e21, 12.3456789, -7.0, 0.00012345;
  const std::string text = payloadParameterFileText(s, true);
  EXPECT_NE(text.find("      \"mass\": 2,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"x\": 1.2345e-05,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"y\": 1.23457e+06,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"z\": 123456\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Ixx\": 0.333333,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Ixy\": 0.0001,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Ixz\": 100000,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Iyy\": 1e+06,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Iyz\": -0,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Izz\": 1e-300\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Fx\": -2.5e-05,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Fy\": 0.3,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Fz\": 1e+21,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Tx\": 12.3457,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Ty\": -7,\n"), std::string::npos);
  EXPECT_NE(text.find("        \"Tz\": 0.00012345\n"), std::string::npos);
  // Everything the stream wrote is still JSON.
  EXPECT_EQ(nlohmann::json::parse(text)
                .at("payload_compensator_config")
                .at("payload_properties")
                .at("mass")
                .get<double>(),
            2.0);
}

TEST(PayloadParameterFileText, DecimalPointIsAPointWhateverTheGlobalLocale) {
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct));
  Solution s = exampleSolution();
  s[0] = 1234.5;
  const std::string text = payloadParameterFileText(s, false);
  std::locale::global(previous);
  EXPECT_NE(text.find("      \"mass\": 1234.5,\n"), std::string::npos) << text;
}

// --- location ----------------------------------------------------------------------------

TEST(PayloadParameterFilePath, FileGoesNextToTheConfiguration) {
  EXPECT_EQ(payloadParameterFilePath("/etc/zelto/est.json", "payload.json"),
            "/etc/zelto/payload.json");
  EXPECT_EQ(payloadParameterFilePath("cfg/est.json", "payload.json"), "cfg/payload.json");
  EXPECT_EQ(payloadParameterFilePath("./est.json", "payload.json"), "./payload.json");
}

TEST(PayloadParameterFilePath, BackslashesSeparateOnEveryPlatform) {
  EXPECT_EQ(payloadParameterFilePath("C:\\cfg\\est.json", "payload.json"), "C:\\cfg\\payload.json");
  EXPECT_EQ(payloadParameterFilePath("C:\\est.json", "payload.json"), "C:\\payload.json");
  EXPECT_EQ(payloadParameterFilePath("\\\\server\\share\\est.json", "p.json"),
            "\\\\server\\share\\p.json");
  // Mixed separators: the last one of either kind counts, and is the one inserted.
  EXPECT_EQ(payloadParameterFilePath("a\\b/est.json", "p.json"), "a\\b/p.json");
  EXPECT_EQ(payloadParameterFilePath("a/b\\est.json", "p.json"), "a/b\\p.json");
}

TEST(PayloadParameterFilePath, NoSeparatorMeansTheWorkingDirectory) {
  EXPECT_EQ(payloadParameterFilePath("est.json", "payload.json"), "payload.json");
  EXPECT_EQ(payloadParameterFilePath("", "payload.json"), "payload.json");
}

TEST(PayloadParameterFilePath, RepeatedSeparatorsAndRoots) {
  EXPECT_EQ(payloadParameterFilePath("dir//est.json", "p.json"), "dir/p.json");
  EXPECT_EQ(payloadParameterFilePath("dir\\/\\est.json", "p.json"), "dir\\p.json");
  EXPECT_EQ(payloadParameterFilePath("/est.json", "p.json"), "/p.json");
  EXPECT_EQ(payloadParameterFilePath("//est.json", "p.json"), "/p.json");
  EXPECT_EQ(payloadParameterFilePath("\\est.json", "p.json"), "\\p.json");
}

TEST(PayloadParameterFilePath, AbsoluteOutputFileNameReplacesTheDirectory) {
  EXPECT_EQ(payloadParameterFilePath("/etc/zelto/est.json", "/var/lib/p.json"), "/var/lib/p.json");
  EXPECT_EQ(payloadParameterFilePath("/etc/zelto/est.json", "D:\\out\\p.json"), "D:\\out\\p.json");
  EXPECT_EQ(payloadParameterFilePath("C:\\cfg\\est.json", "\\out\\p.json"), "\\out\\p.json");
  // A relative name with directories stays below the configuration's directory.
  EXPECT_EQ(payloadParameterFilePath("/etc/zelto/est.json", "out/p.json"), "/etc/zelto/out/p.json");
}

TEST(PayloadParameterFilePath, EmptyFileNameNamesTheDirectory) {
  EXPECT_EQ(payloadParameterFilePath("/etc/zelto/est.json", ""), "/etc/zelto/");
  EXPECT_EQ(payloadParameterFilePath("C:\\cfg\\est.json", ""), "C:\\cfg\\");
}

TEST(PayloadParameterFilePath, FileNamePartIsTheTextAfterTheLastSeparator) {
  EXPECT_EQ(fileNamePart("/etc/zelto/payload.json"), "payload.json");
  EXPECT_EQ(fileNamePart("C:\\cfg\\payload.json"), "payload.json");
  EXPECT_EQ(fileNamePart("payload.json"), "payload.json");
  EXPECT_EQ(fileNamePart("/etc/zelto/"), "");
}

// --- writing -----------------------------------------------------------------------------

TEST(WritePayloadParameterFile, WritesNextToTheConfigurationAndNamesTheFile) {
  TempDir dir;
  const EstimatorConfig config = configAt(dir.file("est.json"), "payload.json");
  CoutCapture out;
  EXPECT_TRUE(writePayloadParameterFile(config, returning(exampleSolution())));
  EXPECT_EQ(out.str(),
            infoLine(kWriting) + infoLine("Inertial parameters written to file: payload.json"));
  EXPECT_EQ(readFile(dir.file("payload.json")), kExampleWithBias);
  // Nothing but the file itself is left in the directory.
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(WritePayloadParameterFile, WithoutBiasWritesThe21LineLayout) {
  TempDir dir;
  const EstimatorConfig config = configAt(dir.file("est.json"), "payload.json", false);
  CoutCapture out;
  EXPECT_TRUE(writePayloadParameterFile(config, returning(exampleSolution())));
  EXPECT_EQ(readFile(dir.file("payload.json")), kExampleWithoutBias);
}

TEST(WritePayloadParameterFile, ConfigurationPathWithBackslashes) {
  TempDir dir;
  // On this platform or another, "<dir>/cfg\payload.json" names the file written for the
  // configuration "<dir>/cfg\est.json"; the success line names only payload.json.
  std::filesystem::create_directories(dir.path() / "cfg");
  const std::string configPath = dir.path().string() + "/cfg\\est.json";
  CoutCapture out;
  EXPECT_TRUE(writePayloadParameterFile(configAt(configPath, "payload.json"),
                                        returning(exampleSolution())));
  EXPECT_EQ(out.str(),
            infoLine(kWriting) + infoLine("Inertial parameters written to file: payload.json"));
  EXPECT_EQ(readFile(dir.path().string() + "/cfg\\payload.json"), kExampleWithBias);
}

TEST(WritePayloadParameterFile, ConfigurationWithoutSeparatorWritesIntoWorkingDirectory) {
  TempDir dir;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  CoutCapture out;
  const bool written =
      writePayloadParameterFile(configAt("est.json", "payload.json"), returning(exampleSolution()));
  std::filesystem::current_path(previous);
  EXPECT_TRUE(written);
  EXPECT_EQ(readFile(dir.file("payload.json")), kExampleWithBias);
}

TEST(WritePayloadParameterFile, UnopenableDirectoryGivesOpenErrorWithFullPath) {
  TempDir dir;
  const std::string configPath = dir.file("missing") + "/est.json";
  const std::string outputPath = dir.file("missing") + "/payload.json";
  CoutCapture out;
  EXPECT_FALSE(writePayloadParameterFile(configAt(configPath, "payload.json"),
                                         returning(exampleSolution())));
  EXPECT_EQ(out.str(),
            infoLine(kWriting) + errorLine("Failed to open file for writing: " + outputPath));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(WritePayloadParameterFile, EmptyFileNameGivesOpenErrorForTheDirectory) {
  TempDir dir;
  const std::string configPath = dir.file("est.json");
  CoutCapture out;
  EXPECT_FALSE(writePayloadParameterFile(configAt(configPath, ""), returning(exampleSolution())));
  EXPECT_EQ(out.str(),
            infoLine(kWriting) +
                errorLine("Failed to open file for writing: " + dir.path().string() + "/"));
  EXPECT_EQ(entriesIn(dir.path()), 0u);
}

TEST(WritePayloadParameterFile, FileNameOfADirectoryGivesOpenError) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "taken");
  CoutCapture out;
  EXPECT_FALSE(writePayloadParameterFile(configAt(dir.file("est.json"), "taken"),
                                         returning(exampleSolution())));
  EXPECT_EQ(out.str(), infoLine(kWriting) +
                           errorLine("Failed to open file for writing: " + dir.file("taken")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "taken"));
}

TEST(WritePayloadParameterFile, NonFiniteSolutionIsRefusedAndNothingIsWritten) {
  TempDir dir;
  const std::string target = dir.write("payload.json", "previous contents\n");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (int index : {0, 3, 9, 15}) {
    for (double bad : {nan, inf, -inf}) {
      Solution s = exampleSolution();
      s[index] = bad;
      // Also without the bias block: a NaN bias means the whole estimate is unusable.
      for (bool withBias : {true, false}) {
        CoutCapture out;
        EXPECT_FALSE(writePayloadParameterFile(
            configAt(dir.file("est.json"), "payload.json", withBias), returning(s)));
        EXPECT_EQ(out.str(),
                  infoLine(kWriting) + errorLine("Failed to write inertial parameters to file: "
                                                 "the estimate contains a non-finite value"));
      }
    }
  }
  EXPECT_EQ(readFile(target), "previous contents\n");
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(WritePayloadParameterFile, FailingQueryIsReportedAfterTheAnnouncement) {
  TempDir dir;
  CoutCapture out;
  EXPECT_FALSE(writePayloadParameterFile(
      configAt(dir.file("est.json"), "payload.json"),
      []() -> Eigen::VectorXd { throw std::runtime_error("estimator gone"); }));
  EXPECT_FALSE(writePayloadParameterFile(configAt(dir.file("est.json"), "payload.json"), [] {
    return Eigen::VectorXd(Eigen::VectorXd::Zero(10));
  }));
  EXPECT_EQ(out.str(),
            infoLine(kWriting) +
                errorLine("Failed to write inertial parameters to file: estimator gone") +
                infoLine(kWriting) +
                errorLine("Failed to write inertial parameters to file: the estimate has 10 "
                          "values instead of 16"));
  EXPECT_EQ(entriesIn(dir.path()), 0u);
}

TEST(WritePayloadParameterFile, ExistingFileIsReplacedAsAWhole) {
  TempDir dir;
  // An older, longer file: nothing of it may survive behind the new text.
  const std::string target = dir.write("payload.json", std::string(5000, 'x'));
  CoutCapture out;
  EXPECT_TRUE(writePayloadParameterFile(configAt(dir.file("est.json"), "payload.json", false),
                                        returning(exampleSolution())));
  EXPECT_EQ(readFile(target), kExampleWithoutBias);
  Solution s = exampleSolution();
  s[0] = 2.0;
  EXPECT_TRUE(
      writePayloadParameterFile(configAt(dir.file("est.json"), "payload.json"), returning(s)));
  std::string expected = kExampleWithBias;
  expected.replace(expected.find("1.25"), 4, "2");
  EXPECT_EQ(readFile(target), expected);
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// Stands in for the flush to the disk: records what it is asked to flush and what the target
// file holds at that moment, and fails with EIO at the call numbered failAt (from 0).
struct DiskSyncProbe {
  static inline std::string target;
  static inline std::vector<std::string> paths;
  static inline std::vector<std::string> targetText;
  static inline int failAt = -1;

  static int sync(const char* path) {
    paths.emplace_back(path);
    targetText.push_back(readFile(target));
    return static_cast<int>(paths.size()) - 1 == failAt ? EIO : 0;
  }

  explicit DiskSyncProbe(const std::string& targetPath, int failingCall = -1)
      : previous_(setDiskSync(&DiskSyncProbe::sync)) {
    target = targetPath;
    paths.clear();
    targetText.clear();
    failAt = failingCall;
  }
  ~DiskSyncProbe() { setDiskSync(previous_); }
  DiskSyncProbe(const DiskSyncProbe&) = delete;
  DiskSyncProbe& operator=(const DiskSyncProbe&) = delete;

 private:
  DiskSync previous_;
};

TEST(WritePayloadParameterFile, FlushesTheFileBeforeTheRenameAndTheDirectoryAfter) {
  TempDir dir;
  const std::string target = dir.write("payload.json", "previous contents\n");
  CoutCapture out;
  DiskSyncProbe probe(target);
  EXPECT_TRUE(writePayloadParameterFile(configAt(dir.file("est.json"), "payload.json"),
                                        returning(exampleSolution())));
  ASSERT_EQ(DiskSyncProbe::paths.size(), 2u);
  // First the temporary file beside the target, while the target is still the old one.
  EXPECT_EQ(DiskSyncProbe::paths[0].rfind(target + ".", 0), 0u) << DiskSyncProbe::paths[0];
  EXPECT_EQ(DiskSyncProbe::targetText[0], "previous contents\n");
  // Then the directory that holds the new name.
  EXPECT_EQ(DiskSyncProbe::paths[1], dir.path().string());
  EXPECT_EQ(DiskSyncProbe::targetText[1], kExampleWithBias);
}

TEST(WritePayloadParameterFile, FailedFlushToTheDiskIsReportedLikeAFailedWrite) {
  TempDir dir;
  const std::string target = dir.write("payload.json", "previous contents\n");
  const EstimatorConfig config = configAt(dir.file("est.json"), "payload.json");
  const std::string failed = "Failed to write inertial parameters to file: could not flush ";
  {
    // The temporary file: the old file stays and the temporary one is removed.
    CoutCapture out;
    DiskSyncProbe probe(target, 0);
    EXPECT_FALSE(writePayloadParameterFile(config, returning(exampleSolution())));
    EXPECT_EQ(out.str(), infoLine(kWriting) + errorLine(failed + target + ": Input/output error"));
    EXPECT_EQ(readFile(target), "previous contents\n");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
  }
  {
    // The directory: the new file has its name, but the write is not known to be durable.
    CoutCapture out;
    DiskSyncProbe probe(target, 1);
    EXPECT_FALSE(writePayloadParameterFile(config, returning(exampleSolution())));
    EXPECT_EQ(out.str(), infoLine(kWriting) + errorLine(failed + "the directory of " + target +
                                                        ": Input/output error"));
    EXPECT_EQ(readFile(target), kExampleWithBias);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
  }
}

#ifdef __linux__
// Restores the file-size limit and the SIGXFSZ disposition on scope exit.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST(WritePayloadParameterFile, FailedWriteLeavesTheOldFileIntactAndNoTemporary) {
  TempDir dir;
  const std::string target = dir.write("payload.json", "previous contents\n");
  CoutCapture out;
  bool written = true;
  {
    // The file system refuses everything beyond 100 bytes, like a full disk.
    FileSizeLimit limit(100);
    written = writePayloadParameterFile(configAt(dir.file("est.json"), "payload.json"),
                                        returning(exampleSolution()));
  }
  EXPECT_FALSE(written);
  const std::string text = out.str();
  std::string expectedStart =
      infoLine(kWriting) +
      errorLine("Failed to write inertial parameters to file: could not write " + target);
  expectedStart.pop_back();
  // The operating system's reason follows the path on the same line.
  EXPECT_EQ(text.compare(0, expectedStart.size(), expectedStart), 0) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_EQ(text.find("Inertial parameters written to file"), std::string::npos);
  EXPECT_EQ(readFile(target), "previous contents\n");
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}
#endif

}  // namespace
}  // namespace zelto
