// zelto-payload: simulate, measure the noise of, replay, compensate and check payload recordings
// with the two libraries, used through their public interfaces like any host application.

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

int dispatch(const CommandLine& line, const std::string& executablePath) {
  if (line.help || line.command == "help") {
    std::cout << usageText(line.help ? line.command : line.helpTopic);
    return kExitOk;
  }
  if (line.command == "version") {
    std::cout << "zelto-payload " << ZELTO_TOOL_VERSION << "\n";
    return kExitOk;
  }
  if (line.command == "simulate") return runSimulate(line.simulate);
  if (line.command == "noise") return runNoise(line.noise);
  if (line.command == "estimate") return runEstimate(line.estimate);
  if (line.command == "compensate") return runCompensate(line.compensate);
  if (line.command == "check") return runCheck(line.check);
  if (line.command == "demo") return runDemo(line.demo, executablePath);
  std::cerr << usageText("");
  return kExitBadInput;
}

std::string executablePath(const char* argv0) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.string();
  return argv0 != nullptr ? std::string(argv0) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::string command = arguments.empty() ? std::string() : arguments.front();
  try {
    return dispatch(parseCommandLine(arguments), executablePath(argv[0]));
  } catch (const UsageError& e) {
    std::cout.flush();
    std::cerr << "zelto-payload: error: " << e.what() << "\n";
    const bool known = command == "simulate" || command == "noise" || command == "estimate" ||
                       command == "compensate" || command == "check" || command == "demo";
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
