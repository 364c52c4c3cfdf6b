// Arbitrary bytes as the estimator's configuration file: construction either succeeds or
// throws std::runtime_error with one of the two documented prefixes.
#include <zelto/ZeltoPayloadEstimator.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelto::fuzz;
  const std::string path = writeBytes("estimator_config.json", data, size);
  QuietCout quiet;
  try {
    zelto::ZeltoPayloadEstimator estimator(path);
    (void)estimator.isEstimatorRunning();
  } catch (const std::runtime_error& e) {
    if (!startsWith(e.what(), "Error parsing estimator configuration file: ") &&
        !startsWith(e.what(), "Failed to open configuration file: ")) {
      fail("message", e.what());
    }
  } catch (const std::exception& e) {
    fail("exception", e.what());
  }
  return 0;
}
