// zelto-payload: simulate, replay, compensate and check payload recordings with the two
// libraries, used through their public interfaces like any host application.

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Simulation.h"
#include "ToolError.h"
#include "ToolOptions.h"

namespace {

using namespace zelto::tool;

int dispatch(const std::string& command, const std::vector<std::string>& words,
             const std::string& executablePath) {
  if (command == "help" || command == "--help" || command == "-h") {
    std::cout << usageText(words.empty() ? std::string() : words.front());
    return kExitOk;
  }
  if (command == "--version") {
    std::cout << "zelto-payload " << ZELTO_TOOL_VERSION << "\n";
    return kExitOk;
  }
  if (command == "simulate") {
    const SimulateOptions o = parseSimulateOptions(words);
    if (o.help) return std::cout << usageText(command), kExitOk;
    return runSimulate(o);
  }
  if (command == "estimate") {
    const EstimateOptions o = parseEstimateOptions(words);
    if (o.help) return std::cout << usageText(command), kExitOk;
    return runEstimate(o);
  }
  if (command == "compensate") {
    const CompensateOptions o = parseCompensateOptions(words);
    if (o.help) return std::cout << usageText(command), kExitOk;
    return runCompensate(o);
  }
  if (command == "check") {
    const CheckOptions o = parseCheckOptions(words);
    if (o.help) return std::cout << usageText(command), kExitOk;
    return runCheck(o);
  }
  if (command == "demo") {
    const DemoOptions o = parseDemoOptions(words);
    if (o.help) return std::cout << usageText(command), kExitOk;
    return runDemo(o, executablePath);
  }
  throw UsageError("unknown command '" + command + "'");
}

std::string executablePath(const char* argv0) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.string();
  return argv0 != nullptr ? std::string(argv0) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << usageText("");
    return kExitBadInput;
  }
  const std::string command = argv[1];
  const std::vector<std::string> words(argv + 2, argv + argc);
  try {
    return dispatch(command, words, executablePath(argv[0]));
  } catch (const UsageError& e) {
    std::cout.flush();
    std::cerr << "zelto-payload: error: " << e.what() << "\n";
    const bool known = command == "simulate" || command == "estimate" || command == "compensate" ||
                       command == "check" || command == "demo";
    std::cerr << "Run 'zelto-payload " << (known ? command + " --help" : std::string("help"))
              << "' for usage.\n";
    return kExitBadInput;
  } catch (const ToolError& e) {
    std::cout.flush();
    std::cerr << "zelto-payload: error: " << e.what() << "\n";
    return kExitBadInput;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "zelto-payload: error: " << e.what() << "\n";
    return kExitFailed;
  } catch (...) {
    std::cout.flush();
    std::cerr << "zelto-payload: error: unexpected failure\n";
    return kExitFailed;
  }
}
