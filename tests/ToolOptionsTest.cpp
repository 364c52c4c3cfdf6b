#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolError.h"
#include "ToolOptions.h"

namespace zelto::tool {
namespace {

template <typename Parse>
std::string usageErrorOf(Parse parse, const std::vector<std::string>& words) {
  try {
    parse(words);
  } catch (const UsageError& e) {
    return e.what();
  }
  return "";
}

TEST(ArgumentList, SeparatesOptionsFlagsAndPositionalWords) {
  const ArgumentList args(
      {"a.csv", "--speed", "max", "--trace=t.csv", "-o", "out", "--flag", "--", "--not-an-option"},
      {"--speed", "--trace", "--output"}, {"--flag"});
  EXPECT_EQ(args.value("--speed"), "max");
  EXPECT_EQ(args.value("--trace"), "t.csv");
  EXPECT_EQ(args.value("--output"), "out");
  EXPECT_TRUE(args.has("--flag"));
  EXPECT_FALSE(args.has("--absent"));
  EXPECT_EQ(args.positional(), (std::vector<std::string>{"a.csv", "--not-an-option"}));
}

TEST(ArgumentList, RefusesUnknownRepeatedAndValuelessOptions) {
  const auto make = [](const std::vector<std::string>& w) {
    return ArgumentList(w, {"--speed"}, {"--flag"});
  };
  EXPECT_EQ(usageErrorOf(make, {"--fast"}), "unknown option '--fast'");
  EXPECT_EQ(usageErrorOf(make, {"--speed", "1", "--speed", "2"}), "option --speed given twice");
  EXPECT_EQ(usageErrorOf(make, {"--speed"}), "option --speed needs a value");
  EXPECT_EQ(usageErrorOf(make, {"--flag=1"}), "option --flag takes no value");
}

TEST(ValueParsers, AcceptNumbersListsSeedsAndSpeeds) {
  EXPECT_EQ(parseNumber("--x", "-2.5e-3"), -2.5e-3);
  EXPECT_EQ(parseVector3("--com", "0.01,-0.02,0.3"), (std::array<double, 3>{0.01, -0.02, 0.3}));
  EXPECT_EQ(parseVector6("--inertia", "1,2,3,4,5,6"), (std::array<double, 6>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(parseSeed("--seed", "18446744073709551615"), 18446744073709551615ull);
  EXPECT_EQ(parseSpeed("max"), 0.0);
  EXPECT_EQ(parseSpeed("2.5"), 2.5);
}

TEST(ValueParsers, BadValuesNameTheOptionAndTheText) {
  EXPECT_EQ(usageErrorOf([](auto) { parseNumber("--mass", "1kg"); }, {}),
            "--mass: '1kg' is not a number");
  EXPECT_EQ(usageErrorOf([](auto) { parseNumber("--mass", "inf"); }, {}),
            "--mass: 'inf' is not a number");
  EXPECT_EQ(usageErrorOf([](auto) { parsePositive("--rate", "0"); }, {}),
            "--rate: must be greater than 0, got '0'");
  EXPECT_EQ(usageErrorOf([](auto) { parseNonNegative("--drop", "-0.1"); }, {}),
            "--drop: must not be negative, got '-0.1'");
  EXPECT_EQ(usageErrorOf([](auto) { parseVector3("--com", "1,2"); }, {}),
            "--com: expected 3 comma-separated numbers, got '1,2'");
  EXPECT_EQ(usageErrorOf([](auto) { parseVector3("--com", "1,2,3,4"); }, {}),
            "--com: expected 3 comma-separated numbers, got '1,2,3,4'");
  EXPECT_EQ(usageErrorOf([](auto) { parseVector3("--com", "1,x,3"); }, {}),
            "--com: 'x' is not a number");
  EXPECT_EQ(usageErrorOf([](auto) { parseSeed("--seed", "-1"); }, {}),
            "--seed: '-1' is not a non-negative integer");
  EXPECT_EQ(usageErrorOf([](auto) { parseSeed("--seed", "99999999999999999999"); }, {}),
            "--seed: '99999999999999999999' is not a non-negative integer");
  EXPECT_EQ(usageErrorOf([](auto) { parseSpeed("0"); }, {}),
            "--speed: expected a positive factor of real time or 'max', got '0'");
  EXPECT_EQ(usageErrorOf([](auto) { parseSpeed("fast"); }, {}),
            "--speed: expected a positive factor of real time or 'max', got 'fast'");
}

TEST(EstimateOptions, DefaultsAndEveryOption) {
  EstimateOptions o = parseEstimateOptions({"--config", "c.json", "rec.csv"});
  EXPECT_EQ(o.config, "c.json");
  EXPECT_EQ(o.recording, "rec.csv");
  EXPECT_EQ(o.speed, 1.0);
  EXPECT_FALSE(o.trace.has_value());
  EXPECT_EQ(o.traceStep, 0.25);
  EXPECT_TRUE(o.progress);

  o = parseEstimateOptions({"rec.csv", "--config=c.json", "--speed", "max", "--trace", "t.csv",
                            "--trace-step", "0.5", "--no-progress"});
  EXPECT_EQ(o.speed, 0.0);
  EXPECT_EQ(o.trace, "t.csv");
  EXPECT_EQ(o.traceStep, 0.5);
  EXPECT_FALSE(o.progress);
  EXPECT_TRUE(parseEstimateOptions({"--help"}).help);
}

TEST(EstimateOptions, MissingOrExtraArgumentsAreUsageErrors) {
  EXPECT_EQ(usageErrorOf(parseEstimateOptions, {"rec.csv"}), "missing --config FILE");
  EXPECT_EQ(usageErrorOf(parseEstimateOptions, {"--config", "c.json"}), "missing RECORDING.csv");
  EXPECT_EQ(usageErrorOf(parseEstimateOptions, {"--config", "c.json", "a.csv", "b.csv"}),
            "unexpected argument 'b.csv'");
  EXPECT_EQ(
      usageErrorOf(parseEstimateOptions, {"--config", "c.json", "a.csv", "--trace-step", "-1"}),
      "--trace-step: must be greater than 0, got '-1'");
}

TEST(CompensateOptions, ModeAndTareAreOptional) {
  CompensateOptions o = parseCompensateOptions({"--payload", "p.json", "-o", "out.csv", "r.csv"});
  EXPECT_EQ(o.payload, "p.json");
  EXPECT_EQ(o.output, "out.csv");
  EXPECT_EQ(o.recording, "r.csv");
  EXPECT_FALSE(o.dynamic.has_value());
  EXPECT_FALSE(o.tareAt.has_value());
  o = parseCompensateOptions(
      {"--payload", "p.json", "-o", "out.csv", "--mode", "dynamic", "--tare-at", "1.5", "r.csv"});
  EXPECT_EQ(o.dynamic, true);
  EXPECT_EQ(o.tareAt, 1.5);
  EXPECT_EQ(
      usageErrorOf(parseCompensateOptions, {"--payload", "p", "-o", "o", "r", "--mode", "fast"}),
      "--mode: expected static or dynamic, got 'fast'");
  EXPECT_EQ(usageErrorOf(parseCompensateOptions, {"--payload", "p", "r.csv"}),
            "missing -o OUT.csv");
}

TEST(SimulateOptions, DefaultsAreTheTypicalSensorAndHandMotion) {
  const SimulateOptions o = parseSimulateOptions({"-o", "r.csv"});
  EXPECT_EQ(o.output, "r.csv");
  EXPECT_EQ(o.duration, 60.0);
  EXPECT_EQ(o.rate, 1000.0);
  EXPECT_EQ(o.motion, "hand");
  EXPECT_EQ(o.noise.force, 0.01);
  EXPECT_EQ(o.noise.torque, 1e-5);
  EXPECT_EQ(o.noise.linearAcc, 1e-3);
  EXPECT_EQ(o.noise.angularVel, 1e-5);
  EXPECT_EQ(o.seed, 1u);
}

TEST(SimulateOptions, OptionsOverrideAndConflictsAreRefused) {
  const SimulateOptions o = parseSimulateOptions(
      {"-o",       "r.csv",         "--mass",      "2",          "--com",
       "0,0,0.1",  "--inertia-com", "1,0,0,1,0,1", "--no-noise", "--noise-force",
       "0.5",      "--motion",      "static",      "--drop",     "0.01",
       "--repeat", "0.02",          "--seed",      "42",         "--truth",
       "t.json"});
  EXPECT_EQ(o.mass, 2.0);
  EXPECT_EQ(o.com, (std::array<double, 3>{0, 0, 0.1}));
  EXPECT_TRUE(o.inertiaCom.has_value());
  EXPECT_EQ(o.noise.force, 0.5);
  EXPECT_EQ(o.noise.torque, 0.0);
  EXPECT_EQ(o.motion, "static");
  EXPECT_EQ(o.dropProbability, 0.01);
  EXPECT_EQ(o.repeatProbability, 0.02);
  EXPECT_EQ(o.seed, 42u);
  EXPECT_EQ(o.truthFile, "t.json");

  EXPECT_EQ(usageErrorOf(parseSimulateOptions, {"--mass", "1"}), "missing -o OUT.csv");
  EXPECT_EQ(usageErrorOf(parseSimulateOptions,
                         {"-o", "r", "--inertia", "1,0,0,1,0,1", "--inertia-com", "1,0,0,1,0,1"}),
            "--inertia and --inertia-com exclude each other");
  EXPECT_EQ(usageErrorOf(parseSimulateOptions, {"-o", "r", "--motion", "wild"}),
            "--motion: expected hand, slow, fast or static, got 'wild'");
  EXPECT_EQ(usageErrorOf(parseSimulateOptions, {"-o", "r", "--drop", "1"}),
            "--drop: must be below 1, got '1'");
  EXPECT_EQ(usageErrorOf(parseSimulateOptions, {"-o", "r", "extra"}),
            "unexpected argument 'extra'");
}

TEST(DemoOptions, DefaultsAndPlotChoice) {
  DemoOptions o = parseDemoOptions({});
  EXPECT_EQ(o.outputDirectory, "demo-output");
  EXPECT_EQ(o.plots, DemoOptions::Plots::Auto);
  EXPECT_EQ(parseDemoOptions({"--plots"}).plots, DemoOptions::Plots::Required);
  EXPECT_EQ(parseDemoOptions({"--no-plots", "--out", "x"}).plots, DemoOptions::Plots::Off);
  EXPECT_TRUE(o.trace);
  EXPECT_FALSE(parseDemoOptions({"--no-trace"}).trace);
  EXPECT_EQ(usageErrorOf(parseDemoOptions, {"--plots", "--no-plots"}),
            "--plots and --no-plots exclude each other");
  EXPECT_EQ(usageErrorOf(parseDemoOptions, {"--out", ""}), "--out: the directory name is empty");
}

}  // namespace
}  // namespace zelto::tool
