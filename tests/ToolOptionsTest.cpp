#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolError.h"
#include "ToolOptions.h"

namespace zelto::tool {
namespace {

// The UsageError message for a command line, "" when it parses.
std::string usageErrorOf(const std::vector<std::string>& arguments) {
  try {
    parseCommandLine(arguments);
  } catch (const UsageError& e) {
    return e.what();
  }
  return "";
}

TEST(CommandLine, CommandsHelpAndVersion) {
  EXPECT_EQ(parseCommandLine({}).command, "");
  EXPECT_EQ(parseCommandLine({"--version"}).command, "version");
  CommandLine line = parseCommandLine({"estimate", "--help"});
  EXPECT_EQ(line.command, "estimate");
  EXPECT_TRUE(line.help);
  line = parseCommandLine({"help", "check"});
  EXPECT_EQ(line.command, "help");
  EXPECT_EQ(line.helpTopic, "check");
  EXPECT_EQ(usageErrorOf({"frobnicate"}), "unknown command 'frobnicate'");
  EXPECT_EQ(usageText("check").rfind("usage: zelto-payload check FILE\n", 0), 0u);
}

TEST(CommandLine, UnknownRepeatedAndValuelessOptionsAreRefused) {
  EXPECT_EQ(usageErrorOf({"estimate", "--fast"}), "unknown option '--fast'");
  EXPECT_EQ(usageErrorOf({"estimate", "--speed", "1", "--speed", "2"}),
            "option --speed given twice");
  EXPECT_EQ(usageErrorOf({"estimate", "--speed"}), "option --speed needs a value");
  EXPECT_EQ(usageErrorOf({"estimate", "--no-progress=1"}), "option --no-progress takes no value");
  EXPECT_EQ(usageErrorOf({"estimate", "--config", "c.json", "a.csv", "b.csv"}),
            "unexpected argument 'b.csv'");
  EXPECT_EQ(usageErrorOf({"estimate", "a.csv"}), "missing --config FILE");
  EXPECT_EQ(usageErrorOf({"estimate", "--config", "c.json"}), "missing RECORDING.csv");
  EXPECT_EQ(usageErrorOf({"check"}), "missing payload parameter FILE");
  EXPECT_EQ(usageErrorOf({"noise"}), "missing RECORDING.csv");
  EXPECT_EQ(usageErrorOf({"noise", "r.csv", "--config", "c.json"}),
            "--config needs -o COPY.json, the copy to write");
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
      {{"--motion", "wild"}, "--motion: expected hand, slow, fast or static, got 'wild'"},
      {{"--inertia", "1,0,0,1,0,1", "--inertia-com", "1,0,0,1,0,1"},
       "--inertia and --inertia-com exclude each other"},
      {{"extra"}, "unexpected argument 'extra'"}};
  for (const auto& [words, message] : cases) {
    std::vector<std::string> arguments = {"simulate", "-o", "r.csv"};
    arguments.insert(arguments.end(), words.begin(), words.end());
    EXPECT_EQ(usageErrorOf(arguments), message);
  }
  EXPECT_EQ(usageErrorOf({"simulate", "--mass", "1"}), "missing -o OUT.csv");
  EXPECT_EQ(usageErrorOf({"estimate", "--config", "c", "r", "--speed", "0"}),
            "--speed: expected a positive factor of real time or 'max', got '0'");
  EXPECT_EQ(usageErrorOf({"estimate", "--config", "c", "r", "--trace-step", "-1"}),
            "--trace-step: must be greater than 0, got '-1'");
  EXPECT_EQ(usageErrorOf({"compensate", "--payload", "p", "-o", "o", "r", "--mode", "fast"}),
            "--mode: expected static or dynamic, got 'fast'");
  EXPECT_EQ(usageErrorOf({"compensate", "--payload", "p", "r.csv"}), "missing -o OUT.csv");
  EXPECT_EQ(usageErrorOf({"demo", "--plots", "--no-plots"}),
            "--plots and --no-plots exclude each other");
  EXPECT_EQ(usageErrorOf({"demo", "--out", ""}), "--out: the directory name is empty");
}

TEST(CommandLine, EstimateDefaultsAndEveryOption) {
  EstimateOptions o = parseCommandLine({"estimate", "--config", "c.json", "rec.csv"}).estimate;
  EXPECT_EQ(o.config, "c.json");
  EXPECT_EQ(o.recording, "rec.csv");
  EXPECT_EQ(o.speed, 1.0);
  EXPECT_FALSE(o.trace.has_value());
  EXPECT_EQ(o.traceStep, 0.25);
  EXPECT_TRUE(o.progress);

  o = parseCommandLine({"estimate", "rec.csv", "--config=c.json", "--speed", "max", "--trace",
                        "t.csv", "--trace-step", "0.5", "--no-progress"})
          .estimate;
  EXPECT_EQ(o.speed, 0.0);
  EXPECT_EQ(o.trace, "t.csv");
  EXPECT_EQ(o.traceStep, 0.5);
  EXPECT_FALSE(o.progress);
  EXPECT_EQ(parseCommandLine({"estimate", "--config", "c", "--speed", "2.5", "r"}).estimate.speed,
            2.5);
}

TEST(CommandLine, CompensateModeAndTareAreOptional) {
  CompensateOptions o =
      parseCommandLine({"compensate", "--payload", "p.json", "-o", "out.csv", "r.csv"}).compensate;
  EXPECT_EQ(o.payload, "p.json");
  EXPECT_EQ(o.output, "out.csv");
  EXPECT_EQ(o.recording, "r.csv");
  EXPECT_FALSE(o.dynamic.has_value());
  EXPECT_FALSE(o.tareAt.has_value());
  o = parseCommandLine({"compensate", "--payload", "p.json", "--output", "out.csv", "--mode",
                        "dynamic", "--tare-at", "1.5", "r.csv"})
          .compensate;
  EXPECT_EQ(o.output, "out.csv");
  EXPECT_EQ(o.dynamic, true);
  EXPECT_EQ(o.tareAt, 1.5);
}

TEST(CommandLine, SimulateOptionsOverrideTheDefaults) {
  // The defaults are the struct's; what parsing must not do is disturb them.
  SimulateOptions o = parseCommandLine({"simulate", "-o", "r.csv"}).simulate;
  EXPECT_EQ(o.output, "r.csv");
  EXPECT_EQ(o.noise.force, SimulateOptions().noise.force);
  EXPECT_FALSE(o.mass || o.com || o.inertia || o.inertiaCom || o.truthFile);

  o = parseCommandLine({"simulate",    "-o",           "r.csv",         "--mass",
                        "2",           "--com",        "0,0,0.1",       "--inertia-com",
                        "1,0,0,1,0,1", "--no-noise",   "--noise-force", "0.5",
                        "--motion",    "static",       "--drop",        "0.01",
                        "--repeat",    "0.02",         "--seed",        "18446744073709551615",
                        "--start",     "1700000000.5", "--truth",       "t.json"})
          .simulate;
  EXPECT_EQ(o.mass, 2.0);
  EXPECT_EQ(o.com, (std::array<double, 3>{0, 0, 0.1}));
  EXPECT_EQ(o.inertiaCom, (std::array<double, 6>{1, 0, 0, 1, 0, 1}));
  EXPECT_EQ(o.noise.force, 0.5);
  EXPECT_EQ(o.noise.torque, 0.0);
  EXPECT_EQ(o.motion, "static");
  EXPECT_EQ(o.dropProbability, 0.01);
  EXPECT_EQ(o.repeatProbability, 0.02);
  EXPECT_EQ(o.seed, 18446744073709551615ull);
  EXPECT_EQ(o.start, 1700000000.5);
  EXPECT_EQ(o.truthFile, "t.json");
}

TEST(CommandLine, DemoDefaultsAndPlotChoice) {
  DemoOptions o = parseCommandLine({"demo"}).demo;
  EXPECT_EQ(o.outputDirectory, "demo-output");
  EXPECT_EQ(o.seed, 7u);
  EXPECT_EQ(o.plots, DemoOptions::Plots::Auto);
  EXPECT_TRUE(o.trace);
  EXPECT_EQ(parseCommandLine({"demo", "--plots"}).demo.plots, DemoOptions::Plots::Required);
  o = parseCommandLine({"demo", "--no-plots", "--no-trace", "--out", "x"}).demo;
  EXPECT_EQ(o.plots, DemoOptions::Plots::Off);
  EXPECT_FALSE(o.trace);
  EXPECT_EQ(o.outputDirectory, "x");
}

}  // namespace
}  // namespace zelto::tool
