// Soak run: streams millions of simulated samples through each library, with occasional bad
// samples (NaN, time going backwards, repeated time, missing IMU), tares and run restarts, and
// reports the peak resident memory after the first million and after all samples. Memory that
// grows with the stream would show as a difference between the two.
//
//   zelto-soak [samples per library, default 10000000]
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"

namespace zelto::bench {
namespace {

//! Peak resident set size of this process in KiB (VmHWM), or -1 when unknown.
long peakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

//! Replaces some samples of the stream by bad ones; returns true when the sample is bad.
bool spoil(long i, double& time, std::array<double, 12>& values, double lastTime) {
  switch (i % 100000) {
    case 11:
      values[3] = std::numeric_limits<double>::quiet_NaN();
      return true;
    case 22:
      time = std::numeric_limits<double>::infinity();
      return true;
    case 33:
      time = lastTime - 0.5;  // backwards
      return true;
    case 44:
      time = lastTime;  // repeated
      return true;
    case 55:
      for (int k = 6; k < 12; ++k) values[k] = 0.0;  // IMU missing: update throws
      return true;
    case 66:
      values[0] = 1e6;  // a spike
      return true;
    default:
      return false;
  }
}

struct Checkpoint {
  long samples = 0;
  long peakKiB = -1;
};

template <typename Step>
void soak(const char* name, long total, Step step, Checkpoint& first, Checkpoint& last) {
  SampleStream stream;
  double time = 0.0;
  double lastTime = 0.0;
  std::array<double, 12> values{};
  long refused = 0;
  long threw = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 1; i <= total; ++i) {
    stream.next(time, values);
    double t = time;
    const bool bad = spoil(i, t, values, lastTime);
    try {
      if (!step(i, t, values)) ++refused;
    } catch (const std::runtime_error&) {
      ++threw;
    }
    if (!bad) lastTime = time;
    if (i == 1000000 || i == total) {
      Checkpoint& c = i == total ? last : first;
      c.samples = i;
      c.peakKiB = peakRssKiB();
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "%-12s %10ld samples  peak RSS %7ld KiB  (%ld refused, %ld threw, %.1f s)\n",
                   name, i, c.peakKiB, refused, threw, seconds);
    }
  }
}

}  // namespace
}  // namespace zelto::bench

int main(int argc, char** argv) {
  using namespace zelto;
  using namespace zelto::bench;
  const long total = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000000L;
  if (total < 1000000) {
    std::fprintf(stderr, "usage: zelto-soak [samples >= 1000000]\n");
    return 2;
  }
  recording();  // generate the simulated minute before the first checkpoint
  QuietCout quiet;
  bool ok = true;
  // A margin for the allocator's own bookkeeping; a leak of one byte per sample would
  // add about 9 MB between the checkpoints.
  const long marginKiB = 256;

  {
    const std::string path = writeScratchFile("soak_payload.json", payloadFile(true));
    ZeltoPayloadCompensator compensator(path);
    std::array<double, 12> out{};
    Checkpoint first, last;
    soak("compensator", total, [&](long i, double t, const std::array<double, 12>& in) {
      if (i % 250000 == 0) compensator.tareCompensatedWrench();
      return compensator.update(t, in, out) != Error;
    }, first, last);
    ok = ok && last.peakKiB - first.peakKiB <= marginKiB;
  }
  {
    // Never converges (thresholds 0) and never times out: one long run, restarted now and then.
    const std::string path = writeScratchFile("soak_estimator.json", estimatorConfig(1e9, 1e9, 0.0));
    ZeltoPayloadEstimator estimator(path);
    estimator.startPayloadEstimation();
    Checkpoint first, last;
    soak("estimator", total, [&](long i, double t, const std::array<double, 12>& in) {
      if (i % 2000000 == 0) {
        estimator.startPayloadEstimation();  // stop
        estimator.startPayloadEstimation();  // start again from the prior
      }
      return estimator.update(t, in) != Error;
    }, first, last);
    ok = ok && last.peakKiB - first.peakKiB <= marginKiB;
  }
  std::fprintf(stderr, "%s: peak memory %s between the checkpoints (margin %ld KiB)\n",
               ok ? "PASS" : "FAIL", ok ? "flat" : "grew", marginKiB);
  return ok ? 0 : 1;
}
