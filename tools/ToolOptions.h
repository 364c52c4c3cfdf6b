#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelto::tool {

//! Noise variances per channel (force N², torque N²·m², accelerometer m²/s⁴, gyro rad²/s²);
//! the default is a typical sensor.
struct NoiseVariances {
  double force = 0.01;
  double torque = 1e-5;
  double linearAcc = 1e-3;
  double angularVel = 1e-5;
};

struct SimulateOptions {
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
  std::string config;
  std::string recording;
  double speed = 1.0;  //!< 0 = as fast as possible
  std::optional<std::string> trace;
  double traceStep = 0.25;
  bool progress = true;
};

struct CompensateOptions {
  std::string payload;
  std::string recording;
  std::string output;
  std::optional<double> tareAt;
  std::optional<bool> dynamic;  //!< --mode; unset: as the payload file says
};

struct NoiseOptions {
  std::string recording;
  std::optional<std::string> output;  //!< -o: the block alone, or the configuration copy
  std::optional<std::string> config;  //!< --config: the configuration to copy the block into
};

struct CheckOptions {
  std::string file;
};

struct DemoOptions {
  enum class Plots { Auto, Required, Off };
  std::string outputDirectory = "demo-output";
  std::uint64_t seed = 7;
  std::optional<std::string> config;
  Plots plots = Plots::Auto;
  bool trace = true;
};

//! What a command line asks for.
struct CommandLine {
  //! "simulate", "noise", "estimate", "compensate", "check", "demo", "help", "version", or empty
  //! when
  //! no command was given.
  std::string command;
  bool help = false;      //!< --help: show the usage of `command` (the tool's when empty)
  std::string helpTopic;  //!< help COMMAND
  SimulateOptions simulate;
  NoiseOptions noise;
  EstimateOptions estimate;
  CompensateOptions compensate;
  CheckOptions check;
  DemoOptions demo;
};

//! Parses the arguments after the program name. Throws UsageError with a one-line message for an
//! unknown command or option, a missing or repeated one, and a value its option cannot take; the
//! message names the option and the offending text ("--mass: must be greater than 0, got '-1'").
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

//! Usage text of one command ("simulate", ...), or of the tool for an empty name, generated from
//! the same definitions the parser uses.
std::string usageText(const std::string& command);

}  // namespace zelto::tool
