// Arbitrary bytes as the payload parameter file: construction either succeeds or throws
// std::runtime_error with one of the two documented prefixes.
#include <zelto/ZeltoPayloadCompensator.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelto::fuzz;
  const std::string path = writeBytes("payload.json", data, size);
  QuietCout quiet;
  try {
    zelto::ZeltoPayloadCompensator compensator(path);
    std::array<double, 12> in{0, 0, 0, 0, 0, 0, 0, 0, 9.81, 0, 0, 0.1};
    std::array<double, 12> out{};
    (void)compensator.update(0.0, in, out);
  } catch (const std::runtime_error& e) {
    if (!startsWith(e.what(), "Error parsing configuration file: ") &&
        !startsWith(e.what(), "Failed to open configuration file: ")) {
      fail("message", e.what());
    }
  } catch (const std::exception& e) {
    fail("exception", e.what());
  }
  return 0;
}
