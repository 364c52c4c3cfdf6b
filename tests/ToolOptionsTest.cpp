#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Commands.h"
#include "EstimatorTestSupport.h"
#include "Simulation.h"
#include "ToolError.h"
#include "ToolOptions.h"

namespace zelto::tool {
namespace {

// Every command of the tool, bound as the tool binds them, and files for the options that name
// existing ones.
struct Tool {
  test::TempDir dir;
  const std::string config = dir.write("c.json", "{}");
  const std::string recording = dir.write("r.csv", "");
  ToolOptionSet options;
  SimulateOptions& simulate = options.simulate;
  NoiseOptions& noise = options.noise;
  EstimateOptions& estimate = options.estimate;
  CompensateOptions& compensate = options.compensate;
  CheckOptions& check = options.check;
  DemoOptions& demo = options.demo;
  HelpOptions& help = options.help;
  ToolCommandLine commandLine = options.commandLine();

  // The UsageError message for a command line, "" when it parses.
  std::string usageErrorOf(const std::vector<std::string>& arguments) {
    try {
      commandLine.parse(arguments);
    } catch (const UsageError& e) {
      return e.what();
    }
    return "";
  }
};

TEST(CommandLine, CommandsHelpAndVersion) {
  EXPECT_EQ(Tool().commandLine.parse({}).command, "");
  EXPECT_EQ(Tool().commandLine.parse({"--version"}).command, "version");
  CommandLine line = Tool().commandLine.parse({"estimate", "--help"});
  EXPECT_EQ(line.command, "estimate");
  EXPECT_TRUE(line.help);
  Tool tool;
  line = tool.commandLine.parse({"help", "check"});
  EXPECT_EQ(line.command, "help");
  EXPECT_EQ(tool.help.topic, "check");
  EXPECT_EQ(Tool().usageErrorOf({"frobnicate"}), "unknown command 'frobnicate'");
  EXPECT_EQ(tool.commandLine.usage("check").rfind("usage: zelto-payload check FILE\n", 0), 0u);
}

TEST(CommandLine, UsageShowsTheDefaultsTheCodeUses) {
  const std::string simulate = Tool().commandLine.usage("simulate");
  for (const char* line :
       {"  --mass KG                   mass, kg (default 1.2)\n",
        "  --com X,Y,Z                 centre of mass, m (default 0.012,-0.008,0.065)\n",
        "  --motion hand|slow|fast|static\n"
        "                              how the tool moves (default hand)\n",
        "  --intensity X               time scale of the motion (hand 1, slow 0.4, fast 2, static "
        "1)\n",
        "  --noise-torque V            torque noise variance, N^2m^2 (default 1e-05)\n",
        "  --seed N                    random seed (default 1)\n"}) {
    EXPECT_NE(simulate.find(line), std::string::npos) << line;
  }
  EXPECT_NE(Tool()
                .commandLine.usage("estimate")
                .find("  --trace-step S              smallest spacing of those points, s (default "
                      "0.25)\n"),
            std::string::npos);
  EXPECT_NE(Tool().commandLine.usage("demo").find(
                "  --out DIR                   directory for the files (default demo-output)\n"),
            std::string::npos);
}

TEST(CommandLine, UnknownMissingAndValuelessOptionsAreRefused) {
  Tool t;
  const std::vector<std::string> run = {"estimate", "--config", t.config, t.recording};
  const auto with = [&run](std::vector<std::string> words) {
    words.insert(words.begin(), run.begin(), run.end());
    return words;
  };
  EXPECT_EQ(t.usageErrorOf(with({"--fast"})), "unknown option '--fast'");
  EXPECT_EQ(t.usageErrorOf(with({"b.csv"})), "unexpected argument 'b.csv'");
  EXPECT_EQ(t.usageErrorOf(with({"--speed", "1", "--speed", "2"})),
            "--speed: At Most 1 required but received 2");
  EXPECT_EQ(t.usageErrorOf(with({"--speed"})), "--speed: 1 required X|max missing");
  EXPECT_EQ(t.usageErrorOf(with({"--no-progress=1"})),
            "no-progress was given a disallowed flag override");
  EXPECT_EQ(t.usageErrorOf({"estimate", t.recording}), "--config is required");
  EXPECT_EQ(t.usageErrorOf({"estimate", "--config", t.config}), "recording is required");
  EXPECT_EQ(t.usageErrorOf({"estimate", "--config", t.config, t.dir.file("absent.csv")}),
            "recording: File does not exist: " + t.dir.file("absent.csv"));
  EXPECT_EQ(t.usageErrorOf({"check"}), "payload-file is required");
  EXPECT_EQ(t.usageErrorOf({"noise"}), "recording is required");
  EXPECT_EQ(t.usageErrorOf({"noise", t.recording, "--config", t.config}),
            "--config requires --output");
}

TEST(CommandLine, BadValuesNameTheOptionAndTheText) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--mass", "1kg"}, "--mass: '1kg' is not a number"},
      {{"--mass", "inf"}, "--mass: 'inf' is not a number"},
      {{"--mass", "-1"}, "--mass: must be greater than 0, got '-1'"},
      {{"--rate", "0"}, "--rate: must be greater than 0, got '0'"},
      {{"--noise-acc", "-0.1"}, "--noise-acc: must not be negative, got '-0.1'"},
      {{"--drop", "1"}, "--drop: must be below 1, got '1'"},
      {{"--com", "1,2"}, "--com: expected 3 comma-separated numbers, got '1,2'"},
      {{"--com", "1,2,3,4"}, "--com: expected 3 comma-separated numbers, got '1,2,3,4'"},
      {{"--com", "1,x,3"}, "--com: 'x' is not a number"},
      {{"--seed", "-1"}, "--seed: '-1' is not a non-negative integer"},
      {{"--seed", "99999999999999999999"},
       "--seed: '99999999999999999999' is not a non-negative integer"},
      {{"--motion", "wild"}, "--motion: wild not in {hand,slow,fast,static}"},
      {{"--inertia", "1,0,0,1,0,1", "--inertia-com", "1,0,0,1,0,1"},
       "--inertia-com excludes --inertia"},
      {{"extra"}, "unexpected argument 'extra'"}};
  for (const auto& [words, message] : cases) {
    std::vector<std::string> arguments = {"simulate", "-o", "r.csv"};
    arguments.insert(arguments.end(), words.begin(), words.end());
    EXPECT_EQ(Tool().usageErrorOf(arguments), message);
  }
  Tool t;
  EXPECT_EQ(t.usageErrorOf({"simulate", "--mass", "1"}), "--output is required");
  EXPECT_EQ(Tool().usageErrorOf({"estimate", "--config", t.config, t.recording, "--speed", "0"}),
            "--speed: expected a positive factor of real time or 'max', got '0'");
  EXPECT_EQ(
      Tool().usageErrorOf({"estimate", "--config", t.config, t.recording, "--trace-step", "-1"}),
      "--trace-step: must be greater than 0, got '-1'");
  EXPECT_EQ(Tool().usageErrorOf(
                {"compensate", "--payload", t.config, "-o", "o", t.recording, "--mode", "fast"}),
            "--mode: fast not in {static,dynamic}");
  EXPECT_EQ(Tool().usageErrorOf({"compensate", "--payload", t.config, t.recording}),
            "--output is required");
  EXPECT_EQ(Tool().usageErrorOf({"demo", "--plots", "--no-plots"}), "--plots excludes --no-plots");
  EXPECT_EQ(Tool().usageErrorOf({"demo", "--out", ""}), "--out: the directory name is empty");
}

TEST(CommandLine, EstimateDefaultsAndEveryOption) {
  Tool t;
  t.commandLine.parse({"estimate", "--config", t.config, t.recording});
  EXPECT_EQ(t.estimate.config, t.config);
  EXPECT_EQ(t.estimate.recording, t.recording);
  EXPECT_EQ(t.estimate.speed, 1.0);
  EXPECT_FALSE(t.estimate.trace.has_value());
  EXPECT_EQ(t.estimate.traceStep, 0.25);
  EXPECT_TRUE(t.estimate.progress);

  Tool u;
  u.commandLine.parse({"estimate", u.recording, "--config=" + u.config, "--speed", "max", "--trace",
                       "t.csv", "--trace-step", "0.5", "--no-progress"});
  EXPECT_EQ(u.estimate.speed, 0.0);
  EXPECT_EQ(u.estimate.trace, "t.csv");
  EXPECT_EQ(u.estimate.traceStep, 0.5);
  EXPECT_FALSE(u.estimate.progress);
  Tool v;
  v.commandLine.parse({"estimate", "--config", v.config, "--speed", "2.5", v.recording});
  EXPECT_EQ(v.estimate.speed, 2.5);
}

TEST(CommandLine, CompensateModeAndTareAreOptional) {
  Tool t;
  t.commandLine.parse({"compensate", "--payload", t.config, "-o", "out.csv", t.recording});
  EXPECT_EQ(t.compensate.payload, t.config);
  EXPECT_EQ(t.compensate.output, "out.csv");
  EXPECT_EQ(t.compensate.recording, t.recording);
  EXPECT_FALSE(t.compensate.dynamic.has_value());
  EXPECT_FALSE(t.compensate.tareAt.has_value());
  Tool u;
  u.commandLine.parse({"compensate", "--payload", u.config, "--output", "out.csv", "--mode",
                       "dynamic", "--tare-at", "1.5", u.recording});
  EXPECT_EQ(u.compensate.output, "out.csv");
  EXPECT_EQ(u.compensate.dynamic, true);
  EXPECT_EQ(u.compensate.tareAt, 1.5);
}

TEST(CommandLine, SimulateOptionsOverrideTheDefaults) {
  // The defaults are the struct's; what parsing must not do is disturb them.
  Tool t;
  t.commandLine.parse({"simulate", "-o", "r.csv"});
  const SimulateOptions& d = t.simulate;
  EXPECT_EQ(d.output, "r.csv");
  EXPECT_EQ(d.noise.force, SimulateOptions().noise.force);
  EXPECT_FALSE(d.mass || d.com || d.inertia || d.inertiaCom || d.truthFile);

  // A variance given with --no-noise still counts, wherever it stands; numbers read exactly
  // (4.91e-6 is one CLI11 would round to a neighbouring double) and seeds in decimal.
  Tool u;
  u.commandLine.parse({"simulate", "-o",         "r.csv",         "--mass",       "2",
                       "--com",    "0,0,0.1",    "--inertia-com", "1,0,0,1,0,1",  "--noise-force",
                       "0.5",      "--no-noise", "--noise-gyro",  "4.91e-6",      "--motion",
                       "static",   "--drop",     "0.01",          "--repeat",     "0.02",
                       "--seed",   "010",        "--start",       "1700000000.5", "--truth",
                       "t.json"});
  const SimulateOptions& o = u.simulate;
  EXPECT_EQ(o.mass, 2.0);
  EXPECT_EQ(o.com, (std::array<double, 3>{0, 0, 0.1}));
  EXPECT_EQ(o.inertiaCom, (std::array<double, 6>{1, 0, 0, 1, 0, 1}));
  EXPECT_EQ(o.noise.force, 0.5);
  EXPECT_EQ(o.noise.torque, 0.0);
  EXPECT_EQ(o.noise.angularVel, 4.91e-6);
  EXPECT_EQ(o.motion, "static");
  EXPECT_EQ(o.dropProbability, 0.01);
  EXPECT_EQ(o.repeatProbability, 0.02);
  EXPECT_EQ(o.seed, 10u);
  EXPECT_EQ(o.start, 1700000000.5);
  EXPECT_EQ(o.truthFile, "t.json");
  Tool v;
  v.commandLine.parse({"simulate", "-o", "r.csv", "--seed", "18446744073709551615"});
  EXPECT_EQ(v.simulate.seed, 18446744073709551615ull);
}

TEST(CommandLine, DemoDefaultsAndPlotChoice) {
  Tool t;
  t.commandLine.parse({"demo"});
  EXPECT_EQ(t.demo.outputDirectory, "demo-output");
  EXPECT_EQ(t.demo.seed, 7u);
  EXPECT_EQ(t.demo.plots, DemoOptions::Plots::Auto);
  EXPECT_TRUE(t.demo.trace);
  Tool u;
  u.commandLine.parse({"demo", "--plots"});
  EXPECT_EQ(u.demo.plots, DemoOptions::Plots::Required);
  Tool v;
  v.commandLine.parse({"demo", "--no-plots", "--no-trace", "--out", "x"});
  EXPECT_EQ(v.demo.plots, DemoOptions::Plots::Off);
  EXPECT_FALSE(v.demo.trace);
  EXPECT_EQ(v.demo.outputDirectory, "x");
}

}  // namespace
}  // namespace zelto::tool
