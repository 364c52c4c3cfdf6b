#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>

#include "Commands.h"
#include "CsvRecording.h"
#include "EstimatorConfigFile.h"
#include "ImuDelay.h"
#include "NoiseEstimate.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

const char* const kChannelLabels[NoiseEstimate::kChannels] = {
    "fx [N]",     "fy [N]",     "fz [N]",     "tx [N*m]",   "ty [N*m]",   "tz [N*m]",
    "ax [m/s^2]", "ay [m/s^2]", "az [m/s^2]", "wx [rad/s]", "wy [rad/s]", "wz [rad/s]"};

// The twelve values in the configuration's order of quantities with their units.
void printTable(std::ostream& out, const NoiseEstimate& e) {
  out << "  channel          std dev      variance\n";
  for (std::size_t c = 0; c < NoiseEstimate::kChannels; ++c) {
    std::string label = kChannelLabels[c];
    label.resize(12, ' ');
    out << "  " << label << formatNumber("%13.4g", std::sqrt(e.variance[c]))
        << formatNumber("%14.4g", e.variance[c]) << "\n";
  }
  out << "  angular acceleration: gyro variance x " << formatNumber("%.4g", e.angularAccFactor)
      << " 1/s^2 (the estimator's derivative at the median rate)\n";
}

}  // namespace

std::optional<DelayEstimate> printRecordingDelay(std::ostream& out,
                                                 const std::vector<RecordedSample>& samples) {
  std::vector<double> times;
  std::vector<std::array<double, 12>> values;
  for (const RecordedSample& s : samples) {
    times.push_back(s.time);
    values.push_back(s.values);
  }
  DelayEstimate e;
  try {
    e = measureRecordingDelay(times, values);
  } catch (const std::invalid_argument& error) {
    out << "IMU delay: not measured (" << error.what() << ")\n";
    return std::nullopt;
  }
  out << "IMU delay, by the payload model's fit over +-"
      << formatNumber("%.0f", 1e3 * e.shifts.back()) << " ms (positive: the IMU lags):\n  "
      << describeDelay(e.delay) << ", +-" << formatNumber("%.2f", 1e3 * e.uncertainty) << " ms\n";
  for (const std::string& line : e.warnings) out << "  warning: " << line << "\n";
  return e;
}

NoiseEstimate measureRecordingNoise(const std::vector<RecordedSample>& samples) {
  std::vector<double> times;
  std::vector<std::array<double, 12>> values;
  times.reserve(samples.size());
  values.reserve(samples.size());
  for (const RecordedSample& s : samples) {
    times.push_back(s.time);
    values.push_back(s.values);
  }
  return measureNoise(times, values);
}

void printNoiseReport(std::ostream& out, const std::string& recording, const NoiseEstimate& e) {
  out << "zelto-payload: noise of " << recording << ": " << e.samples
      << " samples at a median rate of " << formatNumber("%.6g", e.medianRate) << " Hz\n";
  printTable(out, e);
  const std::vector<std::string> troubles = noiseTroubles(e);
  out << "Signs of trouble:" << (troubles.empty() ? " none\n" : "\n");
  for (const std::string& line : troubles) out << "  " << line << "\n";
}

std::string shellWord(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./-+=:,") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string noiseHint(const std::string& configPath, const std::string& recordingPath,
                      const std::vector<RecordedSample>& samples) {
  static const char* const kNames[15] = {
      "force x",       "force y",       "force z",       "torque x",      "torque y",
      "torque z",      "linear_acc x",  "linear_acc y",  "linear_acc z",  "angular_vel x",
      "angular_vel y", "angular_vel z", "angular_acc x", "angular_acc y", "angular_acc z"};
  std::optional<std::array<double, 15>> configured;
  NoiseEstimate e;
  try {
    configured = readEstimatorSettings(configPath).noise;
    e = measureRecordingNoise(samples);
  } catch (const std::exception&) {
    return "";  // the run itself reports what is wrong with either
  }
  if (!configured) return "";
  const std::array<double, 15> measured = configuredVariances(e);
  std::size_t off = 0, worst = 0;
  double worstFactor = 0.0;
  for (std::size_t i = 0; i < 15; ++i) {
    // A channel that is constant or coarsely quantised tells nothing of its noise.
    // Nor does one resampled from a lower rate: its variance reads low.
    const std::size_t channel = i < 12 ? i : 9 + (i - 12);
    if (e.zeroShare[channel] > 0.5 || e.resampled[channel]) continue;
    const double a = (*configured)[i], b = measured[i];
    if (a == b) continue;
    const double factor =
        std::min(a, b) > 0.0 ? std::max(a / b, b / a) : std::numeric_limits<double>::infinity();
    if (factor <= 10.0) continue;
    ++off;
    if (factor > worstFactor) {
      worstFactor = factor;
      worst = i;
    }
  }
  if (off == 0) return "";
  const double a = (*configured)[worst], b = measured[worst];
  const std::string relation = a == 0.0 || b == 0.0 ? ", against the "
                               : a > b ? ", " + formatNumber("%.3g", a / b) + " times the "
                                       : ", 1/" + formatNumber("%.3g", b / a) + " of the ";
  return "zelto-payload: hint: the configured variance of " + std::string(kNames[worst]) + " is " +
         formatNumber("%.3g", a) + relation + formatNumber("%.3g", b) + " measured in " +
         recordingPath +
         (off > 1 ? " (and " + std::to_string(off - 1) + " more over 10 times off)" : "") +
         "; 'zelto-payload noise " + shellWord(recordingPath) + " --config " +
         shellWord(configPath) + " -o " + shellWord(configPath) +
         "' writes the measured ones into the configuration\n";
}

int runNoise(const NoiseOptions& options) {
  const std::vector<RecordedSample> samples = readRecording(options.recording);
  NoiseEstimate e;
  try {
    e = measureRecordingNoise(samples);
  } catch (const std::invalid_argument& error) {
    throw ToolError("cannot measure the noise of '" + options.recording + "': " + error.what());
  }
  printNoiseReport(std::cout, options.recording, e);
  const std::optional<DelayEstimate> delay = printRecordingDelay(std::cout, samples);
  const std::string block = noiseCovarianceBlock(e, 0);
  std::cout << "\"measurement_noise_covariance\": " << block << "\n";
  if (options.config) {
    // The recording's IMU columns lag its wrench columns by the delay, as they will in the host
    // that made it: the estimator undoes that with "imu_delay". A delay the recording does not
    // tell (a still recording, the usual one for the noise) leaves the configuration's own.
    const std::string objection =
        delay ? configurationObjection(*delay) : "the delay could not be measured";
    ImuDelayEdit edit;
    if (objection.empty()) {
      edit.action = ImuDelayEdit::Action::Set;
      edit.value = delay->delay;
    }
    std::optional<double> own;
    bool ownRates = false;
    try {
      const EstimatorSettings settings = readEstimatorSettings(*options.config);
      own = settings.imuDelay;
      ownRates = settings.noiseSampleRate;
    } catch (const ToolError&) {
      // Only for the messages below; the copy reports what is wrong with the file.
    }
    writeConfigWithNoise(*options.config, block, *options.output, edit);
    if (ownRates) std::cerr << droppedRatesNote(*options.config);
    std::cout << "zelto-payload: " << *options.output << " is " << *options.config
              << " with this block";
    if (objection.empty()) {
      std::cout << " and \"imu_delay\": " << formatNumber("%g", delayAsWritten(delay->delay))
                << " (the delay above, in s)";
    }
    std::cout << "\n";
    if (!objection.empty()) {
      std::cerr << "zelto-payload: \"imu_delay\" not written: " << objection
                << (own ? "; the configuration's own " + formatNumber("%g", *own) + " s is kept"
                        : "")
                << "\n";
    }
  } else if (options.output) {
    std::ofstream file(*options.output, std::ios::binary | std::ios::trunc);
    file << "{\n  \"measurement_noise_covariance\": " << noiseCovarianceBlock(e, 2) << "\n}\n";
    file.close();
    if (!file) throw ToolError("cannot write '" + *options.output + "'");
    std::cout << "zelto-payload: block written to " << *options.output << "\n";
  }
  return kExitOk;
}

}  // namespace zelto::tool
