#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ConsistencyReport.h"
#include "CsvRecording.h"
#include "NoiseEstimate.h"
#include "PayloadFile.h"
#include "Simulation.h"
#include "StreamImport.h"
#include "ToolOptions.h"

namespace zelto::tool {

// The options of the commands, each struct with its command's help texts and a bind() that binds
// the command's options to its fields; `simulate`'s are in Simulation.h.

struct NoiseOptions {
  static constexpr CommandText kCommand = {
      "noise", "measure the sensor noise of a recording",
      "noise RECORDING.csv [-o NOISE.json | --config FILE -o COPY.json]",
      "Measures the white-noise variance of each channel of a recording (still or moving:\nthe "
      "robust spread of each channel's fourth difference) and derives the angular-\nacceleration "
      "variance of the estimator's derivative at the recording's median rate.\nPrints them, any "
      "sign of trouble (rate jitter, gaps, repeated samples, clipping,\nresampled channels), the "
      "delay of the IMU columns against the wrench (positive:\nthe IMU's time stamps lag) and a "
      "ready \"measurement_noise_covariance\" block. With\n--config the copy also gets that delay "
      "as \"imu_delay\" when the recording tells it\n(a fit neither flat nor ambiguous, within "
      "+-25 ms); else it keeps the configuration's\nown and standard error says why."};

  std::string recording;
  std::optional<std::string> output;  //!< -o: the block alone, or the configuration copy
  std::optional<std::string> config;  //!< --config: the configuration to copy the block into

  void bind(CLI::App& c) {
    c.add_option("recording", recording, "the recording to measure")
        ->type_name("RECORDING.csv")
        ->required()
        ->check(kExistingFile);
    CLI::Option* o = c.add_option("-o,--output", output,
                                  "write the block as a JSON file, or with --config the "
                                  "configuration copy")
                         ->type_name("FILE");
    c.add_option("--config", config,
                 "estimator configuration to copy with the measured block in place of its own "
                 "(needs -o)")
        ->type_name("FILE")
        ->check(kExistingFile)
        ->needs(o);
  }
};

struct ImportCommandOptions {
  static constexpr CommandText kCommand = {
      "import", "join separate sensor streams (CSV) into one recording",
      "import --wrench W.csv [--accel A.csv] [--gyro G.csv] [--orientation O.csv]\n"
      "       [--position P.csv] [--time-unit s|ms|us|ns] [--accel-unit m/s2|g]\n"
      "       [--accel-axes AXES] [--gyro-axes AXES] [--imu-delay auto|SECONDS]\n"
      "       [--config EST.json --config-out OUT.json] -o RECORDING.csv",
      "Joins the separate CSV streams of one sensor, each at its own rate and all on one\n"
      "clock, into the recording the other commands read (time,fx,fy,fz,tx,ty,tz,ax,ay,az,\n"
      "wx,wy,wz; N, N*m, m/s^2, rad/s, sensor frame): every stream is interpolated linearly\n"
      "onto the wrench's time stamps over the span all of them cover. Each file starts with\n"
      "a header line naming its columns; other columns are ignored. Default names:\n"
      "  time         t or time, in --time-unit (default s) for every stream\n"
      "  wrench       fx fy fz tx ty tz: N, N*m, sensor frame\n"
      "  accelerometer ax ay az: specific force (gravity included), m/s^2 or g\n"
      "  gyro         wx wy wz: angular velocity, rad/s\n"
      "  orientation  r11 r12 r13 r21 r22 r23 r31 r32 r33 (rotation matrix, row-major)\n"
      "               or qw qx qy qz / qx qy qz qw (unit quaternion; the header tells)\n"
      "  position     px py pz: the sensor origin in the world frame, m\n"
      "The sensor frame is the wrench's. An orientation is the sensor frame's attitude in\n"
      "a z-up world frame: it maps sensor coordinates to world coordinates, and gravity is\n"
      "9.81 m/s^2 (--gravity) along -z. Without a gyro the angular velocity comes from the\n"
      "orientation; without an accelerometer the specific force comes from the orientation\n"
      "(and the position's second derivative).\n"
      "AXES maps a stream's axes onto the sensor frame and must be a rotation: \"-y,z,-x\"\n"
      "means sensor x = -stream y, sensor y = stream z, sensor z = -stream x.\n"
      "Delay: a positive delay means the IMU's time stamps lag the wrench's, i.e. the IMU\n"
      "value stamped t describes the motion at t - delay (an IMU that reports late). 'auto'\n"
      "(the default) measures it by the payload model's fit within +-30 ms and applies it\n"
      "while resampling, so the recording written is aligned; SECONDS applies that delay.\n"
      "Without an IMU stream the delay is the robot's streams' against the wrench.\n"
      "The account of every stream (rate, jitter, gaps, noise) and of the delay goes to\n"
      "standard error. With --config, --config-out gets a copy of that estimator\n"
      "configuration whose \"measurement_noise_covariance\" is measured at the streams' own\n"
      "rates (a recording resampled from slower streams understates their noise), with\n"
      "\"measurement_noise_sample_rate\" naming the rate of each measured IMU stream slower\n"
      "than the wrench, and without \"imu_delay\": the recording written is aligned.\n"
      "Example: a wrench at 698 Hz with its time in us, an accelerometer at 254 Hz in g in\n"
      "its own axes, an orientation at 99 Hz as a rotation matrix, on the same clock:\n"
      "  zelto-payload import --wrench wrench.csv --accel accel.csv --orientation pose.csv\n"
      "    --time-unit us --accel-unit g --accel-axes -y,z,-x -o recording.csv"};

  std::string wrench;
  std::optional<std::string> accel, gyro, imu, orientation, position;
  std::string timeUnit = "s";
  std::optional<std::string> timeColumn;
  std::string accelUnit = "m/s2";
  std::optional<std::string> accelAxes, gyroAxes, imuAxes;
  std::optional<double> delay;  //!< --imu-delay; unset: measured
  double gravity = 9.81;
  std::optional<std::string> config, configOut;
  std::string output;

  void bind(CLI::App& c) {
    c.add_option("--wrench", wrench, "wrench stream (required)")
        ->type_name("W.csv")
        ->required()
        ->check(kExistingFile);
    c.add_option("--accel", accel, "accelerometer stream")
        ->type_name("A.csv")
        ->check(kExistingFile);
    c.add_option("--gyro", gyro, "gyro stream")->type_name("G.csv")->check(kExistingFile);
    CLI::Option* imuFile =
        c.add_option("--imu", imu, "accelerometer and gyro columns in one stream")
            ->type_name("I.csv")
            ->check(kExistingFile);
    c.add_option("--orientation", orientation, "orientation stream")
        ->type_name("O.csv")
        ->check(kExistingFile);
    c.add_option("--position", position, "position stream")
        ->type_name("P.csv")
        ->check(kExistingFile);
    c.add_option("--time-unit", timeUnit, "unit of every stream's time column (default s)")
        ->type_name("s|ms|us|ns")
        ->check(CLI::IsMember({"s", "ms", "us", "ns"}).description(""));
    c.add_option("--time-column", timeColumn, "name of the time column (default t, else time)")
        ->type_name("NAME");
    c.add_option("--accel-unit", accelUnit, "unit of the accelerometer (default m/s2)")
        ->type_name("m/s2|g")
        ->check(CLI::IsMember({"m/s2", "g"}).description(""));
    c.add_option("--accel-axes", accelAxes, "the accelerometer's axes (default x,y,z)")
        ->type_name("AXES");
    c.add_option("--gyro-axes", gyroAxes, "the gyro's axes (default x,y,z)")->type_name("AXES");
    c.add_option("--imu-axes", imuAxes, "the IMU stream's axes (default x,y,z)")
        ->type_name("AXES")
        ->needs(imuFile);
    const CLI::Validator secondsOrAuto(
        [](std::string& text) {
          double seconds = 0.0;
          if (text == "auto" || readValue(text, seconds).empty()) return std::string();
          return "expected 'auto' or a delay in seconds, got '" + text + "'";
        },
        "");
    c.add_option_function<std::string>(
         "--imu-delay",
         [this](const std::string& text) {
           if (text == "auto") {
             delay.reset();
           } else {
             readValue(text, delay);
           }
         },
         "delay of the IMU's time stamps, s, positive when they lag (default auto: measured)")
        ->type_name("auto|SECONDS")
        ->check(secondsOrAuto);
    addNumber(c, "--gravity", gravity, "m/s^2: the unit g and gravity along the world's -z")
        ->type_name("G")
        ->check(kPositive);
    CLI::Option* configOption = c.add_option("--config", config,
                                             "estimator configuration to copy with the noise block "
                                             "measured at the streams' own rates")
                                    ->type_name("EST.json")
                                    ->check(kExistingFile);
    CLI::Option* copy = c.add_option("--config-out", configOut, "where that copy goes")
                            ->type_name("OUT.json")
                            ->needs(configOption);
    configOption->needs(copy);
    c.add_option("-o,--output", output, "the recording to write")
        ->type_name("RECORDING.csv")
        ->required();
  }

  //! The import these options ask for.
  ImportOptions importOptions() const;
};

struct EstimateOptions {
  static constexpr CommandText kCommand = {
      "estimate", "replay a recording through the payload estimator",
      "estimate --config FILE [options] RECORDING.csv",
      "Replays a recording through the payload estimator library.\nThe estimator's "
      "min_time/max_time run on the wall clock: the last sample is held back\nuntil min_time has "
      "passed, so a fast replay still gets its convergence test. When the recording ends first,\n"
      "the estimator is told that the motion is over: an estimate whose mass, centre of mass\n"
      "and bias converged while the motion left inertia unidentified is then a result for\n"
      "static compensation (the file names those entries).\nExit status: 0 converged (also for "
      "static compensation), file written and physically\nconsistent; 1 not converged; 2 bad "
      "input; 3 file written but physically inconsistent."};

  std::string config;
  std::string recording;
  double speed = 1.0;  //!< 0 = as fast as possible
  std::optional<std::string> trace;
  double traceStep = 0.25;
  bool progress = true;

  void bind(CLI::App& c) {
    c.add_option("recording", recording, "the recording to replay")
        ->type_name("RECORDING.csv")
        ->required()
        ->check(kExistingFile);
    c.add_option("--config", config,
                 "estimator configuration (JSON); the payload parameter file is written next to "
                 "it under its output_config_file_name")
        ->type_name("FILE")
        ->required()
        ->check(kExistingFile);
    // "max" is the speed 0, which the replay takes as no pacing at all.
    const CLI::Validator factorOrMax(
        [](std::string& text) {
          double factor = 0.0;
          if (text == "max") {
            text = "0";
          } else if (!readValue(text, factor).empty() || factor <= 0.0) {
            return "expected a positive factor of real time or 'max', got '" + text + "'";
          }
          return std::string();
        },
        "");
    addNumber(c, "--speed", speed, "replay at X times real speed, or as fast as possible")
        ->type_name("X|max")
        ->transform(factorOrMax);
    c.add_option("--trace", trace,
                 "write the estimate and its standard deviations as the estimator held them at "
                 "points in time of the replay")
        ->type_name("TRACE.csv");
    addNumber(c, "--trace-step", traceStep, "smallest spacing of those points, s")
        ->type_name("S")
        ->check(kPositive);
    c.add_flag_callback(
        "--no-progress", [this] { progress = false; },
        "no progress bar (with the live estimate) on standard error");
  }
};

struct CompensateOptions {
  static constexpr CommandText kCommand = {
      "compensate", "compensate a recording with a payload parameter file",
      "compensate --payload FILE -o OUT.csv [options] RECORDING.csv",
      "Removes the payload's wrench from every sample with the compensator library."};

  std::string payload;
  std::string recording;
  std::string output;
  std::optional<double> tareAt;
  std::optional<bool> dynamic;  //!< --mode; unset: as the payload file says

  void bind(CLI::App& c) {
    c.add_option("recording", recording, "the recording to compensate")
        ->type_name("RECORDING.csv")
        ->required()
        ->check(kExistingFile);
    c.add_option("--payload", payload, "payload parameter file")
        ->type_name("FILE")
        ->required()
        ->check(kExistingFile);
    c.add_option("-o,--output", output,
                 "compensated wrench per sample: time,fx,fy,fz,tx,ty,tz,code (code: 0 ok, 1 "
                 "pending tare (zeros), 5 refused (nan))")
        ->type_name("OUT.csv")
        ->required();
    addNumber(c, "--tare-at", tareAt, "request a tare at the first sample at or after this time")
        ->type_name("SECONDS");
    c.add_option_function<std::string>(
         "--mode", [this](const std::string& mode) { dynamic = mode == "dynamic"; },
         "override the file's compensation mode")
        ->type_name("static|dynamic")
        ->check(CLI::IsMember({"static", "dynamic"}).description(""));
  }
};

struct CheckOptions {
  static constexpr CommandText kCommand = {
      "check", "check a payload parameter file for physical consistency", "check FILE",
      "Checks that a payload parameter file describes a physically possible body: mass > 0,\n"
      "inertia about the centre of mass positive definite, principal moments satisfying\nthe "
      "triangle inequalities. Inertia entries the file names as not identified by the\n"
      "motion count only as far as some values of them would pass. Exit status 0 consistent,\n"
      "1 not, 2 unreadable."};

  std::string file;

  void bind(CLI::App& c) {
    c.add_option("payload-file", file, "the payload parameter file")
        ->type_name("FILE")
        ->required()
        ->check(kExistingFile);
  }
};

struct DemoOptions {
  static constexpr CommandText kCommand = {
      "demo", "simulate, estimate and compensate a known tool end to end",
      "demo [--out DIR] [--seed N] [--config FILE] [--plots|--no-plots] [--no-trace]",
      "Simulates a known tool, estimates it, compensates two recordings and prints how\nclose "
      "everything came. Its files go to the directory --out names."};

  enum class Plots { Auto, Required, Off };
  std::string outputDirectory = "demo-output";
  std::uint64_t seed = 7;
  std::optional<std::string> config;
  Plots plots = Plots::Auto;
  bool trace = true;

  void bind(CLI::App& c) {
    const CLI::Validator named(
        [](std::string& text) { return text.empty() ? "the directory name is empty" : ""; }, "");
    c.add_option("--out", outputDirectory,
                 "directory for the files (default " + outputDirectory + ")")
        ->type_name("DIR")
        ->check(named);
    addNumber(c, "--seed", seed, "random seed")->type_name("N");
    c.add_option("--config", config, "estimator configuration (default: the shipped demo one)")
        ->type_name("FILE")
        ->check(kExistingFile);
    CLI::Option* required = c.add_flag_callback(
        "--plots", [this] { plots = Plots::Required; },
        "fail when the plots cannot be drawn (needs python3 with matplotlib)");
    c.add_flag_callback(
         "--no-plots", [this] { plots = Plots::Off; },
         "skip the plots (default: draw them if possible)")
        ->excludes(required);
    c.add_flag_callback(
        "--no-trace", [this] { trace = false; }, "skip the convergence trace and its plot");
  }
};

struct HelpOptions {
  static constexpr CommandText kCommand = {"help", "show the usage of the tool or of one command",
                                           "help [COMMAND]",
                                           "Shows the usage of the tool or of one command."};

  std::string topic;

  void bind(CLI::App& c) {
    c.add_option("topic", topic, "the command to show the usage of")->type_name("COMMAND");
  }
};

//! The options of every command, bound to one ToolCommandLine by commandLine().
struct ToolOptionSet {
  SimulateOptions simulate;
  NoiseOptions noise;
  ImportCommandOptions streamImport;
  EstimateOptions estimate;
  CompensateOptions compensate;
  CheckOptions check;
  DemoOptions demo;
  HelpOptions help;

  ToolCommandLine commandLine() {
    return ToolCommandLine(simulate, streamImport, noise, estimate, compensate, check, demo, help);
  }
};

// The subcommands; each returns the process exit status (ExitStatus) and throws ToolError or
// UsageError for input it cannot use.
int runNoise(const NoiseOptions& options);
int runImport(const ImportCommandOptions& options);
int runEstimate(const EstimateOptions& options);
int runCompensate(const CompensateOptions& options);
int runCheck(const CheckOptions& options);
int runDemo(const DemoOptions& options, const std::string& executablePath);

//! The parameters of a payload parameter file, the quantities derived for the check, each
//! condition and a one-line verdict.
void printConsistency(std::ostream& out, const std::string& path,
                      const PayloadFileContents& contents, const ConsistencyReport& report);

//! measureNoise of a recording's rows; throws std::invalid_argument as it does.
NoiseEstimate measureRecordingNoise(const std::vector<RecordedSample>& samples);

//! What `noise` prints before the block: rows and median rate, the table of standard
//! deviations and variances, the derivative's factor and the signs of trouble.
void printNoiseReport(std::ostream& out, const std::string& recording, const NoiseEstimate& e);

//! What `noise` prints after it: the delay of the IMU columns against the wrench columns
//! (measureRecordingDelay) with its sign explained and its warnings (a flat or not unique
//! minimum), or why it could not be measured. Returns the measurement, if any.
std::optional<DelayEstimate> printRecordingDelay(std::ostream& out,
                                                 const std::vector<RecordedSample>& samples);

//! The one line (with its line end) that `estimate` prints on standard error when a configured
//! variance is more than ten times larger or smaller than the one measured in the recording:
//! the worst of them, both values, how many more there are, and the `noise` command that writes
//! the measured block into the configuration. Empty when every variance is within ten times,
//! or when the configuration or the recording cannot be read or measured (the run reports it).
std::string noiseHint(const std::string& configPath, const std::string& recordingPath,
                      const std::vector<RecordedSample>& samples);

//! The word as a POSIX shell reads it back: unchanged when plain, else in single quotes.
std::string shellWord(const std::string& word);

//! printf-style formatting of one number.
std::string formatNumber(const char* format, double value);

}  // namespace zelto::tool
