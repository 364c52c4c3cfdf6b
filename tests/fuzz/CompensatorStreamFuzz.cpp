// Arbitrary sequences of samples (NaN, infinities, huge values, times going backwards,
// repeated and nearly repeated times, jitter, gaps, long smooth runs, all-zero IMU parts)
// interleaved with tares and read-outs, in static and dynamic mode. The output array must
// follow the return code exactly, a sample is refused exactly when it is not finite, holds a
// value beyond 1e9 in magnitude or its time is within 1e-5 s of the newest stored one or before
// it, the read-out must follow its contract; only the IMU exception may leave.
#include <zelto/ZeltoPayloadCompensator.h>

#include <cmath>
#include <memory>

#include "FuzzSupport.h"

namespace {

using zelto::fuzz::fail;

// The payload of both files, in the order of getPayloadParameters().
constexpr std::array<double, 10> kPayload{1.3,    0.01,    -0.02, 0.05,   0.004,
                                          0.0001, -0.0002, 0.005, 0.0001, 0.003};

// Samples fed per input at most, so that bursts cannot make one input take seconds.
constexpr int kSampleBudget = 6000;

const std::string& payloadPath(bool dynamic) {
  const auto write = [](bool dynamicCompensation, const char* name) {
    return zelto::harness::writeScratchFile(
        name, std::string(R"({"payload_compensator_config": {"payload_properties": {
          "mass": 1.3, "com": {"x": 0.01, "y": -0.02, "z": 0.05},
          "inertia": {"Ixx": 0.004, "Ixy": 0.0001, "Ixz": -0.0002, "Iyy": 0.005,
                      "Iyz": 0.0001, "Izz": 0.003}},
          "enable_dynamic_compensation": )") +
                  (dynamicCompensation ? "true" : "false") + "}}");
  };
  static const std::string paths[2] = {write(false, "stream_payload_static.json"),
                                       write(true, "stream_payload_dynamic.json")};
  return paths[dynamic ? 1 : 0];
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelto::fuzz;
  ByteReader in(data, size);
  QuietCout quiet;
  const bool dynamic = in.byte() & 1;
  std::unique_ptr<zelto::ZeltoPayloadCompensator> compensator;
  try {
    compensator = std::make_unique<zelto::ZeltoPayloadCompensator>(payloadPath(dynamic));
  } catch (const std::exception& e) {
    fail("construction failure", e.what());
  }
  double time = 0.0;
  std::array<double, 12> sample{};
  bool hasStored = false;
  double newest = 0.0;
  // A tare was asked for and no Ok has followed: the bias may change, Pending may come.
  bool tareOpen = false;
  // Every stored sample so far was of moderate size, so the output and the bias stay finite.
  bool moderate = true;
  std::array<double, 6> bias = compensator->getTareBias();
  for (const double b : bias) {
    if (!sameBits(b, 0.0)) fail("tare bias", "not zero before the first tare");
  }
  const auto readOut = [&] {
    if (compensator->getPayloadParameters() != kPayload) fail("read-out", "payload parameters");
    if (compensator->isDynamicCompensation() != dynamic) fail("read-out", "compensation mode");
    const std::array<double, 6> now = compensator->getTareBias();
    for (std::size_t i = 0; i < 6; ++i) {
      // Bit for bit: a huge input may leave a NaN in the bias, which must not change either.
      if (!sameBits(now[i], bias[i]) && !tareOpen) fail("tare bias", "changed without a tare");
      if (moderate && !std::isfinite(now[i])) fail("tare bias", "not finite");
    }
    bias = now;
  };
  int budget = kSampleBudget;
  const auto update = [&] {
    --budget;
    bool finite = std::isfinite(time);
    bool small = std::abs(time) <= 1e6;
    bool inRange = true;
    for (const double v : sample) {
      finite = finite && std::isfinite(v);
      inRange = inRange && std::abs(v) <= 1e9;
      small = small && std::abs(v) <= 1e6;
    }
    const bool refused = !finite || !inRange ||
                         (hasStored && (newest - time >= 1e-5 || std::abs(time - newest) < 1e-5));
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
      return;
    } catch (const std::exception& e) {
      fail("exception", e.what());
    }
    if ((rc == zelto::Error) != refused) {
      fail("return code", refused ? "a refused sample was not Error" : "Error for a good sample");
    }
    if (rc != zelto::Error) {
      hasStored = true;
      newest = time;
      moderate = moderate && small;
    }
    if (rc == zelto::Ok) {
      for (int i = 0; i < 6; ++i) {
        if (moderate && !std::isfinite(output[i])) fail("output", "not finite on Ok");
      }
      for (int i = 6; i < 12; ++i) {
        if (!sameBits(output[i], -12345.0)) fail("output", "elements 6..11 written on Ok");
      }
    } else if (rc == zelto::Pending) {
      if (!tareOpen) fail("return code", "Pending without a tare");
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
    readOut();
    if (rc == zelto::Ok) tareOpen = false;
  };
  for (int op = 0; op < 4096 && !in.empty() && budget > 0; ++op) {
    const std::uint8_t code = in.byte();
    if (code % 16 == 0) {
      try {
        if (!compensator->tareCompensatedWrench()) fail("result", "tare returned false");
      } catch (const std::exception& e) {
        fail("exception from tare", e.what());
      }
      tareOpen = true;
      readOut();
    } else if (code % 16 == 3) {
      readOut();
    } else if (code % 16 == 4) {
      Burst burst(in);
      for (int i = 0; i < burst.count() && budget > 0; ++i) {
        burst.next(i, time, sample);
        update();
      }
    } else {
      readSample(in, time, sample);
      update();
    }
  }
  return 0;
}
