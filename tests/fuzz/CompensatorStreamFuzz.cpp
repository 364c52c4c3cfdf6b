// Arbitrary sequences of samples (NaN, infinities, huge values, times going backwards,
// repeated times, all-zero IMU parts) interleaved with tares, in static and dynamic mode.
// The output array must follow the return code exactly; only the IMU exception may leave.
#include <zelto/ZeltoPayloadCompensator.h>

#include <cmath>
#include <memory>

#include "FuzzSupport.h"

namespace {


const std::string& payloadPath(bool dynamic) {
  static const std::string paths[2] = {
      [] {
        const std::string text = R"({"payload_compensator_config": {"payload_properties": {
          "mass": 1.3, "com": {"x": 0.01, "y": -0.02, "z": 0.05},
          "inertia": {"Ixx": 0.004, "Ixy": 0.0001, "Ixz": -0.0002, "Iyy": 0.005,
                      "Iyz": 0.0001, "Izz": 0.003}},
          "enable_dynamic_compensation": false}})";
        return zelto::fuzz::writeFile("stream_payload_static.json", text.data(), text.size());
      }(),
      [] {
        const std::string text = R"({"payload_compensator_config": {"payload_properties": {
          "mass": 1.3, "com": {"x": 0.01, "y": -0.02, "z": 0.05},
          "inertia": {"Ixx": 0.004, "Ixy": 0.0001, "Ixz": -0.0002, "Iyy": 0.005,
                      "Iyz": 0.0001, "Izz": 0.003}},
          "enable_dynamic_compensation": true}})";
        return zelto::fuzz::writeFile("stream_payload_dynamic.json", text.data(), text.size());
      }()};
  return paths[dynamic ? 1 : 0];
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelto::fuzz;
  ByteReader in(data, size);
  QuietCout quiet;
  std::unique_ptr<zelto::ZeltoPayloadCompensator> compensator;
  try {
    compensator = std::make_unique<zelto::ZeltoPayloadCompensator>(payloadPath(in.byte() & 1));
  } catch (const std::exception& e) {
    fail("construction failure", e.what());
  }
  double time = 0.0;
  std::array<double, 12> sample{};
  for (int op = 0; op < 4096 && !in.empty(); ++op) {
    const std::uint8_t code = in.byte();
    if (code % 16 == 0) {
      try {
        if (!compensator->tareCompensatedWrench()) fail("result", "tare returned false");
      } catch (const std::exception& e) {
        fail("exception from tare", e.what());
      }
      continue;
    }
    readSample(in, time, sample);
    std::array<double, 12> output;
    output.fill(-12345.0);  // sentinel: what must stay untouched stays this
    zelto::ZeltoControlReturnCode rc = zelto::Error;
    try {
      rc = compensator->update(time, sample, output);
    } catch (const std::runtime_error& e) {
      if (std::strcmp(e.what(), kImuMissing) != 0) fail("message", e.what());
      for (double v : output) {
        if (!sameBits(v, -12345.0)) fail("output", "written although update threw");
      }
      continue;
    } catch (const std::exception& e) {
      fail("exception", e.what());
    }
    if (rc == zelto::Ok) {
      for (int i = 6; i < 12; ++i) {
        if (!sameBits(output[i], -12345.0)) fail("output", "elements 6..11 written on Ok");
      }
    } else if (rc == zelto::Pending) {
      for (double v : output) {
        if (!sameBits(v, 0.0)) fail("output", "Pending without twelve zeros");
      }
    } else if (rc == zelto::Error) {
      for (double v : output) {
        if (!sameBits(v, -12345.0)) fail("output", "written on Error");
      }
    } else {
      fail("return code", "not Ok, Pending or Error");
    }
  }
  return 0;
}
