// Compensator update() per sample as a host sees it (through the shared library), in static
// and dynamic mode, alone and with tares requested from another thread.
#include <benchmark/benchmark.h>
#include <zelto/ZeltoPayloadCompensator.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "BenchSupport.h"

namespace zelto::bench {
namespace {

void compensatorUpdate(benchmark::State& state, bool dynamic, bool tareThread) {
  QuietCout quiet;
  const std::string path =
      writeScratchFile(dynamic ? "payload_dynamic.json" : "payload_static.json",
                       payloadFile(dynamic));
  ZeltoPayloadCompensator compensator(path);
  SampleStream stream;
  double time = 0.0;
  std::array<double, 12> in{};
  std::array<double, 12> out{};
  for (int i = 0; i < 2000; ++i) {  // fill the histories and the tare window
    stream.next(time, in);
    compensator.update(time, in, out);
  }
  std::atomic<bool> stop{false};
  std::thread tares;
  if (tareThread) {
    tares = std::thread([&] {
      while (!stop.load()) {
        compensator.tareCompensatedWrench();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (auto _ : state) {
    stream.next(time, in);
    benchmark::DoNotOptimize(compensator.update(time, in, out));
    benchmark::DoNotOptimize(out.data());
  }
  stop = true;
  if (tares.joinable()) tares.join();
  state.SetItemsProcessed(state.iterations());
}

void BM_CompensatorUpdateStatic(benchmark::State& s) { compensatorUpdate(s, false, false); }
void BM_CompensatorUpdateDynamic(benchmark::State& s) { compensatorUpdate(s, true, false); }
void BM_CompensatorUpdateDynamicWithTares(benchmark::State& s) { compensatorUpdate(s, true, true); }

BENCHMARK(BM_CompensatorUpdateStatic);
BENCHMARK(BM_CompensatorUpdateDynamic);
BENCHMARK(BM_CompensatorUpdateDynamicWithTares);

void BM_CompensatorConstruction(benchmark::State& state) {
  QuietCout quiet;
  const std::string path = writeScratchFile("payload_construct.json", payloadFile(true));
  for (auto _ : state) {
    ZeltoPayloadCompensator compensator(path);
    benchmark::DoNotOptimize(&compensator);
  }
}
BENCHMARK(BM_CompensatorConstruction)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelto::bench
