#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zelto::tool {

//! The words of one command line after the subcommand: options written "--name value",
//! "--name=value" or "-o value", flags written "--name", and positional arguments. A lone "--"
//! ends the options. Unknown options, a missing value and a repeated option are UsageErrors.
class ArgumentList {
 public:
  ArgumentList(const std::vector<std::string>& words, const std::set<std::string>& valueOptions,
               const std::set<std::string>& flags);

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> value(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

//! Option value parsers; each throws UsageError naming the option and the offending text.
double parseNumber(const std::string& option, const std::string& text);
double parsePositive(const std::string& option, const std::string& text);
double parseNonNegative(const std::string& option, const std::string& text);
//! Comma-separated list of exactly N numbers, e.g. "0.01,0,-0.02".
std::array<double, 3> parseVector3(const std::string& option, const std::string& text);
std::array<double, 6> parseVector6(const std::string& option, const std::string& text);
std::uint64_t parseSeed(const std::string& option, const std::string& text);
//! "max" (as fast as possible, returned as 0) or a positive factor of real time.
double parseSpeed(const std::string& text);

//! Noise variances per channel (force N², torque N²·m², accelerometer m²/s⁴, gyro rad²/s²);
//! the default is a typical sensor.
struct NoiseVariances {
  double force = 0.01;
  double torque = 1e-5;
  double linearAcc = 1e-3;
  double angularVel = 1e-5;
};

struct SimulateOptions {
  bool help = false;
  std::string output;
  std::optional<std::string> payloadFile;
  std::optional<double> mass;
  std::optional<std::array<double, 3>> com;
  std::optional<std::array<double, 6>> inertia;     //!< about the sensor origin
  std::optional<std::array<double, 6>> inertiaCom;  //!< about the centre of mass
  std::optional<std::array<double, 3>> forceBias;
  std::optional<std::array<double, 3>> torqueBias;
  double duration = 60.0;
  double start = 0.0;  //!< time stamp of the first sample, e.g. a Unix time
  double rate = 1000.0;
  std::string motion = "hand";  //!< hand, slow, fast or static
  std::optional<double> intensity;
  NoiseVariances noise;
  double dropProbability = 0.0;
  double repeatProbability = 0.0;
  std::uint64_t seed = 1;
  std::optional<std::string> truthFile;
};

struct EstimateOptions {
  bool help = false;
  std::string config;
  std::string recording;
  double speed = 1.0;  //!< 0 = as fast as possible
  std::optional<std::string> trace;
  double traceStep = 0.25;
  bool progress = true;
};

struct CompensateOptions {
  bool help = false;
  std::string payload;
  std::string recording;
  std::string output;
  std::optional<double> tareAt;
  std::optional<bool> dynamic;  //!< --mode; unset: as the payload file says
};

struct CheckOptions {
  bool help = false;
  std::string file;
};

struct DemoOptions {
  enum class Plots { Auto, Required, Off };
  bool help = false;
  std::string outputDirectory = "demo-output";
  std::uint64_t seed = 7;
  std::optional<std::string> config;
  Plots plots = Plots::Auto;
  bool trace = true;
};

SimulateOptions parseSimulateOptions(const std::vector<std::string>& words);
EstimateOptions parseEstimateOptions(const std::vector<std::string>& words);
CompensateOptions parseCompensateOptions(const std::vector<std::string>& words);
CheckOptions parseCheckOptions(const std::vector<std::string>& words);
DemoOptions parseDemoOptions(const std::vector<std::string>& words);

//! Usage text of one command ("simulate", ...), or of the tool for an empty name.
std::string usageText(const std::string& command);

}  // namespace zelto::tool
