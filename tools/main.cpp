// zelto-payload: simulate, import, measure the noise of, replay, compensate and check payload
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
  ToolOptionSet options;
  try {
    ToolCommandLine tool = options.commandLine();
    const CommandLine line = tool.parse(arguments);
    if (line.help || line.command == "help") {
      std::cout << tool.usage(line.help ? line.command : options.help.topic);
      return kExitOk;
    }
    if (line.command == "version") {
      std::cout << "zelto-payload " << ZELTO_TOOL_VERSION << "\n";
      return kExitOk;
    }
    if (line.command == "simulate") return runSimulate(options.simulate);
    if (line.command == "import") return runImport(options.streamImport);
    if (line.command == "noise") return runNoise(options.noise);
    if (line.command == "estimate") return runEstimate(options.estimate);
    if (line.command == "compensate") return runCompensate(options.compensate);
    if (line.command == "check") return runCheck(options.check);
    if (line.command == "demo") return runDemo(options.demo, executablePath(argv[0]));
    std::cerr << tool.usage("");
    return kExitBadInput;
  } catch (const UsageError& e) {
    std::cout.flush();
    std::cerr << "zelto-payload: error: " << e.what() << "\n";
    const bool known = command == "simulate" || command == "import" || command == "noise" ||
                       command == "estimate" || command == "compensate" || command == "check" ||
                       command == "demo";
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
