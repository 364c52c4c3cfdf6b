#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CsvRecording.h"
#include "PayloadFile.h"
#include "PayloadSimulator.h"
#include "ToolOptions.h"

namespace zelto::tool {

//! The tool the demo identifies, and the default of `simulate`: a 1.2 kg gripper whose centre
//! of mass sits 6.5 cm out along the flange axis and slightly off it, with a realistic sensor
//! bias.
sim::Payload demoPayload();

//! The motions `simulate` offers, each with its time scale relative to the simulator's hand
//! motion; "static" holds still poses joined by slow moves.
inline const std::vector<std::pair<std::string, double>> kMotions = {
    {"hand", 1.0}, {"slow", 0.4}, {"fast", 2.0}, {"static", 1.0}};

//! Noise variances per channel (force N², torque N²·m², accelerometer m²/s⁴, gyro rad²/s²);
//! the default is a typical sensor.
struct NoiseVariances {
  double force = 0.01;
  double torque = 1e-5;
  double linearAcc = 1e-3;
  double angularVel = 1e-5;
};

struct SimulateOptions {
  static constexpr CommandText kCommand = {
      "simulate", "write a simulated recording (CSV)", "simulate -o OUT.csv [options]",
      "Writes a recording of a simulated payload moved by hand (CSV:\n"
      "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz)."};

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
  std::string motion = "hand";  //!< one of kMotions
  std::optional<double> intensity;
  NoiseVariances noise;
  double dropProbability = 0.0;
  double repeatProbability = 0.0;
  std::uint64_t seed = 1;
  std::optional<std::string> truthFile;

  void bind(CLI::App& c) {
    const sim::Payload tool = demoPayload();
    std::string motions, paces;
    for (const auto& [name, pace] : kMotions) {
      motions += (motions.empty() ? "" : "|") + name;
      paces += (paces.empty() ? "" : ", ") + name + " " + valueText(pace);
    }
    c.add_option("-o,--output", output, "the recording to write")->type_name("OUT.csv")->required();
    c.add_option("--payload", payloadFile,
                 "payload as a payload parameter file (optional \"bias\" block)")
        ->type_name("FILE")
        ->check(kExistingFile);
    addNumber(c, "--mass", mass, "mass, kg (default " + valueText(tool.mass) + ")")
        ->type_name("KG")
        ->check(kPositive);
    addNumber(c, "--com", com,
              "centre of mass, m (default " + valueText(tool.com.x()) + "," +
                  valueText(tool.com.y()) + "," + valueText(tool.com.z()) + ")")
        ->type_name("X,Y,Z");
    CLI::Option* centroidal =
        addNumber(c, "--inertia-com", inertiaCom, "inertia about the centre of mass, kg*m^2")
            ->type_name("IXX,IXY,IXZ,IYY,IYZ,IZZ");
    addNumber(c, "--inertia", inertia, "inertia about the sensor origin, kg*m^2")
        ->type_name("IXX,IXY,IXZ,IYY,IYZ,IZZ")
        ->excludes(centroidal);
    addNumber(c, "--force-bias", forceBias, "sensor force bias, N")->type_name("X,Y,Z");
    addNumber(c, "--torque-bias", torqueBias, "sensor torque bias, N*m")->type_name("X,Y,Z");
    addNumber(c, "--duration", duration, "length, s")->type_name("S")->check(kPositive);
    addNumber(c, "--start", start, "time stamp of the first sample, e.g. a Unix time")
        ->type_name("T");
    addNumber(c, "--rate", rate, "sample rate, Hz")->type_name("HZ")->check(kPositive);
    c.add_option("--motion", motion, "how the tool moves (default " + motion + ")")
        ->type_name(motions)
        ->check(CLI::IsMember(kMotions).description(""));
    addNumber(c, "--intensity", intensity, "time scale of the motion (" + paces + ")")
        ->type_name("X")
        ->check(kPositive);
    // Before the variances: CLI11 applies options in the order they are added, so a variance
    // given as well still counts.
    const auto noiseFree = [this] { noise = NoiseVariances{0.0, 0.0, 0.0, 0.0}; };
    c.add_flag_callback("--no-noise", noiseFree,
                        "noise-free recording (a variance given as well still applies)");
    addNumber(c, "--noise-force", noise.force, "force noise variance, N^2")
        ->type_name("V")
        ->check(kNonNegative);
    addNumber(c, "--noise-torque", noise.torque, "torque noise variance, N^2m^2")
        ->type_name("V")
        ->check(kNonNegative);
    addNumber(c, "--noise-acc", noise.linearAcc, "accelerometer noise variance, m^2/s^4")
        ->type_name("V")
        ->check(kNonNegative);
    addNumber(c, "--noise-gyro", noise.angularVel, "gyro noise variance, rad^2/s^2")
        ->type_name("V")
        ->check(kNonNegative);
    addNumber(c, "--drop", dropProbability, "probability of a dropped sample")
        ->type_name("P")
        ->check(kNonNegative)
        ->check(kBelowOne);
    addNumber(c, "--repeat", repeatProbability, "probability of a repeated sample")
        ->type_name("P")
        ->check(kNonNegative)
        ->check(kBelowOne);
    addNumber(c, "--seed", seed, "random seed")->type_name("N");
    c.add_option("--truth", truthFile, "also write the true parameters as a payload parameter file")
        ->type_name("FILE");
  }
};

//! The payload `simulate` is asked for: the payload file if one is given (else the demo tool),
//! then the options on top. --mass and --com keep the inertia about the centre of mass unless
//! an inertia is given as well.
sim::Payload payloadFromOptions(const SimulateOptions& options);

//! Simulator settings for a motion of kMotions and the other options.
sim::Options simulatorOptions(const SimulateOptions& options, const sim::Payload& payload);

//! Samples with times start + (0 … duration).
std::vector<RecordedSample> simulateRecording(const sim::Options& options, double duration,
                                              double start = 0.0);

//! The payload in the layout of the payload parameter file, bias included.
PayloadFileContents payloadFileContents(const sim::Payload& payload);

//! Runs the `simulate` command.
int runSimulate(const SimulateOptions& options);

}  // namespace zelto::tool
