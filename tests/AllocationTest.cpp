// Counts heap allocations while both libraries' update() run in steady state. Real-time hosts
// call update() from their control loops, where an allocation can block for an unbounded time.
#include <gtest/gtest.h>
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <streambuf>

#include "HostHarness.h"
#include "PayloadSimulator.h"

namespace {

std::atomic<long> allocations{0};

}  // namespace

// Replacing the global allocation functions in the executable also replaces them for the
// shared libraries it loads.
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace zelto {
namespace {

//! Counts the console lines written to std::cout without storing (or allocating for) them.
class LineCounter : public std::streambuf {
 public:
  long lines() const { return lines_; }

 protected:
  int overflow(int c) override {
    if (c == '\n') ++lines_;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) {
      if (s[i] == '\n') ++lines_;
    }
    return n;
  }

 private:
  long lines_ = 0;
};

class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) / "zelto_allocation_test";
    std::filesystem::create_directories(dir_);
    previous_ = std::cout.rdbuf(&counter_);
    sim::Options options;
    options.payload = sim::Payload::fromCentroidal(
        0.9, Eigen::Vector3d(0.01, -0.02, 0.07), {0.002, 0.0001, 0.0, 0.0025, 0.0, 0.0012},
        Eigen::Vector3d(0.3, -0.2, 0.5), Eigen::Vector3d(0.01, 0.02, -0.01));
    options.noise = sim::Noise{0.01, 1e-5, 1e-3, 1e-5};
    options.seed = 5;
    simulator_ = std::make_unique<sim::PayloadSimulator>(options);
  }
  void TearDown() override { std::cout.rdbuf(previous_); }

  std::string write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }

  std::filesystem::path dir_;
  LineCounter counter_;
  std::streambuf* previous_ = nullptr;
  std::unique_ptr<sim::PayloadSimulator> simulator_;
};

TEST_F(AllocationTest, CompensatorUpdateAllocatesNothingInSteadyState) {
  // Static, dynamic, and dynamic with the IMU's values paired across a delay.
  for (const std::string mode : {"false", "true", "true, \"imu_delay\": 0.0065"}) {
    SCOPED_TRACE(mode);
    ZeltoPayloadCompensator compensator(
        write("payload.json",
              std::string(R"({"payload_compensator_config": {"payload_properties": {"mass": 0.9,
          "com": {"x": 0.01, "y": -0.02, "z": 0.07},
          "inertia": {"Ixx": 0.0026, "Ixy": 0.0003, "Ixz": 0.0006, "Iyy": 0.0070,
                      "Iyz": -0.0012, "Izz": 0.0017}},
          "enable_dynamic_compensation": )") +
                  mode + "}}"));
    std::array<double, 12> out{};
    for (int i = 0; i < 3000; ++i) {  // histories and tare window reach their steady size
      const sim::SimSample s = simulator_->next();
      compensator.update(s.time, s.values, out);
    }
    compensator.tareCompensatedWrench();  // a completed tare is part of steady state
    const long before = allocations.load();
    for (int i = 0; i < 20000; ++i) {
      sim::SimSample s = simulator_->next();
      // A refused sample and its ERROR line are part of steady state too.
      if (i % 1000 == 999) {
        s.values[0] = std::nan("");
        ASSERT_EQ(compensator.update(s.time, s.values, out), Error);
        continue;
      }
      ASSERT_EQ(compensator.update(s.time, s.values, out), Ok);
    }
    EXPECT_EQ(allocations.load() - before, 0);
  }
}

TEST_F(AllocationTest, EstimatorUpdateAllocatesNothingInSteadyState) {
  // min_time 0 and thresholds 0: the convergence test runs on every sample and never passes.
  // A robot turning the tool about x, with thresholds its σ pass: the noise of the still
  // channels is gathered and the inertia's identification, which never passes, judged on
  // every sample.
  sim::Options turn;
  turn.noise = sim::Noise{0.01, 1e-5, 1e-3, 1e-5};
  turn.motion.robotTurn = true;
  sim::PayloadSimulator turning(turn);
  for (const double threshold : {0.0, 0.5}) {
    SCOPED_TRACE(threshold);
    sim::PayloadSimulator& simulator = threshold > 0.0 ? turning : *simulator_;
    // The turn with both regressor channels' variances held at slower streams' rates.
    std::string config = harness::estimatorConfig({"never.json", 0.0, 1e9, threshold, false});
    if (threshold > 0.0) {
      config.insert(
          config.find("\"measurement_noise_covariance\""),
          "\"measurement_noise_sample_rate\": {\"linear_acc\": 254, \"angular_vel\": 99}, ");
    }
    ZeltoPayloadEstimator estimator(write("estimator.json", config));
    estimator.startPayloadEstimation();
    for (int i = 0; i < 3000; ++i) {
      const sim::SimSample s = simulator.next();
      estimator.update(s.time, s.values);
    }
    const long before = allocations.load();
    const long linesBefore = counter_.lines();
    for (int i = 0; i < 20000; ++i) {
      sim::SimSample s = simulator.next();
      if (i % 1000 == 999) {
        s.values[0] = std::nan("");
        ASSERT_EQ(estimator.update(s.time, s.values), Error);
        continue;
      }
      ASSERT_EQ(estimator.update(s.time, s.values), Ok);
    }
    ASSERT_TRUE(estimator.isEstimatorRunning());
    // ERROR lines of the refused samples and any once-per-second progress line included.
    EXPECT_GE(counter_.lines() - linesBefore, 20);
    EXPECT_EQ(allocations.load() - before, 0);
  }
}

}  // namespace
}  // namespace zelto
