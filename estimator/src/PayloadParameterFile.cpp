#include "PayloadParameterFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Log.h"
#include "ParameterList.h"

namespace zelto {
namespace {

namespace fs = std::filesystem;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool isAbsolute(const std::string& name) {
  if (!name.empty() && isSeparator(name[0])) {
    return true;
  }
  // A drive such as "D:" names its own root on the platforms that have drives.
  const bool letter =
      !name.empty() && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  return letter && name.size() >= 2 && name[1] == ':';
}

// Removes the temporary file unless it has been renamed into place; never throws.
class TemporaryFile {
 public:
  explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!released_) {
      std::error_code ignored;
      fs::remove(path_, ignored);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const fs::path& path() const { return path_; }
  void release() { released_ = true; }

 private:
  fs::path path_;
  bool released_ = false;
};

// A name in the target directory that no other write of this process uses at the same time.
std::string temporaryPath(const std::string& outputPath) {
  static std::atomic<unsigned> counter{0};
  const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
  return outputPath + "." + std::to_string(tick) + "." + std::to_string(counter++) + ".tmp";
}

// The descriptor is opened read-only: fsync() flushes the file (or directory), whichever
// descriptor names it.
int syncToDisk(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  const int result = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

std::atomic<DiskSync> diskSync{&syncToDisk};

void requireSynced(const fs::path& path, const std::string& what) {
  const int error = diskSync.load()(path.c_str());
  if (error != 0) {
    throw std::runtime_error("could not flush " + what + ": " +
                             std::generic_category().message(error));
  }
}

std::string systemReason() {
  const int error = errno;
  return error != 0 ? ": " + std::generic_category().message(error) : std::string();
}

bool writeFile(const EstimatorConfig& config, const std::function<Eigen::VectorXd()>& query,
               const InertiaEntryFlags& inertiaIdentified) {
  const bool withBias = config.outputBiasEstimate;
  const Eigen::VectorXd solution = query();
  if (solution.size() != 16) {
    throw std::runtime_error("the estimate has " + std::to_string(solution.size()) +
                             " values instead of 16");
  }
  if (!solution.allFinite()) {
    throw std::runtime_error("the estimate contains a non-finite value");
  }
  const std::string text = payloadParameterFileText(solution, withBias, inertiaIdentified);

  const std::string outputPath = payloadParameterFilePath(config.configPath, config.outputFileName);
  const std::string fileName = fileNamePart(outputPath);
  std::error_code ec;
  // A path that names a directory (an empty file name, or an existing directory) cannot be
  // opened as a file.
  if (fileName.empty() || fs::is_directory(fs::path(outputPath), ec)) {
    logError("Failed to open file for writing: " + outputPath);
    return false;
  }

  TemporaryFile temporary{fs::path(temporaryPath(outputPath))};
  std::ofstream out(temporary.path(), std::ios::out | std::ios::trunc);
  if (!out.is_open()) {
    logError("Failed to open file for writing: " + outputPath);
    return false;
  }
  errno = 0;
  out << text;
  out.flush();
  const bool written = out.good();
  out.close();
  if (!written || out.fail()) {
    throw std::runtime_error("could not write " + outputPath + systemReason());
  }
  // On the disk before it gets the final name: after a power cut the name must not point at
  // a file whose data never got there.
  requireSynced(temporary.path(), outputPath);
  fs::rename(temporary.path(), fs::path(outputPath), ec);
  if (ec) {
    throw std::runtime_error("could not replace " + outputPath + ": " + ec.message());
  }
  temporary.release();
  // The rename itself lives in the directory, which has to reach the disk as well.
  fs::path directory = fs::path(outputPath).parent_path();
  if (directory.empty()) {
    directory = ".";
  }
  requireSynced(directory, "the directory of " + outputPath);
  logInfo("Inertial parameters written to file: " + fileName);
  return true;
}

}  // namespace

std::string fileNamePart(const std::string& path) {
  const std::size_t last = path.find_last_of("/\\");
  return last == std::string::npos ? path : path.substr(last + 1);
}

std::string payloadParameterFilePath(const std::string& configPath,
                                     const std::string& outputFileName) {
  if (isAbsolute(outputFileName)) {
    return outputFileName;
  }
  const std::size_t last = configPath.find_last_of("/\\");
  if (last == std::string::npos) {
    return outputFileName;
  }
  std::size_t end = last;
  while (end > 0 && isSeparator(configPath[end - 1])) {
    --end;
  }
  if (end == 0) {
    // Directly under the root: the directory is the root, which already ends with a separator.
    return configPath.substr(0, 1) + outputFileName;
  }
  // The separator the configuration path itself uses, so that "C:\cfg\est.json" gives
  // "C:\cfg\<name>" on every platform.
  return configPath.substr(0, end) + configPath[last] + outputFileName;
}

std::string payloadParameterFileText(const Eigen::Matrix<double, 16, 1>& s, bool withBias,
                                     const InertiaEntryFlags& inertiaIdentified) {
  std::ostringstream out;
  // Default stream formatting (six significant digits, %g style) with "." as decimal point,
  // whatever the global locale.
  out.imbue(std::locale::classic());
  out << "{\n"
      << "  \"payload_compensator_config\": {\n"
      << "    \"payload_properties\": {\n"
      << "      \"mass\": " << s[0] << ",\n"
      << "      \"com\": {\n"
      << "        \"x\": " << s[1] << ",\n"
      << "        \"y\": " << s[2] << ",\n"
      << "        \"z\": " << s[3] << "\n"
      << "      },\n"
      << "      \"inertia\": {\n"
      << "        \"Ixx\": " << s[4] << ",\n"
      << "        \"Ixy\": " << s[5] << ",\n"
      << "        \"Ixz\": " << s[6] << ",\n"
      << "        \"Iyy\": " << s[7] << ",\n"
      << "        \"Iyz\": " << s[8] << ",\n"
      << "        \"Izz\": " << s[9] << "\n";
  if (withBias) {
    out << "      },\n"
        << "      \"bias\": {\n"
        << "        \"Fx\": " << s[10] << ",\n"
        << "        \"Fy\": " << s[11] << ",\n"
        << "        \"Fz\": " << s[12] << ",\n"
        << "        \"Tx\": " << s[13] << ",\n"
        << "        \"Ty\": " << s[14] << ",\n"
        << "        \"Tz\": " << s[15] << "\n";
  }
  out << "      }";
  std::string names;
  for (std::size_t j = 0; j < inertiaIdentified.size(); ++j) {
    if (!inertiaIdentified[j]) {
      names += std::string(names.empty() ? "" : ", ") + "\"" +
               kParameters[kInertiaParameters.first + j].name + "\"";
    }
  }
  if (!names.empty()) {
    out << ",\n      \"not_identified\": [" << names << "]";
  }
  out << "\n"
      << "    },\n"
      // The compensator starts in static mode; a user who wants dynamic compensation edits it.
      << "    \"enable_dynamic_compensation\": false \n"
      << "  }\n"
      << "}\n";
  return out.str();
}

DiskSync setDiskSync(DiskSync sync) {
  return diskSync.exchange(sync != nullptr ? sync : &syncToDisk);
}

bool writePayloadParameterFile(const EstimatorConfig& config,
                               const std::function<Eigen::VectorXd()>& solution,
                               const InertiaEntryFlags& inertiaIdentified) {
  logInfo("Writing estimated payload parameters to file...");
  try {
    return writeFile(config, solution, inertiaIdentified);
  } catch (const std::exception& e) {
    logError(std::string("Failed to write inertial parameters to file: ") + e.what());
    return false;
  }
}

}  // namespace zelto
